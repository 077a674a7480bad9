// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli as a script sees it: exit statuses, standard output and error, the settings file.

#include "core/AppModel.h"
#include "support/FakeHttpServer.h"
#include "support/MediaFixtures.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

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

    Run cli(const QStringList& arguments, const QMap<QString, QString>& env = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, m_home.filePath(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, m_home.filePath(u"state"_s));
        environment.remove(u"VELMORA_API_KEY"_s);
        for (auto it = env.begin(); it != env.end(); ++it)
            environment.insert(it.key(), it.value());
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("VELMORA_CLI"), arguments);
        Run run;
        // Keep the event loop turning: the fake servers of these tests answer from this process.
        if (!process.waitForStarted()
            || !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60'000))
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

    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("help") << QStringList { u"--help"_s } << 0;
        QTest::newRow("version") << QStringList { u"--version"_s } << 0;
        QTest::newRow("no command") << QStringList {} << 2;
        QTest::newRow("unknown command") << QStringList { u"rename-everything"_s } << 2;
        QTest::newRow("unknown option") << QStringList { u"--colour"_s, u"settings"_s } << 2;
        QTest::newRow("bad engine") << QStringList { u"--engine"_s, u"gemini"_s, u"settings"_s } << 2;
        QTest::newRow("bad target") << QStringList { u"--target=all"_s, u"settings"_s } << 2;
        QTest::newRow("frames out of range") << QStringList { u"--frames"_s, u"9"_s, u"settings"_s } << 2;
        QTest::newRow("option without value") << QStringList { u"settings"_s, u"--model"_s } << 2;
        QTest::newRow("import without path") << QStringList { u"import"_s } << 2;
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, exitCode);
        if (exitCode == 2)
            QVERIFY(run.err.contains(u"用法"_s));
    }

    void optionsOverrideButAreNeverSaved()
    {
        const Run run = cli({ u"--engine"_s, u"openai"_s, u"--model=gpt-4o"_s, u"--frames"_s, u"2"_s,
                                u"--no-date"_s, u"--target"_s, u"both"_s, u"settings"_s, u"--json"_s },
            { { u"VELMORA_API_KEY"_s, u"sk-abcdefgh12345678"_s } });
        QCOMPARE(run.exitCode, 0);
        const QJsonObject s = run.json();
        QCOMPARE(s.value(u"engine"_s).toString(), u"openai"_s);
        QCOMPARE(s.value(u"model"_s).toString(), u"gpt-4o"_s);
        QCOMPARE(s.value(u"openAIModel"_s).toString(), u"gpt-4o"_s);
        QCOMPARE(s.value(u"ollamaModel"_s).toString(), u"qwen2.5vl:7b"_s);
        QCOMPARE(s.value(u"frameCount"_s).toInt(), 2);
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
                 "h.crw", "i.pef", "j.srw", "k.nrw", "l.HIF", "m.gif" })
            touch(u"media/trip/"_s + QLatin1StringView(name));
        const Run run = cli({ u"import"_s, u"--target"_s, u"both"_s, u"--json"_s,
            m_home.filePath(u"media/trip"_s), m_home.filePath(u"media/missing.mp4"_s) });
        QCOMPARE(run.exitCode, 2); // one path could not be read; the rest was imported
        QVERIFY(run.err.contains(u"missing.mp4"_s));
        QVERIFY(run.err.contains(u"已导入 12 个素材（列表共 12 个）"_s));
        const QJsonObject result = run.json();
        QCOMPARE(result.value(u"status"_s).toString(), u"已导入 12 个素材（列表共 12 个）"_s);
        const QJsonArray items = result.value(u"items"_s).toArray();
        QCOMPARE(items.size(), 12);
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

    // The whole job against a fake local model server: import, analyse, rename, and undo again.
    void analyzeRenameAndUndo()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the test media");
        FakeHttpServer server;
        QVERIFY(server.listen());
        const QJsonObject reply { { u"model"_s, u"qwen2.5vl:7b"_s },
            { u"created_at"_s, u"2026-09-18T06:03:12.983619Z"_s },
            { u"response"_s, u"{\"content\": \"喝茶聊天\", \"location\": \"茶馆\"}"_s },
            { u"done"_s, true } };
        server.on(u"/api/generate"_s, FakeHttpServer::Response::json(200, QJsonDocument(reply).toJson()));
        const QString folder = m_home.filePath(u"job/1/2/3/4/5/6"_s);
        QDir().mkpath(folder);
        QVERIFY(MediaFixtures::makeClip(folder + u"/clip.mp4"_s, 0.5));
        // A photo is passed over with the default target.
        QVERIFY(MediaFixtures::makeJpeg(folder + u"/notes.jpg"_s));
        QVERIFY(MediaFixtures::place(folder + u"/broken.mp4"_s, "no video here"));
        QVERIFY(MediaFixtures::place(folder + u"/clip.srt"_s, ""));

        Run run = cli(
            { u"--endpoint"_s, server.url().toString(), u"analyze"_s, u"--rename"_s, u"--json"_s, folder });
        QCOMPARE(run.exitCode, 1); // broken.mp4 failed
        QVERIFY(run.err.contains(u"分析中 1/2：broken.mp4"_s));
        QVERIFY(run.err.contains(u"分析完成：成功 1/2 个"_s));
        QVERIFY(run.err.contains(u"已重命名 1 个（可一键撤销）"_s));
        const QJsonObject result = run.json();
        QVERIFY(result.value(u"undoLog"_s).isString());
        const QJsonArray items = result.value(u"items"_s).toArray();
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0).toObject().value(u"status"_s).toString(), u"error"_s);
        const QJsonObject clip = items.at(1).toObject();
        QCOMPARE(clip.value(u"status"_s).toString(), u"renamed"_s);
        QCOMPARE(clip.value(u"content"_s).toString(), u"喝茶聊天"_s);
        QVERIFY(clip.value(u"montage"_s).isObject());
        const QString renamed = clip.value(u"path"_s).toString();
        QVERIFY(renamed.contains(u"喝茶聊天"_s));
        QVERIFY(QFile::exists(renamed));
        QVERIFY(!QFile::exists(folder + u"/clip.mp4"_s));
        const QString renamedSubtitles = renamed.chopped(3) + u"srt"_s;
        QCOMPARE(clip.value(u"companions"_s).toArray(), QJsonArray { renamedSubtitles });
        QVERIFY(QFile::exists(renamedSubtitles));

        run = cli({ u"undo"_s, u"--last"_s, u"--json"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json().value(u"restored"_s).toInt(), 2);
        QVERIFY(QFile::exists(folder + u"/clip.srt"_s));
        QVERIFY(QFile::exists(folder + u"/clip.mp4"_s));
        QVERIFY(!QFile::exists(renamed));
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
    }

    void filteredArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        touch(u"filtered/"_s + arguments.last());
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
        for (const QString& extension : AppModel::videoExtensions + AppModel::photoExtensions) {
            touch(u"empty/file."_s + extension);
            arguments << m_home.filePath(u"empty/file."_s + extension);
        }
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 1);
        const QJsonArray items = run.json().value(u"items"_s).toArray();
        QCOMPARE(items.size(), arguments.size() - 4);
        for (const QJsonValue& item : items) {
            QCOMPARE(item.toObject().value(u"frames"_s).toInt(), 0);
            QVERIFY(!item.toObject().value(u"analysisText"_s).toString().isEmpty());
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
        Run run = cli({ u"doctor"_s, u"--json"_s }, bare);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.json().value(u"installed"_s).toBool(), false);
        QVERIFY(run.json().value(u"error"_s).toString().startsWith(u"未检测到 Ollama"_s));

        const QString photo = m_home.filePath(u"offline.jpg"_s);
        QVERIFY(MediaFixtures::makeJpeg(photo));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString endpoint = u"http://127.0.0.1:%1"_s.arg(closed.serverPort());
        closed.close();
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
