// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Messages.h"
#include "support/FakeHttpServer.h"
#include "vision/OllamaClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;
using Kind = ClientError::Kind;

Q_DECLARE_METATYPE(Response)

namespace {

QByteArray sample(const QString& name)
{
    return FakeHttpServer::sample(u"vision/peers/ollama/"_s + name);
}

Response silent()
{
    Response response;
    response.silent = true;
    return response;
}

} // namespace

class TestOllamaClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    OllamaClient client(const QString& prefix = QString()) const
    {
        return OllamaClient(m_server->url(prefix), u"qwen2.5vl:7b"_s,
            { .listModels = 2, .analyze = 2, .pullModel = 2, .maxReplyBytes = 1024 * 1024 });
    }

    // Starts a call with a callback and waits until the callback has run.
    template <typename T, typename Start> T wait(Start start)
    {
        auto result = std::make_shared<std::optional<T>>();
        start([result](T r) { *result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result->has_value(), 20000); }();
        return result->value_or(tl::make_unexpected(OllamaError()));
    }

    OllamaClient::Result<QString> analyze(const QList<QByteArray>& frames = { "jpeg" })
    {
        return wait<OllamaClient::Result<QString>>(
            [&](auto done) { client().analyze(frames, u"prompt"_s, m_context.get(), done); });
    }

    struct Pull
    {
        QStringList progress;
        OllamaClient::Result<void> result;
    };

    Pull pull(const QString& name)
    {
        auto progress = std::make_shared<QStringList>();
        const auto result = wait<OllamaClient::Result<void>>([&](auto done) {
            client().pullModel(
                name, m_context.get(), [progress](const QString& text) { progress->append(text); }, done);
        });
        return { *progress, result };
    }

private slots:
    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        QVERIFY(m_server->listen());
        m_context = std::make_unique<QObject>();
    }

    void cleanup()
    {
        m_context.reset();
        m_server.reset();
    }

    // The pictures, the model list and a download never follow a redirect to another origin.
    void redirectToAnotherOriginIsRefused()
    {
        FakeHttpServer elsewhere;
        QVERIFY(elsewhere.listen(QHostAddress(u"127.0.0.2"_s)));
        const QByteArray target = elsewhere.url().toEncoded();
        for (const char* path : { "/api/generate", "/api/tags", "/api/pull" })
            m_server->on(QLatin1StringView(path), Response::redirect(307, target + path));
        const auto list = wait<OllamaClient::Result<QList<OllamaModel>>>(
            [&](auto done) { client().listModels(m_context.get(), done); });
        const auto reply = analyze();
        const Pull download = pull(u"qwen2.5vl:7b"_s);
        QVERIFY(!list && !reply && !download.result);
        for (const QString& message :
            { list.error().message(), reply.error().message(), download.result.error().message() })
            QVERIFY2(message.contains(u"http://127.0.0.2:"_s), qPrintable(message));
        QVERIFY(elsewhere.requests().isEmpty());
    }

    void listModels_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("count"); // -1: the list cannot be read, -2: no answer
        QTest::newRow("sample") << Response::json(200, sample(u"tags.response.json"_s)) << 2;
        QTest::newRow("no models") << Response::json(200, "{\"models\":[]}") << 0;
        QTest::newRow("members absent or null")
            << Response::json(200, "{\"models\":[{\"name\":\"a\",\"modified_at\":null}]}") << 1;
        QTest::newRow("error object") << Response::json(500, sample(u"error.server-busy.json"_s)) << -1;
        QTest::newRow("entry without name")
            << Response::json(200, "{\"models\":[{\"size\":1},{\"name\":\"a\"}]}") << -1;
        QTest::newRow("size as text")
            << Response::json(200, "{\"models\":[{\"name\":\"a\",\"size\":\"1\"}]}") << -1;
        QTest::newRow("plain 404") << Response::text(404, "404 page not found") << -1;
        QTest::newRow("invalid UTF-8") << Response::json(200, "{\"models\":[{\"name\":\"\xff\xfe\"}]}") << -1;
        QTest::newRow("no answer") << silent() << -2;
    }

    // Behind a reverse proxy's path prefix, given with a trailing slash.
    void listModels()
    {
        QFETCH(Response, response);
        QFETCH(int, count);
        m_server->on(u"/ollama/api/tags"_s, response);
        const OllamaClient c = client(u"/ollama/"_s);
        const auto models = wait<OllamaClient::Result<QList<OllamaModel>>>(
            [&](auto done) { c.listModels(m_context.get(), done); });
        QCOMPARE(m_server->last(u"/ollama/api/tags"_s).method, QByteArray("GET"));
        if (count < 0) {
            QVERIFY(!models);
            QCOMPARE(models.error().kind, count == -1 ? Kind::Decoding : Kind::Transport);
            QVERIFY(models.error().message().startsWith(
                count == -1 ? u"Ollama 返回的模型列表无法解析（HTTP "_s : Net::Messages::timedOut(2)));
        } else {
            QVERIFY(models);
            QCOMPARE(models->size(), count);
            if (count == 2)
                QCOMPARE(models->at(0),
                    (OllamaModel {
                        u"deepseek-r1:latest"_s, 4683075271, u"2025-05-10T08:06:48.639712648-07:00"_s }));
            if (count == 1)
                QCOMPARE(models->at(0), (OllamaModel { u"a"_s, std::nullopt, std::nullopt }));
        }
    }

    void analyzeRequest()
    {
        m_server->on(u"/api/generate"_s, Response::json(200, "{\"response\":\"\"}"));
        // Lengths 1, 2 and 3 give both padding forms and none.
        QVERIFY(analyze({ "\xff", "\xff\xd8", "\xff\xd8\xff" }));
        const FakeHttpServer::Request request = m_server->last(u"/api/generate"_s);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        const QJsonObject expected = QJsonDocument::fromJson(
            R"({"model": "qwen2.5vl:7b", "prompt": "prompt", )"
            R"("images": ["/w==", "/9g=", "/9j/"], "stream": false, "options": {"num_ctx": 8192}, )"
            R"("format": {"type": "object", "properties": {"content": {"type": "string"}, )"
            R"("location": {"type": "string"}}, "required": ["content", "location"]}})")
                                         .object();
        QCOMPARE(request.json(), expected);
        const QList<std::pair<int, int>> sizes { { 1, 4096 }, { 6, 16384 }, { 11, 32768 }, { 30, 32768 } };
        for (const auto& [frames, size] : sizes)
            QCOMPARE(OllamaClient::contextSize(frames), size);
    }

    void analyzeReplies_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("expected"); // the reply, or the error message

        const auto http = [](int status, const QString& text) -> QString {
            return u"Ollama 返回错误 "_s + QString::number(status) + u"："_s + text;
        };
        const QString decoding = u"Ollama 的回复里没有 response 文本："_s;
        QTest::newRow("structured") << Response::json(200, sample(u"generate.response.structured.json"_s))
                                    << u"{\n  \"age\": 22,\n  \"available\": true\n}"_s;
        QTest::newRow("redirect keeps POST")
            << Response::redirect(307, "/v2/api/generate") << u"moved reply"_s;
        QTest::newRow("error inside a 200")
            << Response::json(200, R"({"error":"model crashed"})") << http(200, u"model crashed"_s);
        QTest::newRow("error string kept whole")
            << Response::json(500, sample(u"error.image-decode.json"_s))
            << http(500,
                   u"Failed to create new sequence: failed to process inputs: image: unknown format\n"_s);
        QTest::newRow("array") << Response::json(500, "[\"x\"]") << http(500, u"[\"x\"]"_s);
        QTest::newRow("error.message before message")
            << Response::json(500, R"({"error":{"message":"m"},"message":"x"})") << http(500, u"m"_s);
        QTest::newRow("flat message")
            << Response::json(500, R"({"object":"error","message":"m"})") << http(500, u"m"_s);
        QTest::newRow("error object without message")
            << Response::json(500, R"({"error":{"code":1}})") << http(500, u"{\"error\":{\"code\":1}}"_s);
        QTest::newRow("JSON inside the error string")
            << Response::json(500, "{\"error\":\"{\\\"error\\\":{\\\"message\\\":\\\"upstream\\\"}}\"}")
            << http(500, u"upstream"_s);
        QTest::newRow("long plain text cut")
            << Response::text(502, QString(1000, u'长').toUtf8()) << http(502, QString(300, u'长'));
        QTest::newRow("invalid UTF-8") << Response::text(500, "\xff\xfe\xfd") << http(500, QString());
        QTest::newRow("response not text") << Response::json(200, "{\"response\":{}}") << decoding;
        QTest::newRow("streamed although asked not to")
            << Response::ndjson(sample(u"generate.stream.ndjson"_s), 50) << decoding;
        QTest::newRow("no answer") << silent() << Net::Messages::timedOut(2);
    }

    void analyzeReplies()
    {
        QFETCH(Response, response);
        QFETCH(QString, expected);
        m_server->on(u"/api/generate"_s, response);
        m_server->on(u"/v2/api/generate"_s, Response::json(200, "{\"response\":\"moved reply\"}"));
        const auto result = analyze();
        const QString text = result ? *result : result.error().message();
        // A reply of the wrong shape is quoted after the fixed text.
        QCOMPARE(
            !result && result.error().kind == Kind::Decoding ? text.left(expected.size()) : text, expected);
    }

    void pullProgress_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("progress");
        QTest::newRow("percent truncated")
            << R"({"status":"p","total":1000,"completed":425})"_ba << u"p 42%"_s;
        QTest::newRow("total 0") << R"({"status":"p","total":0,"completed":0})"_ba << u"p"_s;
        QTest::newRow("no completed") << R"({"status":"p","total":260})"_ba << u"p"_s;
        QTest::newRow("fractional counts") << R"({"status":"p","total":1000.5,"completed":425})"_ba << u"p"_s;
        QTest::newRow("huge counts") << R"({"status":"p","total":1,"completed":9000000000000000000})"_ba
                                     << u"p 1000000000000000%"_s;
        QTest::newRow("status not text") << R"({"status":5})"_ba << QString();
        QTest::newRow("not JSON") << "<html>"_ba << QString();
    }

    void pullProgress()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, progress);
        QCOMPARE(OllamaClient::pullProgress(line).value_or(u"error"_s), progress);
    }

    void pulls_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("progress");
        QTest::addColumn<QString>("message"); // empty: the download succeeds

        Response stall = Response::ndjson("{\"status\":\"pulling manifest\"}\n");
        stall.ending = Response::Ending::Stall;
        // 123970144 / 408734816 is 30.3 %.
        QTest::newRow("sample in small pieces")
            << Response::ndjson(sample(u"pull.stream.ndjson"_s), 13)
            << QStringList { u"pulling manifest"_s, u"pulling 26bd607a51eb"_s, u"pulling 26bd607a51eb 30%"_s,
                   u"pulling 26bd607a51eb 100%"_s, u"pulling 5bbbf644084d 100%"_s,
                   u"verifying sha256 digest"_s, u"writing manifest"_s, u"success"_s }
            << QString();
        QTest::newRow("silent line, no success, no final line break")
            << Response::ndjson("{\"digest\":\"sha256:00\"}\n{\"status\":\"pulling manifest\"}")
            << QStringList { u"pulling manifest"_s } << QString();
        QTest::newRow("error line ends the stream")
            << Response::ndjson(sample(u"pull.stream-error.not-found.ndjson"_s) + "{\"status\":\"after\"}\n")
            << QStringList { u"pulling manifest"_s }
            << u"Ollama 返回错误 0：pull model manifest: file does not exist"_s;
        QTest::newRow("error status: whole body, line breaks dropped")
            << Response::json(500, "{\"error\":\n\"a\"}\r\nsecond") << QStringList()
            << u"Ollama 返回错误 500：{\"error\":\"a\"}second"_s;
        QTest::newRow("stall") << stall << QStringList { u"pulling manifest"_s }
                               << Net::Messages::timedOut(2);
    }

    void pulls()
    {
        QFETCH(Response, response);
        QFETCH(QStringList, progress);
        QFETCH(QString, message);
        m_server->on(u"/api/pull"_s, response);
        const Pull result = pull(u"llava:7b"_s);
        QCOMPARE(result.progress, progress);
        QCOMPARE(result.result ? QString() : result.result.error().message(), message);
        const FakeHttpServer::Request request = m_server->last(u"/api/pull"_s);
        QCOMPARE(request.json(), (QJsonObject { { u"name"_s, u"llava:7b"_s }, { u"stream"_s, true } }));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
    }

    // A server that never stops sending progress is the user's to stop, even from the progress callback.
    void endlessPullCanBeCancelled()
    {
        Response endless;
        endless.generate = [](qint64 index) -> QByteArray {
            return R"({"status":"pulling abc","total":1000,"completed":)" + QByteArray::number(index % 1000)
                + "}\n";
        };
        m_server->on(u"/api/pull"_s, endless);
        std::optional<OllamaClient::Result<void>> result;
        qsizetype progress = 0;
        Net::Handle handle;
        handle = client().pullModel(
            u"x"_s, m_context.get(),
            [&](const QString&) {
                if (++progress == 2000)
                    handle.abort();
            },
            [&](OllamaClient::Result<void> r) { result = std::move(r); });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 30000);
        QVERIFY2(result->error().isCancelled(), qPrintable(result->error().message()));
        QCOMPARE(progress, 2000);
    }
};

QTEST_GUILESS_MAIN(TestOllamaClient)
#include "TestOllamaClient.moc"
