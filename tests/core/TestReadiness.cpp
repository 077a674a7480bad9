// SPDX-License-Identifier: GPL-3.0-or-later
// The local model server's readiness, model downloads and model lists, against a fake server.

#include "core/AppModel.h"
#include "core/Messages.h"
#include "support/FakeHttpServer.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

QByteArray tags(const QStringList& names)
{
    QJsonArray models;
    for (const QString& name : names)
        models.append(QJsonObject { { u"name"_s, name }, { u"size"_s, 4683075271.0 } });
    return QJsonDocument(QJsonObject { { u"models"_s, models } }).toJson();
}

QByteArray sample(const QString& name)
{
    return FakeHttpServer::sample(u"vision/peers/ollama/"_s + name);
}

} // namespace

class TestReadiness : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    FakeHttpServer* m_server = nullptr;
    std::unique_ptr<AppModel> m_model;
    QByteArray m_path;
    QByteArray m_home;

    AppModel& model(const QString& engine = u"ollama"_s)
    {
        m_model = std::make_unique<AppModel>(m_dir.filePath(u"settings.json"_s));
        m_model->settings().engineRaw = engine;
        m_model->settings().ollamaEndpoint = m_server->url().toString();
        m_model->settings().openAIBaseURL = m_server->url(u"/v1"_s).toString();
        return *m_model;
    }

    // Puts an executable named ollama on PATH, as an installation would, or into the home folder.
    void install(bool inHome = false)
    {
        const QString bin = m_dir.filePath(inHome ? u"home/.local/bin"_s : u"bin"_s);
        QDir().mkpath(bin);
        QFile program(bin + u"/ollama"_s);
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write("#!/bin/sh\nexit 0\n");
        program.close();
        program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (!inHome)
            qputenv("PATH", QFile::encodeName(bin));
    }

    static bool checked(AppModel& m)
    {
        QSignalSpy spy(&m, &AppModel::readinessChanged);
        m.checkOllamaReadiness();
        return spy.wait(20'000);
    }

private slots:
    void initTestCase()
    {
        for (const char* fixed : { "/usr/local/bin/ollama", "/usr/bin/ollama", "/snap/bin/ollama" }) {
            if (QFile::exists(QString::fromLatin1(fixed)))
                QSKIP("a real server program is installed on this machine");
        }
        m_path = qgetenv("PATH");
        m_home = qgetenv("HOME");
        // The probe also looks in the home folder: make it an empty one.
        qputenv("HOME", QFile::encodeName(m_dir.filePath(u"home"_s)));
    }

    void cleanupTestCase()
    {
        qputenv("PATH", m_path);
        qputenv("HOME", m_home);
    }

    void init()
    {
        m_server = new FakeHttpServer(this);
        QVERIFY(m_server->listen());
        qputenv("PATH", QFile::encodeName(m_dir.filePath(u"empty"_s)));
        QDir(m_dir.filePath(u"home"_s)).removeRecursively();
    }

    void cleanup()
    {
        m_model.reset();
        delete m_server;
    }

    void onlineEngineIsReadyAtOnce()
    {
        AppModel& m = model(u"openai"_s);
        QSignalSpy spy(&m, &AppModel::readinessChanged);
        m.checkOllamaReadiness();
        QCOMPARE(spy.count(), 1); // before the call returns
        QVERIFY(m.readiness().installed && m.readiness().running && m.readiness().hasModel);
        QVERIFY(!m.readiness().error);
        QVERIFY(m_server->requests().isEmpty());
    }

    // Where the program is, whether its server answers, and which model is selected afterwards.
    void readiness_data()
    {
        QTest::addColumn<int>("installed"); // 0 nowhere, 1 on PATH, 2 in the home folder
        QTest::addColumn<bool>("serverUp");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("hint");
        const auto row = [](const char* name, int installed, bool serverUp, const QStringList& listed,
                             const QString& selected, const QString& after, const QString& hint = QString()) {
            QTest::newRow(name) << installed << serverUp << listed << selected << after << hint;
        };
        const QStringList bc { u"b"_s, u"c"_s };
        row("not installed", 0, false, bc, u"a"_s, u"a"_s, Messages::NotInstalledHint);
        // A server elsewhere (another machine, a container) is as good as one installed here.
        row("no program, server answers", 0, true, bc, u"c"_s, u"c"_s);
        row("installed but not running", 1, false, bc, u"a"_s, u"a"_s, Messages::NotRunningHint);
        row("installed in the home folder", 2, true, bc, u"c"_s, u"c"_s);
        row("no models", 1, true, {}, u"a"_s, u"a"_s, Messages::NoModelHint);
        row("selected not listed", 1, true, bc, u"a"_s, u"b"_s);
        row("selected listed", 1, true, bc, u"c"_s, u"c"_s);
    }

    void readiness()
    {
        QFETCH(int, installed);
        QFETCH(bool, serverUp);
        QFETCH(QStringList, listed);
        QFETCH(QString, selected);
        QFETCH(QString, after);
        QFETCH(QString, hint);
        if (installed)
            install(installed == 2);
        m_server->on(u"/api/tags"_s, Response::json(200, tags(listed)));
        AppModel& m = model();
        m.settings().ollamaModel = selected;
        if (!serverUp)
            m.settings().ollamaEndpoint = u"http://127.0.0.1:1"_s; // nothing listens there
        QVERIFY(checked(m));
        const bool running = serverUp;
        QCOMPARE(m.readiness().installed, installed || serverUp);
        QCOMPARE(m.readiness().running, running);
        QCOMPARE(m.readiness().hasModel, running && !listed.isEmpty());
        QCOMPARE(m.readiness().error.value_or(QString()), hint);
        QCOMPARE(m.readiness().modelNames, running ? listed : QStringList());
        QCOMPARE(m.models().size(), running ? listed.size() : 0);
        QCOMPARE(m.settings().ollamaModel, after);
        QCOMPARE(m_server->requests().size(), running ? 1 : 0);
    }

    void failureAfterSuccessKeepsTheList()
    {
        install();
        m_server->onSequence(u"/api/tags"_s,
            { Response::json(200, tags({ u"b"_s })),
                Response::json(500, sample(u"error.server-busy.json"_s)) });
        AppModel& m = model();
        QVERIFY(checked(m));
        QVERIFY(checked(m));
        QVERIFY(!m.readiness().running && !m.readiness().hasModel);
        QCOMPARE(m.readiness().error, Messages::NotRunningHint);
        QCOMPARE(m.readiness().modelNames, QStringList { u"b"_s });
        QCOMPARE(m.models().size(), 1);
    }

    void download_data()
    {
        QTest::addColumn<Response>("reply");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("success") << Response::ndjson(sample(u"pull.stream.ndjson"_s), 64, 2)
                                 << u"✅ 下载完成"_s;
        QTest::newRow("error in the stream")
            << Response::ndjson(sample(u"pull.stream-error.not-found.ndjson"_s), 7, 5)
            << u"❌ 下载失败：Ollama 返回错误 0：pull model manifest: file does not exist"_s;
    }

    // Progress is shown line by line; a success checks the readiness again.
    void download()
    {
        QFETCH(Response, reply);
        QFETCH(QString, outcome);
        install();
        m_server->on(u"/api/pull"_s, reply);
        m_server->on(u"/api/tags"_s, Response::json(200, tags({ u"qwen2.5vl:7b"_s })));
        AppModel& m = model();
        QStringList progress;
        connect(&m, &AppModel::readinessChanged, this, [&] { progress.append(m.pullProgress()); });
        m.pullVisionModel(u"qwen2.5vl:7b"_s);
        QVERIFY(m.isPulling());
        QCOMPARE(m.pullProgress(), u"正在连接 Ollama…"_s);
        m.pullVisionModel(u"other"_s); // ignored while the first runs
        QTRY_VERIFY_WITH_TIMEOUT(!m.isPulling(), 20'000);
        QCOMPARE(m.pullProgress(), outcome);
        QVERIFY(progress.size() > 2);
        QCOMPARE(m_server->count(u"/api/pull"_s), 1);
        QCOMPARE(m_server->last(u"/api/pull"_s).json().value(u"name"_s).toString(), u"qwen2.5vl:7b"_s);
        if (outcome.startsWith(u"✅"))
            QTRY_VERIFY_WITH_TIMEOUT(m.readiness().hasModel, 20'000);
    }

    void refresh_data()
    {
        QTest::addColumn<bool>("online");
        QTest::addColumn<Response>("reply");
        QTest::addColumn<int>("models");
        QTest::addColumn<bool>("modelsChanged");
        QTest::addColumn<QString>("selected"); // afterwards
        const QString local = u"qwen2.5vl:7b"_s;
        QTest::newRow("failure empties the list")
            << false << Response::json(500, sample(u"error.server-busy.json"_s)) << 0 << false << local;
        QTest::newRow("two models") << false << Response::json(200, tags({ u"b"_s, local })) << 2 << true
                                    << local;
        QTest::newRow("online, selected not listed")
            << true
            << Response::json(200, FakeHttpServer::sample(u"vision/peers/openai/models.response.json"_s)) << 3
            << true << u"model-id-0"_s;
    }

    void refresh()
    {
        QFETCH(bool, online);
        QFETCH(Response, reply);
        QFETCH(int, models);
        QFETCH(bool, modelsChanged);
        QFETCH(QString, selected);
        m_server->on(online ? u"/v1/models"_s : u"/api/tags"_s, reply);
        AppModel& m = model(online ? u"openai"_s : u"ollama"_s);
        QSignalSpy changed(&m, &AppModel::changed);
        QSignalSpy listChanged(&m, &AppModel::modelsChanged);
        m.refreshModels();
        QVERIFY(changed.wait(20'000));
        QCOMPARE(m.models().size(), models);
        QCOMPARE(listChanged.count(), modelsChanged ? 1 : 0);
        QCOMPARE(m.settings().model(), selected);
        if (online)
            QCOMPARE(m.models().first(), (OllamaModel { u"model-id-0"_s, std::nullopt, std::nullopt }));
    }

    // Destroying the model while a probe, a download or a list request is under way.
    void shutdownMidway_data()
    {
        QTest::addColumn<int>("operation");
        QTest::newRow("readiness") << 0;
        QTest::newRow("download") << 1;
        QTest::newRow("refresh") << 2;
    }

    void shutdownMidway()
    {
        QFETCH(int, operation);
        install();
        Response stall = Response::ndjson("{\"status\":\"pulling manifest\"}\n");
        stall.ending = Response::Ending::Stall;
        Response silent;
        silent.silent = true;
        m_server->on(u"/api/pull"_s, stall);
        m_server->on(u"/api/tags"_s, silent);
        AppModel& m = model();
        if (operation == 0)
            m.checkOllamaReadiness();
        else if (operation == 1)
            m.pullVisionModel(u"x"_s);
        else
            m.refreshModels();
        QTRY_VERIFY_WITH_TIMEOUT(!m_server->requests().isEmpty(), 20'000);
        m_model.reset();
        QTest::qWait(50);
    }
};

QTEST_GUILESS_MAIN(TestReadiness)
#include "TestReadiness.moc"
