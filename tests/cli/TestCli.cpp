// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli as a script sees it: exit statuses, standard output and error, the settings file.

#include "core/AppModel.h"
#include "media/FileKinds.h"
#include "support/FakeHttpServer.h"
#include "support/MediaFixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QString err;

    QJsonObject json() const
    {
        return QJsonDocument::fromJson(out).object();
    }
};

const QByteArray GenerateReply = QJsonDocument(
    QJsonObject { { u"model"_s, u"qwen2.5vl:7b"_s }, { u"created_at"_s, u"2026-09-18T06:03:12.983619Z"_s },
        { u"response"_s, u"{\"content\": \"喝茶聊天\", \"location\": \"茶馆\"}"_s },
        { u"done"_s, true } }).toJson();

// The keys the README documents for --json: rows "| `key` |" of the document, "| `items[].key` |" of an item.
std::pair<QSet<QString>, QSet<QString>> documentedKeys()
{
    QFile readme(qEnvironmentVariable("VELMORA_TEST_SOURCE_DIR") + u"/README.md"_s);
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    std::pair<QSet<QString>, QSet<QString>> keys;
    static const QRegularExpression row(
        uR"(^\| `(items\[\]\.)?(\w+)` \|)"_s, QRegularExpression::MultilineOption);
    for (auto it = row.globalMatch(QString::fromUtf8(readme.readAll())); it.hasNext();) {
        const auto match = it.next();
        (match.hasCaptured(1) ? keys.second : keys.first).insert(match.captured(2));
    }
    return keys;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString configFile() const
    {
        return m_home.filePath(u"config/velmora/velmora.json"_s);
    }

    // started may connect to the process, to signal it say.
    Run cli(const QStringList& arguments,
        const QMap<QString, QString>& env = {},
        const std::function<void(QProcess&)>& started = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, m_home.filePath(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, m_home.filePath(u"state"_s));
        // Each test its own stored analyses: the same test pictures recur.
        environment.insert(u"XDG_DATA_HOME"_s,
            m_home.filePath(u"data/"_s + QString::fromLatin1(QTest::currentTestFunction())
                + QString::fromLatin1(QTest::currentDataTag())));
        environment.remove(u"VELMORA_API_KEY"_s);
        for (auto it = env.begin(); it != env.end(); ++it)
            environment.insert(it.key(), it.value());
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("VELMORA_CLI"), arguments);
        Run run;
        // Keep the event loop turning: the fake servers of these tests answer from this process.
        if (!process.waitForStarted())
            return run;
        if (started)
            started(process);
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60'000))
            return run;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    void touch(const QString& relative)
    {
        QVERIFY(MediaFixtures::place(m_home.filePath(relative), {}));
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("VELMORA_CLI"))
            QSKIP("VELMORA_CLI names the program under test; ctest sets it");
    }

    // The first line of standard error, or of standard output when nothing went there.
    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("firstLine");
        auto row = [](const char* name, const QString& arguments, int exitCode, const QString& firstLine) {
            QTest::newRow(name) << arguments.split(u' ', Qt::SkipEmptyParts) << exitCode << firstLine;
        };
        row("help", u"--help"_s, 0, u"用法: velmora-cli [选项] 命令 [参数...]"_s);
        row("-h after a command", u"analyze -h"_s, 0,
            u"用法: velmora-cli [选项] analyze PATH... [--rename [--dry-run]]"_s);
        row("help command", u"help undo"_s, 0, u"用法: velmora-cli [选项] undo [LOG | --last | --list]"_s);
        row("version", u"--version"_s, 0, u"velmora-cli "_s);
        row("no command", {}, 2, u"velmora-cli: 缺少命令"_s);
        row("unknown command", u"rename-everything"_s, 2, u"velmora-cli: 未知命令: rename-everything"_s);
        row("unknown option", u"--colour settings"_s, 2, u"velmora-cli: 未知选项: --colour"_s);
        row("bad engine", u"--engine gemini settings"_s, 2,
            u"velmora-cli: --engine 只能是 ollama 或 openai"_s);
        row("bad target", u"--target=all settings"_s, 2,
            u"velmora-cli: --target 只能是 videos、photos 或 both"_s);
        row("frames out of range", u"--frames 9 settings"_s, 2,
            u"velmora-cli: --frames 需要 1 到 6 之间的整数"_s);
        row("frames never names a folder", u"inspect a.mp4 --frames out"_s, 2,
            u"velmora-cli: --frames 需要 1 到 6 之间的整数（写出帧图片请用 --frames-dir DIR）"_s);
        row("concurrency out of range", u"--concurrency 33 settings"_s, 2,
            u"velmora-cli: --concurrency 需要 1 到 32 之间的整数"_s);
        row("option without value", u"settings --model"_s, 2, u"velmora-cli: 选项 --model 需要一个值"_s);
        row("import without path", u"import"_s, 2, u"velmora-cli: import 缺少参数"_s);
        row("surplus argument", u"settings extra"_s, 2, u"velmora-cli: 多余的参数: extra"_s);
        row("option of another command", u"import a.mp4 --rename"_s, 2,
            u"velmora-cli: 选项 --rename 只用于 analyze"_s);
        row("dry run of nothing", u"analyze a.mp4 --dry-run"_s, 2,
            u"velmora-cli: --dry-run 只与 --rename 一起使用"_s);
        row("two keys", u"--api-key=k --api-key-file - settings"_s, 2,
            u"velmora-cli: --api-key 与 --api-key-file 只能给一个"_s);
        row("unreadable key file", u"--api-key-file=/nonexistent models"_s, 2,
            u"velmora-cli: 无法从 /nonexistent 读取 API 密钥"_s);
        row("key over plain http",
            u"--engine=openai --base-url=http://gpu.lan:8000/v1 --api-key=k settings"_s, 0,
            u"API 密钥将以明文发送到 gpu.lan（"_s);
        row("usage error as JSON", u"--json analyze"_s, 2, u"velmora-cli: analyze 缺少参数"_s);
        row("tab separator", u"--separator=\t settings"_s, 2,
            u"velmora-cli: --separator 里有 Tab、换行等控制字符"_s);
        row("colon separator", u"--separator=: settings"_s, 2, u"velmora-cli: --separator 里有“:”"_s);
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, firstLine);
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, exitCode);
        const QString output = run.err.isEmpty() ? QString::fromUtf8(run.out) : run.err;
        QVERIFY2(output.startsWith(firstLine), qPrintable(output));
        if (exitCode == 2) {
            // The error and where to find the help, not the whole help.
            QCOMPARE(run.err.count(u'\n'), 2);
            QVERIFY(run.err.contains(u"--help 查看用法"_s));
            const bool json = arguments.contains(u"--json"_s);
            QCOMPARE(run.json().value(u"error"_s).toString(), json ? firstLine.mid(13) : QString());
        }
    }

    void optionsOverrideButAreNeverSaved()
    {
        QVERIFY(MediaFixtures::place(m_home.filePath(u"key"_s), "sk-abcdefgh12345678\n"));
        const Run run = cli({ u"--engine"_s, u"openai"_s, u"--model=gpt-4o"_s, u"--frames"_s, u"2"_s,
            u"--concurrency=12"_s, u"--no-date"_s, u"--target"_s, u"both"_s, u"settings"_s, u"--json"_s,
            u"--api-key-file"_s, m_home.filePath(u"key"_s) });
        QCOMPARE(run.exitCode, 0);
        const QJsonObject s = run.json();
        QCOMPARE(s.value(u"engine"_s).toString(), u"openai"_s);
        QCOMPARE(s.value(u"model"_s).toString(), u"gpt-4o"_s);
        QCOMPARE(s.value(u"openAIModel"_s).toString(), u"gpt-4o"_s);
        QCOMPARE(s.value(u"ollamaModel"_s).toString(), u"qwen2.5vl:7b"_s);
        QCOMPARE(s.value(u"frameCount"_s).toInt(), 2);
        QCOMPARE(s.value(u"maxConcurrentRequests"_s).toInt(), 12);
        QCOMPARE(s.value(u"includeDate"_s).toBool(), false);
        QCOMPARE(s.value(u"mediaTarget"_s).toString(), u"both"_s);
        QCOMPARE(s.value(u"ollamaURL"_s).toString(), u"http://localhost:11434"_s);
        // The key is masked: this output lands in terminals and logs.
        QCOMPARE(s.value(u"openAIKey"_s).toString(), QString(15, u'*') + u"5678"_s);
        QVERIFY(!QFile::exists(configFile()));
    }

    // Stored settings are read and cleaned up; a damaged file is reported and set aside.
    void settingsFile()
    {
        QVERIFY(MediaFixtures::place(
            configFile(), "{\"ollamaEndpoint\": \" http://gpu:11434/ \", \"frameCount\": 100}"));
        const QJsonObject s = cli({ u"settings"_s, u"--json"_s }).json();
        QCOMPARE(s.value(u"ollamaURL"_s).toString(), u"http://gpu:11434/"_s);
        QCOMPARE(s.value(u"frameCount"_s).toInt(), 6);

        QVERIFY(MediaFixtures::place(configFile(), "{\"openAIKey\": \"sk-"));
        const Run run = cli({ u"settings"_s });
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.err.contains(u"设置文件已损坏"_s));
        QVERIFY(QFile::exists(configFile() + u".corrupt"_s));
        QFile::remove(configFile() + u".corrupt"_s);
        QFile::remove(configFile());
    }

    void import()
    {
        for (const char* name : { "a.mp4", "b.jpg", "c.txt", "a.xmp", "d.MTS", "e.m2ts", "f.3gp", "g.CR2",
                 "h.crw", "i.pef", "j.srw", "k.nrw", "l.HIF", "m.gif", "n.dv" })
            touch(u"media/trip/"_s + QLatin1StringView(name));
        // Links to a listed file are that file: in the folder, and named again.
        QFile::link(m_home.filePath(u"media/trip/a.mp4"_s), m_home.filePath(u"media/trip/z.mp4"_s));
        const Run run
            = cli({ u"import"_s, u"--target"_s, u"both"_s, u"--json"_s, m_home.filePath(u"media/trip"_s),
                m_home.filePath(u"media/missing.mp4"_s), m_home.filePath(u"media/trip/z.mp4"_s) });
        QCOMPARE(run.exitCode, 2); // one path could not be read; the rest was imported
        QVERIFY(run.err.contains(u"missing.mp4"_s));
        QVERIFY(run.err.contains(u"已导入 13 个素材（列表共 13 个）"_s));
        const QJsonObject result = run.json();
        QCOMPARE(result.value(u"status"_s).toString(), u"已导入 13 个素材（列表共 13 个）"_s);
        const QJsonArray items = result.value(u"items"_s).toArray();
        QCOMPARE(items.size(), 13);
        QCOMPARE(items.at(1).toObject().value(u"kind"_s).toString(), u"photo"_s);
        const QJsonObject first = items.at(0).toObject();
        QCOMPARE(first.value(u"kind"_s).toString(), u"video"_s);
        QCOMPARE(first.value(u"status"_s).toString(), u"pending"_s);
        QVERIFY(first.value(u"path"_s).toString().endsWith(u"/media/trip/a.mp4"_s));
        QVERIFY(first.value(u"coordinate"_s).isNull());
        QVERIFY(first.value(u"montage"_s).isNull());
        QCOMPARE(first.value(u"frames"_s).toInt(), 0);
        QCOMPARE(first.value(u"companions"_s).toArray(),
            QJsonArray { QFileInfo(m_home.filePath(u"media/trip/a.xmp"_s)).absoluteFilePath() });
        for (const char* key : { "creationDate", "pathPlace", "geoPlace", "content", "location",
                 "proposedName", "analysisText" })
            QVERIFY2(first.contains(QString::fromLatin1(key)), key);

        // Nothing new: said so, and no item lines.
        touch(u"media/only.txt"_s);
        const Run nothing = cli({ u"import"_s, m_home.filePath(u"media/only.txt"_s) });
        QCOMPARE(nothing.exitCode, 0);
        QVERIFY(nothing.err.contains(u"没有新增"_s));
        QVERIFY(nothing.out.isEmpty());
    }

    // A file name never reaches the terminal raw: escapes stay visible, and JSON gives the name back whole.
    void hostileNamesAreEscaped()
    {
        const QString name = u"x\x1b[2J\u202egpj.mp4"_s;
        touch(u"hostile/"_s + name);
        const Run text = cli({ u"import"_s, m_home.filePath(u"hostile"_s) });
        QVERIFY2(text.out.contains("x\\x1b[2J\\u202egpj.mp4"), text.out.constData());
        const Run json = cli({ u"import"_s, u"--json"_s, m_home.filePath(u"hostile"_s) });
        QVERIFY(!json.out.contains('\x1b') && !json.out.contains("\u202e"));
        const QJsonArray items = json.json().value(u"items"_s).toArray();
        QCOMPARE(items.size(), 1);
        QVERIFY(items.at(0).toObject().value(u"path"_s).toString().endsWith(name));
    }

    // The whole job against a fake local model server: import, analyse, rename, and undo again.
    void analyzeRenameAndUndo()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the test media");
        FakeHttpServer server;
        QVERIFY(server.listen());
        server.on(u"/api/generate"_s, FakeHttpServer::Response::json(200, GenerateReply));
        const QString folder = m_home.filePath(u"job/1/2/3/4/5/6"_s);
        QDir().mkpath(folder);
        QVERIFY(MediaFixtures::makeClip(folder + u"/clip.mp4"_s, 0.5));
        // A photo is passed over with the default target.
        QVERIFY(MediaFixtures::makeJpeg(folder + u"/notes.jpg"_s));
        QVERIFY(MediaFixtures::place(folder + u"/broken.mp4"_s, "no video here"));
        QVERIFY(MediaFixtures::place(folder + u"/clip.srt"_s, ""));

        // The dry run shows the batch and moves nothing.
        const QJsonObject dry = cli({ u"--endpoint"_s, server.url().toString(), u"analyze"_s, u"--rename"_s,
                                        u"--dry-run"_s, u"--json"_s, folder },
            { { u"XDG_DATA_HOME"_s, m_home.filePath(u"dry-run"_s) } }) // the run below asks again
                                    .json();
        QCOMPARE(dry.value(u"status"_s).toString(), u"试运行：将重命名 1 个，未改动任何文件"_s);
        const QJsonArray plan = dry.value(u"plan"_s).toArray();
        QCOMPARE(plan.size(), 2);
        QVERIFY(QFile::exists(folder + u"/clip.mp4"_s));

        Run run = cli(
            { u"--endpoint"_s, server.url().toString(), u"analyze"_s, u"--rename"_s, u"--json"_s, folder });
        QCOMPARE(run.exitCode, 1); // broken.mp4 failed
        QVERIFY(run.err.contains(u"分析中 1/2：broken.mp4"_s));
        QVERIFY(run.err.contains(u"分析完成：成功 1/2 个"_s));
        QVERIFY(run.err.contains(u"已重命名 1 个（可一键撤销）"_s));
        QVERIFY(run.err.contains(u"文件夹中有 1 张照片未导入：当前处理对象不含照片，可加 --target photos"_s));
        const QJsonObject result = run.json();
        QVERIFY(result.value(u"undoLog"_s).isString());
        QCOMPARE(result.value(u"analyzed"_s).toInt(), 1);
        QCOMPARE(result.value(u"failed"_s).toInt(), 1);
        QCOMPARE(result.value(u"renamed"_s).toInt(), 1);
        const QJsonArray items = result.value(u"items"_s).toArray();
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0).toObject().value(u"status"_s).toString(), u"error"_s);
        QVERIFY(!items.at(0).toObject().value(u"error"_s).toString().isEmpty());
        const QJsonObject clip = items.at(1).toObject();
        QCOMPARE(clip.value(u"status"_s).toString(), u"renamed"_s);
        QCOMPARE(clip.value(u"content"_s).toString(), u"喝茶聊天"_s);
        QCOMPARE(clip.value(u"placeSource"_s).toString(), u"model"_s);
        QVERIFY(clip.value(u"error"_s).isNull());
        QCOMPARE(
            clip.value(u"originalPath"_s).toString(), QFileInfo(folder + u"/clip.mp4"_s).absoluteFilePath());
        QVERIFY(clip.value(u"montage"_s).isObject());
        const QString renamed = clip.value(u"path"_s).toString();
        QVERIFY(renamed.contains(u"喝茶聊天"_s));
        QVERIFY(QFile::exists(renamed));
        QVERIFY(!QFile::exists(folder + u"/clip.mp4"_s));
        const QString renamedSubtitles = renamed.chopped(3) + u"srt"_s;
        QCOMPARE(clip.value(u"companions"_s).toArray(), QJsonArray { renamedSubtitles });
        QVERIFY(QFile::exists(renamedSubtitles));
        QCOMPARE(plan.at(0).toObject().value(u"newPath"_s).toString(), renamed);
        QCOMPARE(plan.at(1).toObject().value(u"newPath"_s).toString(), renamedSubtitles);
        QCOMPARE(plan.at(1).toObject().value(u"notes"_s).toArray(), QJsonArray { u"随 clip.mp4 一起改名"_s });

        // Every key is documented, and every documented key is given by one of the commands.
        const QList<QJsonObject> documents { result, dry, cli({ u"inspect"_s, u"--json"_s, renamed }).json(),
            cli({ u"--json"_s, u"import"_s }).json() };
        QSet<QString> documentKeys, itemKeys;
        for (const QJsonObject& document : documents) {
            for (const QString& key : document.keys())
                documentKeys.insert(key);
            for (const QJsonValue& item : document.value(u"items"_s).toArray()) {
                for (const QString& key : item.toObject().keys())
                    itemKeys.insert(key);
            }
        }
        QCOMPARE(documentKeys, documentedKeys().first);
        QCOMPARE(itemKeys, documentedKeys().second);

        run = cli({ u"undo"_s, u"--last"_s, u"--json"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(u"restored"_s).toInt(), 2);
        QVERIFY(QFile::exists(folder + u"/clip.srt"_s));
        QVERIFY(QFile::exists(folder + u"/clip.mp4"_s));
        QVERIFY(!QFile::exists(renamed));
    }

    // Killed at random moments and started again: every analysis that had finished a second before
    // the kill is kept, and the model is never asked about it again.
    void resumesAfterKill()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the photos");
        constexpr int Files = 24, ReplyMs = 150;
        FakeHttpServer server;
        QVERIFY(server.listen());
        QElapsedTimer clock; // started with the server's, which stamps the requests
        clock.start();
        FakeHttpServer::Response reply = FakeHttpServer::Response::json(200, GenerateReply);
        reply.headDelayMs = ReplyMs;
        server.on(u"/api/generate"_s, reply);
        const QString folder = m_home.filePath(u"resumed"_s);
        QDir().mkpath(folder);
        for (int i = 0; i < Files; ++i) // different sizes: different files
            QVERIFY(MediaFixtures::makeJpeg(folder + u"/%1.jpg"_s.arg(i), 64 + i));
        const QStringList arguments { u"--target=photos"_s, u"--endpoint"_s, server.url().toString(),
            u"analyze"_s, u"--json"_s, folder };

        qsizetype keptForSure = 0;
        for (int round = 0; round < 3; ++round) {
            const qsizetype before = server.count(u"/api/generate"_s);
            qint64 killedAt = -1;
            cli(arguments, {}, [&](QProcess& process) {
                QTimer::singleShot(QRandomGenerator::global()->bounded(1500, 3500), &process, [&] {
                    killedAt = clock.elapsed();
                    ::kill(pid_t(process.processId()), SIGKILL);
                });
            });
            for (qsizetype i = before; i < server.requests().size(); ++i) {
                const qint64 answeredAt = server.requests().at(i).receivedAtMs + ReplyMs;
                keptForSure += killedAt < 0 || answeredAt + 1000 <= killedAt ? 1 : 0;
            }
        }
        QVERIFY(keptForSure > 0 && keptForSure < 3 * Files);
        const qsizetype before = server.count(u"/api/generate"_s);
        const Run last = cli(arguments);
        QCOMPARE(last.exitCode, 0);
        QCOMPARE(last.json().value(u"analyzed"_s).toInt(), Files);
        QVERIFY2(server.count(u"/api/generate"_s) - before <= Files - keptForSure,
            qPrintable(
                u"asked %1, kept %2"_s.arg(server.count(u"/api/generate"_s) - before).arg(keptForSure)));
    }

    // Stopped during analyze --rename: the results so far, nothing renamed, and 128 + the signal.
    void interrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void interrupted()
    {
        QFETCH(int, signal);
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the photos");
        FakeHttpServer server;
        QVERIFY(server.listen());
        FakeHttpServer::Response never;
        never.silent = true;
        server.onSequence(u"/api/generate"_s, { FakeHttpServer::Response::json(200, GenerateReply), never });
        const QString folder = m_home.filePath(u"stopped/"_s + QString::number(signal));
        QDir().mkpath(folder);
        QVERIFY(MediaFixtures::makeJpeg(folder + u"/a.jpg"_s));
        QVERIFY(MediaFixtures::makeJpeg(folder + u"/b.jpg"_s));
        const Run run = cli({ u"--target=photos"_s, u"--endpoint"_s, server.url().toString(), u"analyze"_s,
                                u"--rename"_s, u"--json"_s, folder },
            {}, [&](QProcess& process) {
                connect(&server, &FakeHttpServer::requestReceived, &process, [&] {
                    if (server.count(u"/api/generate"_s) == 2)
                        ::kill(pid_t(process.processId()), signal);
                });
            });
        QCOMPARE(run.exitCode, 128 + signal);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList({ u"a.jpg"_s, u"b.jpg"_s }));
        QCOMPARE(run.json().value(u"analyzed"_s).toInt(), 1);
        QVERIFY(run.err.contains(u"分析已停止：成功 1/2"_s));
    }

    // A file named on the command line that the media target leaves out is reported with the option that
    // takes it; with nothing left to do the exit status is 2.
    void filteredArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option");
        QTest::newRow("analyze photo")
            << QStringList { u"analyze"_s, u"photo.jpg"_s } << u"--target photos"_s;
        QTest::newRow("inspect photo")
            << QStringList { u"inspect"_s, u"photo.jpg"_s } << u"--target photos"_s;
        QTest::newRow("import clip as photos")
            << QStringList { u"--target=photos"_s, u"import"_s, u"clip.mp4"_s } << u"--target videos"_s;
        QTest::newRow("analyze folder of photos")
            << QStringList { u"analyze"_s, u"album/"_s } << u"--target photos"_s;
    }

    void filteredArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        // A folder ("album/") holds one photo.
        touch(u"filtered/"_s + arguments.last() + (arguments.last().endsWith(u'/') ? u"p.jpg"_s : QString()));
        arguments.last() = m_home.filePath(u"filtered/"_s + arguments.last());
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.err.contains(option + u" 或 --target both"_s));
        QVERIFY(!run.err.contains(u"分析完成"_s));
        QVERIFY(run.out.isEmpty());
    }

    // An empty file of every accepted kind is one failed item each, with its reason; nothing crashes.
    void emptyFileOfEveryExtension()
    {
        QStringList arguments { u"--target"_s, u"both"_s, u"--json"_s, u"inspect"_s };
        for (const QString& extension : FileKinds::VideoExtensions + FileKinds::PhotoExtensions) {
            touch(u"empty/file."_s + extension);
            arguments << m_home.filePath(u"empty/file."_s + extension);
        }
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 1);
        const QJsonArray items = run.json().value(u"items"_s).toArray();
        QCOMPARE(items.size(), arguments.size() - 4);
        for (const QJsonValue& item : items) {
            QCOMPARE(item.toObject().value(u"frames"_s).toInt(), 0);
            QVERIFY(!item.toObject().value(u"error"_s).toString().isEmpty());
        }
    }

    // Without the server program: doctor says so, and analyze gives the item line, why it failed and what
    // to do about it.
    void withoutServer()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the photo");
        if (QFile::exists(u"/usr/bin/ollama"_s) || QFile::exists(u"/usr/local/bin/ollama"_s))
            QSKIP("a real server program is installed on this machine");
        const QMap<QString, QString> bare { { u"PATH"_s, m_home.filePath(u"nothing"_s) },
            { u"HOME"_s, m_home.filePath(u"nothing"_s) } };
        // Nothing answers at the address either: a server that answers counts as installed.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString endpoint = u"http://127.0.0.1:%1"_s.arg(closed.serverPort());
        closed.close();
        Run run = cli({ u"--endpoint"_s, endpoint, u"doctor"_s, u"--json"_s }, bare);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.json().value(u"installed"_s).toBool(), false);
        QVERIFY(run.json().value(u"error"_s).toString().startsWith(u"未检测到 Ollama"_s));

        const QString photo = m_home.filePath(u"offline.jpg"_s);
        QVERIFY(MediaFixtures::makeJpeg(photo));
        run = cli({ u"--target"_s, u"both"_s, u"--endpoint"_s, endpoint, u"analyze"_s, photo }, bare);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.startsWith("photo\terror\t"));
        QVERIFY(run.err.contains(photo + u": 错误："_s));
        QVERIFY(run.err.contains(u"未检测到 Ollama"_s));
    }

    // Sub-second capture times are shown when there is a fraction.
    void subSecondDates()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the clip");
        const QString clip = m_home.filePath(u"fraction.mov"_s);
        QVERIFY(MediaFixtures::makeClip(clip, 0.2,
            { u"-metadata"_s, u"com.apple.quicktime.creationdate=2026-09-18T14:03:12.5+0800"_s,
                u"-movflags"_s, u"use_metadata_tags"_s }));
        const QJsonArray items = cli({ u"import"_s, u"--json"_s, clip }).json().value(u"items"_s).toArray();
        QCOMPARE(items.at(0).toObject().value(u"creationDate"_s).toString(), u"2026-09-18T06:03:12.5Z"_s);
        QVERIFY(
            cli({ u"import"_s, clip }, { { u"TZ"_s, u"UTC"_s } }).out.contains("\t2026-09-18 06:03:12.5\t"));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "TestCli.moc"
