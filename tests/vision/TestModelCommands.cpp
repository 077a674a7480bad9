// SPDX-License-Identifier: GPL-3.0-or-later
// velmora-cli models and pull, run as a user would, against fake servers.

#include "support/FakeHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QStringList errLines;
};

} // namespace

class TestModelCommands : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    QTemporaryDir m_home;

    Run cli(const QStringList& arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, m_home.path());
        environment.insert(u"XDG_CONFIG_HOME"_s, m_home.filePath(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, m_home.filePath(u"state"_s));
        environment.remove(u"VELMORA_API_KEY"_s);
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(VELMORA_CLI), arguments);
        // The fake server answers from this event loop, so wait without blocking it.
        [&] { QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 60000); }();
        Run run;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.errLines = QString::fromUtf8(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
        return run;
    }

    QStringList ollama(const QStringList& arguments) const
    {
        return QStringList { u"--engine"_s, u"ollama"_s, u"--endpoint"_s, m_server->url().toString() }
        + arguments;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        QVERIFY(m_server->listen());
    }

    void localModelsAsJson()
    {
        m_server->on(u"/api/tags"_s,
            Response::json(200, FakeHttpServer::sample(u"vision/peers/ollama/tags.response.json"_s)));
        const Run run = cli(ollama({ u"--json"_s, u"models"_s }));
        QCOMPARE(run.exitCode, 0);
        const QJsonArray models
            = QJsonDocument::fromJson(run.out.toUtf8()).object().value(u"models"_s).toArray();
        QCOMPARE(models.size(), 2);
        QCOMPARE(models.at(0).toObject(),
            (QJsonObject { { u"name"_s, u"deepseek-r1:latest"_s }, { u"size"_s, 4683075271.0 },
                { u"modifiedAt"_s, u"2025-05-10T08:06:48.639712648-07:00"_s } }));
    }

    void onlineModelsAsText()
    {
        m_server->on(u"/v1/models"_s, Response::json(200, R"({"data":[{"id":"b"},{"id":"A"},{"id":"a"}]})"));
        const Run run = cli({ u"--engine"_s, u"openai"_s, u"--base-url"_s,
            m_server->url(u"/v1/"_s).toString(), u"--api-key"_s, u"sk-1"_s, u"models"_s });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, u"A\na\nb\n"_s);
        QCOMPARE(m_server->last(u"/v1/models"_s).header("authorization"), QByteArray("Bearer sk-1"));
    }

    void modelsFailure_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("online key refused")
            << QStringList { u"--engine"_s, u"openai"_s, u"--base-url"_s, u"/v1"_s, u"models"_s }
            << u"接口返回 401：Invalid API Key（多半是 API 密钥不对，或该密钥没有这个模型的权限）"_s;
        QTest::newRow("local error page") << QStringList { u"--engine"_s, u"ollama"_s,
            u"models"_s } << u"Ollama 返回的模型列表无法解析（HTTP 404）：404 page not found"_s;
    }

    void modelsFailure()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        m_server->on(u"/v1/models"_s,
            Response::json(401, FakeHttpServer::sample(u"vision/peers/compat/llamacpp.error.401.json"_s)));
        for (QString& argument : arguments) {
            if (argument == u"/v1")
                argument = m_server->url(u"/v1"_s).toString();
        }
        arguments.prepend(m_server->url().toString());
        arguments.prepend(u"--endpoint"_s);
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errLines.value(0), message);
        QVERIFY(run.out.isEmpty());
    }

    void pullShowsProgress()
    {
        m_server->on(u"/api/pull"_s,
            Response::ndjson(
                FakeHttpServer::sample(u"vision/peers/ollama/pull.stream.captured-2024-05.ndjson"_s), 64));
        const Run run = cli(ollama({ u"pull"_s, u"llava:7b"_s }));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.errLines,
            (QStringList { u"正在连接 Ollama…"_s, u"pulling 26bd607a51eb 30%"_s,
                u"pulling 26bd607a51eb 31%"_s, u"pulling 5bbbf644084d"_s, u"pulling 5bbbf644084d 100%"_s,
                u"verifying sha256 digest"_s, u"writing manifest"_s, u"removing any unused layers"_s,
                u"success"_s, u"✅ 下载完成"_s }));
        QCOMPARE(m_server->last(u"/api/pull"_s).json().value(u"name"_s).toString(), u"llava:7b"_s);
    }

    void pullFailure()
    {
        m_server->on(u"/api/pull"_s,
            Response::ndjson(
                FakeHttpServer::sample(u"vision/peers/ollama/pull.stream-error.not-found.ndjson"_s)));
        const Run run = cli(ollama({ u"--json"_s, u"pull"_s, u"nope"_s }));
        QCOMPARE(run.exitCode, 1);
        const QString failed = u"❌ 下载失败：Ollama 返回错误 0：pull model manifest: file does not exist"_s;
        QCOMPARE(run.errLines, (QStringList { u"正在连接 Ollama…"_s, u"pulling manifest"_s, failed }));
        QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object(),
            (QJsonObject { { u"model"_s, u"nope"_s }, { u"status"_s, failed } }));
    }
};

QTEST_GUILESS_MAIN(TestModelCommands)
#include "TestModelCommands.moc"
