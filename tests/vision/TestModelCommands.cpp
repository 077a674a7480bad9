// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli models and pull, run as a user would, against fake servers.

#include "support/FakeHttpServer.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)

namespace {

Response sample(const QString& name, int status = 200)
{
    const QByteArray body = FakeHttpServer::sample(u"vision/peers/"_s + name);
    return name.endsWith(u".ndjson") ? Response::ndjson(body, 64) : Response::json(status, body);
}

} // namespace

class TestModelCommands : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        QTest::addColumn<QString>("path"); // where the fake server answers; /v1/… is the online engine
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("arguments"); // after the engine options
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // compared as JSON when it is JSON
        QTest::addColumn<QStringList>("err");

        QTest::newRow("local models as JSON")
            << u"/api/tags"_s << sample(u"ollama/tags.response.json"_s)
            << QStringList { u"--json"_s, u"models"_s } << 0
            << QString::fromUtf8(
                   R"({"models": [{"name": "deepseek-r1:latest", "size": 4683075271, )"
                   R"("modifiedAt": "2025-05-10T08:06:48.639712648-07:00"}, {"name": "llama3.2:latest", )"
                   R"("size": 2019393189, "modifiedAt": "2025-05-04T17:37:44.706015396-07:00"}]})")
            << QStringList();
        QTest::newRow("online models as text")
            << u"/v1/models"_s << Response::json(200, R"({"data":[{"id":"b"},{"id":"A"},{"id":"a"}]})")
            << QStringList { u"models"_s } << 0 << u"A\na\nb\n"_s << QStringList();
        QTest::newRow("online key refused")
            << u"/v1/models"_s << sample(u"compat/llamacpp.error.401.json"_s, 401)
            << QStringList { u"models"_s } << 1 << QString()
            << QStringList {
                   u"接口返回 401：Invalid API Key（多半是 API 密钥不对，或该密钥没有这个模型的权限）"_s
               };
        QTest::newRow("local error page")
            << u"/elsewhere"_s << Response() << QStringList { u"models"_s } << 1 << QString()
            << QStringList { u"Ollama 返回的模型列表无法解析（HTTP 404）：404 page not found"_s };
        QTest::newRow("pull shows progress")
            << u"/api/pull"_s << sample(u"ollama/pull.stream.captured-2024-05.ndjson"_s)
            << QStringList { u"pull"_s, u"llava:7b"_s } << 0 << QString()
            << QStringList { u"正在连接 Ollama…"_s, u"pulling 26bd607a51eb 30%"_s,
                   u"pulling 26bd607a51eb 31%"_s, u"pulling 5bbbf644084d"_s, u"pulling 5bbbf644084d 100%"_s,
                   u"verifying sha256 digest"_s, u"writing manifest"_s, u"removing any unused layers"_s,
                   u"success"_s, u"✅ 下载完成"_s };
        const QString failed = u"❌ 下载失败：Ollama 返回错误 0：pull model manifest: file does not exist"_s;
        QTest::newRow("pull fails, as JSON")
            << u"/api/pull"_s << sample(u"ollama/pull.stream-error.not-found.ndjson"_s)
            << QStringList { u"--json"_s, u"pull"_s, u"llava:7b"_s } << 1
            << u"{\"model\": \"llava:7b\", \"status\": \""_s + failed + u"\"}"_s
            << QStringList { u"正在连接 Ollama…"_s, u"pulling manifest"_s, failed };
    }

    void commands()
    {
        QFETCH(QString, path);
        QFETCH(Response, response);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QStringList, err);

        FakeHttpServer server;
        QVERIFY(server.listen());
        server.on(path, response);
        const bool online = path.startsWith(u"/v1/");
        const QStringList engine = online
            ? QStringList { u"--engine"_s, u"openai"_s, u"--base-url"_s, server.url(u"/v1/"_s).toString(),
                  u"--api-key"_s, u"sk-1"_s }
            : QStringList { u"--engine"_s, u"ollama"_s, u"--endpoint"_s, server.url().toString() };

        QTemporaryDir home;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, home.path());
        environment.insert(u"XDG_CONFIG_HOME"_s, home.filePath(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, home.filePath(u"state"_s));
        environment.insert(u"XDG_DATA_HOME"_s, home.filePath(u"data"_s));
        environment.remove(u"VELMORA_API_KEY"_s);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(VELMORA_CLI), engine + arguments);
        // The fake server answers from this event loop, so wait without blocking it.
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 60000);

        QCOMPARE(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, exitCode);
        const QByteArray stdOut = process.readAllStandardOutput();
        if (out.startsWith(u'{'))
            QCOMPARE(QJsonDocument::fromJson(stdOut), QJsonDocument::fromJson(out.toUtf8()));
        else
            QCOMPARE(QString::fromUtf8(stdOut), out);
        QCOMPARE(QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts), err);
        if (online)
            QCOMPARE(server.last(path).header("authorization"), QByteArray("Bearer sk-1"));
        if (path == u"/api/pull")
            QCOMPARE(server.last(path).json().value(u"name"_s).toString(), u"llava:7b"_s);
    }
};

QTEST_GUILESS_MAIN(TestModelCommands)
#include "TestModelCommands.moc"
