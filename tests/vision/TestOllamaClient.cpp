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

// The expected error, as a test row states it.
struct Expected
{
    Expected(Kind k = Kind::Http, int s = 0, QString b = QString())
        : kind(k)
        , status(s)
        , body(std::move(b))
    { }

    Kind kind;
    int status;
    QString body;
};

} // namespace

Q_DECLARE_METATYPE(Expected)

class TestOllamaClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    OllamaClient client(const QString& prefix = QString()) const
    {
        OllamaClient::Limits limits;
        limits.listModels = 2;
        limits.analyze = 2;
        limits.pullModel = 2;
        limits.maxReplyBytes = 1024 * 1024;
        return OllamaClient(m_server->url(prefix), u"qwen2.5vl:7b"_s, limits);
    }

    OllamaClient::Result<QList<OllamaModel>> listModels(const OllamaClient& c)
    {
        std::optional<OllamaClient::Result<QList<OllamaModel>>> result;
        c.listModels(m_context.get(), [&](auto r) { result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 20000); }();
        return result.value_or(tl::make_unexpected(OllamaError()));
    }

    OllamaClient::Result<QString> analyze(const QList<QByteArray>& frames = { "jpeg" })
    {
        std::optional<OllamaClient::Result<QString>> result;
        client().analyze(frames, u"prompt"_s, m_context.get(), [&](auto r) { result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 20000); }();
        return result.value_or(tl::make_unexpected(OllamaError()));
    }

    struct Pull
    {
        QStringList progress;
        std::optional<OllamaClient::Result<void>> result;
    };

    Pull pull(const QString& name = u"qwen2.5vl:7b"_s)
    {
        auto state = std::make_shared<Pull>();
        client().pullModel(
            name, m_context.get(), [state](const QString& text) { state->progress.append(text); },
            [state](OllamaClient::Result<void> r) { state->result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(state->result.has_value(), 20000); }();
        return *state;
    }

    static void compareError(const OllamaError& error, const Expected& expected)
    {
        QCOMPARE(error.kind, expected.kind);
        if (expected.kind == Kind::Http) {
            QCOMPARE(error.status, expected.status);
            QCOMPARE(error.body, expected.body);
        } else {
            QVERIFY(!error.message().isEmpty());
        }
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

    void listModelsReadsTheSample_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::newRow("bare") << QString();
        QTest::newRow("trailing slash") << u"/"_s;
        QTest::newRow("path prefix") << u"/ollama"_s;
        QTest::newRow("path prefix and slash") << u"/ollama/"_s;
    }

    void listModelsReadsTheSample()
    {
        QFETCH(QString, prefix);
        const QString path = (prefix.endsWith(u'/') ? prefix.chopped(1) : prefix) + u"/api/tags"_s;
        m_server->on(path, Response::json(200, sample(u"tags.response.json"_s)));
        const auto models = listModels(client(prefix));
        QVERIFY(models);
        QCOMPARE(models->size(), 2);
        QCOMPARE(models->at(0),
            (OllamaModel { u"deepseek-r1:latest"_s, 4683075271, u"2025-05-10T08:06:48.639712648-07:00"_s }));
        QCOMPARE(models->at(1).name, u"llama3.2:latest"_s);

        const FakeHttpServer::Request request = m_server->last(path);
        QCOMPARE(request.method, QByteArray("GET"));
        QVERIFY(request.body.isEmpty());
        QVERIFY(!request.hasHeader("content-type"));
    }

    void listModelsShapes_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("count"); // -1: the list cannot be read
        QTest::newRow("captured 2025")
            << Response::json(200, sample(u"tags.response.captured-2025-09.json"_s)) << 2;
        QTest::newRow("no models") << Response::json(200, "{\"models\":[]}") << 0;
        QTest::newRow("name only") << Response::json(200, "{\"models\":[{\"name\":\"a\"}]}") << 1;
        QTest::newRow("null size and date")
            << Response::json(200, "{\"models\":[{\"name\":\"a\",\"size\":null,\"modified_at\":null}]}") << 1;
        QTest::newRow("empty object") << Response::json(200, "{}") << -1;
        QTest::newRow("entry without name")
            << Response::json(200, "{\"models\":[{\"size\":1},{\"name\":\"a\"}]}") << -1;
        QTest::newRow("size as text")
            << Response::json(200, "{\"models\":[{\"name\":\"a\",\"size\":\"1\"}]}") << -1;
        QTest::newRow("error object") << Response::json(500, sample(u"error.server-busy.json"_s)) << -1;
        QTest::newRow("plain 404") << Response::text(404, "404 page not found") << -1;
        QTest::newRow("HTML") << Response::text(200, "<!DOCTYPE html><html>proxy</html>", "text/html") << -1;
        QTest::newRow("invalid UTF-8") << Response::json(200, "{\"models\":[{\"name\":\"\xff\xfe\"}]}") << -1;
    }

    void listModelsShapes()
    {
        QFETCH(Response, response);
        QFETCH(int, count);
        m_server->on(u"/api/tags"_s, response);
        const auto models = listModels(client());
        if (count < 0) {
            QVERIFY(!models);
            QCOMPARE(models.error().kind, Kind::Decoding);
            QVERIFY(models.error().message().startsWith(u"Ollama 返回的模型列表无法解析（HTTP "_s));
        } else {
            QVERIFY(models);
            QCOMPARE(models->size(), count);
            if (count == 1)
                QCOMPARE(models->at(0), (OllamaModel { u"a"_s, std::nullopt, std::nullopt }));
        }
    }

    void analyzeRequestMembers_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("numCtx");
        QTest::newRow("1 frame") << 1 << 4096;
        QTest::newRow("3 frames") << 3 << 8192;
        QTest::newRow("6 frames") << 6 << 16384;
        QTest::newRow("11 frames") << 11 << 32768;
    }

    void analyzeRequestMembers()
    {
        QFETCH(int, frames);
        QFETCH(int, numCtx);
        m_server->on(u"/api/generate"_s, Response::json(200, sample(u"generate.response.structured.json"_s)));
        // Lengths 1, 2 and 3 give both padding forms and none.
        QList<QByteArray> images;
        QJsonArray expectedImages;
        for (int i = 0; i < frames; ++i) {
            const QByteArray frame = QByteArray("\xff\xd8\xff").left(i % 3 + 1);
            images.append(frame);
            expectedImages.append(QString::fromLatin1(frame.toBase64()));
        }
        QVERIFY(analyze(images));

        const FakeHttpServer::Request request = m_server->last(u"/api/generate"_s);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        const QJsonObject body = request.json();
        QCOMPARE(body.keys(),
            (QStringList { u"format"_s, u"images"_s, u"model"_s, u"options"_s, u"prompt"_s, u"stream"_s }));
        QCOMPARE(body.value(u"model"_s), QJsonValue(u"qwen2.5vl:7b"_s));
        QCOMPARE(body.value(u"prompt"_s), QJsonValue(u"prompt"_s));
        QCOMPARE(body.value(u"images"_s).toArray(), expectedImages);
        QCOMPARE(body.value(u"stream"_s), QJsonValue(false));
        QCOMPARE(body.value(u"options"_s).toObject(), (QJsonObject { { u"num_ctx"_s, numCtx } }));
        const QJsonObject format = QJsonDocument::fromJson(R"({"type": "object", "properties": {"content":
            {"type": "string"}, "location": {"type": "string"}}, "required": ["content", "location"]})")
                                       .object();
        QCOMPARE(body.value(u"format"_s).toObject(), format);
        QVERIFY(!request.body.contains('\n')); // compact
        QVERIFY(request.header("user-agent").startsWith("Velmora/"));
    }

    void analyzeReplies_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("reply"); // when it succeeds
        QTest::addColumn<Expected>("error"); // otherwise

        const Expected none;
        QTest::newRow("structured") << Response::json(200, sample(u"generate.response.structured.json"_s))
                                    << u"{\n  \"age\": 22,\n  \"available\": true\n}"_s << none;
        QTest::newRow("with images") << Response::json(200, sample(u"generate.response.images.json"_s))
                                     << u"A happy cartoon character, which is cute and cheerful."_s << none;

        QTest::newRow("error inside a 200")
            << Response::json(200, "{\"error\":\"an error was encountered while running the model\"}")
            << QString()
            << Expected { Kind::Http, 200, u"an error was encountered while running the model"_s };
        QTest::newRow("model not found")
            << Response::json(404, sample(u"error.model-not-found.json"_s)) << QString()
            << Expected { Kind::Http, 404, u"model 'llama3.2:latest' not found"_s };
        QTest::newRow("image decode, trailing newline")
            << Response::json(500, sample(u"error.image-decode.json"_s)) << QString()
            << Expected { Kind::Http, 500,
                   u"Failed to create new sequence: failed to process inputs: image: unknown format\n"_s };
        QTest::newRow("busy") << Response::json(503, sample(u"error.server-busy.json"_s)) << QString()
                              << Expected { Kind::Http, 503,
                                     u"server busy, please try again.  maximum pending requests exceeded"_s };
        QTest::newRow("error object with message")
            << Response::json(500, "{\"error\":{\"message\":\"out of memory\"}}") << QString()
            << Expected { Kind::Http, 500, u"out of memory"_s };
        QTest::newRow("JSON inside the error string")
            << Response::json(
                   500, "{\"error\":\"{\\\"error\\\":{\\\"message\\\":\\\"upstream failed\\\"}}\"}")
            << QString() << Expected { Kind::Http, 500, u"upstream failed"_s };
        QTest::newRow("plain-text 502") << Response::text(502, "Bad Gateway") << QString()
                                        << Expected { Kind::Http, 502, u"Bad Gateway"_s };
        QTest::newRow("invalid UTF-8 500")
            << Response::text(500, "\xff\xfe\xfd") << QString() << Expected { Kind::Http, 500, QString() };

        Response truncated = Response::json(200, "{\"response\":\"海边");
        truncated.declaredLength = 100;
        truncated.ending = Response::Ending::Close;
        Response stall = Response::json(200, "{}");
        stall.silent = true;
        Response endless;
        endless.generate = [](qint64) { return QByteArray(64 * 1024, ' '); };
        QTest::newRow("no response member")
            << Response::json(200, "{\"done\":true}") << QString() << Expected { Kind::Decoding };
        QTest::newRow("response not text")
            << Response::json(200, "{\"response\":{}}") << QString() << Expected { Kind::Decoding };
        QTest::newRow("HTML page") << Response::text(200, "<html><body>It works!</body></html>", "text/html")
                                   << QString() << Expected { Kind::Decoding };
        QTest::newRow("invalid UTF-8 200")
            << Response::json(200, "{\"response\":\"\xc3\x28\"}") << QString() << Expected { Kind::Decoding };
        QTest::newRow("streamed although asked not to")
            << Response::ndjson(sample(u"generate.stream.ndjson"_s), 50) << QString()
            << Expected { Kind::Decoding };
        QTest::newRow("truncated") << truncated << QString() << Expected { Kind::Transport };
        QTest::newRow("stall") << stall << QString() << Expected { Kind::Transport };
        QTest::newRow("endless") << endless << QString() << Expected { Kind::Transport };
        QTest::newRow("redirect keeps POST")
            << Response::redirect(307, "/v2/api/generate") << u"moved reply"_s << none;
    }

    void analyzeReplies()
    {
        QFETCH(Response, response);
        QFETCH(QString, reply);
        QFETCH(Expected, error);
        m_server->on(u"/api/generate"_s, response);
        m_server->on(u"/v2/api/generate"_s, Response::json(200, "{\"response\":\"moved reply\"}"));
        const auto result = analyze();
        if (!reply.isEmpty()) {
            QVERIFY2(result, qPrintable(result ? QString() : result.error().message()));
            QCOMPARE(*result, reply);
        } else {
            QVERIFY(!result);
            compareError(result.error(), error);
        }
    }

    void messageTexts()
    {
        QCOMPARE(OllamaError::http(404, u"model not found"_s).message(),
            u"Ollama 返回错误 404：model not found"_s);
        const QString long1000 = QString(1000, u'长');
        QCOMPARE(
            OllamaError::http(500, long1000).message(), u"Ollama 返回错误 500："_s + QString(300, u'长'));

        Response stall = Response::json(200, "{}");
        stall.silent = true;
        m_server->on(u"/api/generate"_s, stall);
        QCOMPARE(analyze().error().message(), Net::Messages::timedOut(2));
    }

    void readableError_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("error string") << u"{\"error\":\"boom\"}"_s << u"boom"_s;
        QTest::newRow("error.message") << u"{\"error\":{\"message\":\"m\",\"type\":\"t\"}}"_s << u"m"_s;
        QTest::newRow("flat message") << u"{\"object\":\"error\",\"message\":\"flat\"}"_s << u"flat"_s;
        QTest::newRow("error.message wins")
            << u"{\"error\":{\"message\":\"inner\"},\"message\":\"outer\"}"_s << u"inner"_s;
        QTest::newRow("error object without message")
            << u"{\"error\":{\"code\":1}}"_s << u"{\"error\":{\"code\":1}}"_s;
        QTest::newRow("nested JSON") << u"{\"error\":\"{\\\"message\\\":\\\"deep\\\"}\"}"_s << u"deep"_s;
        QTest::newRow("not JSON") << u"Bad Gateway"_s << u"Bad Gateway"_s;
        QTest::newRow("array") << u"[\"x\"]"_s << u"[\"x\"]"_s;
        QTest::newRow("long text kept whole") << QString(500, u'x') << QString(500, u'x');
    }

    void readableError()
    {
        QFETCH(QString, body);
        QFETCH(QString, expected);
        QCOMPARE(OllamaClient::readableError(body), expected);
    }

    void pullProgressTexts()
    {
        m_server->on(u"/api/pull"_s, Response::ndjson(sample(u"pull.stream.ndjson"_s), 13));
        const Pull result = pull(u"llava:7b"_s);
        QVERIFY(result.result && *result.result);
        // 123970144 / 408734816 is 30.3 %.
        QCOMPARE(result.progress,
            (QStringList { u"pulling manifest"_s, u"pulling 26bd607a51eb"_s, u"pulling 26bd607a51eb 30%"_s,
                u"pulling 26bd607a51eb 100%"_s, u"pulling 5bbbf644084d 100%"_s, u"verifying sha256 digest"_s,
                u"writing manifest"_s, u"success"_s }));
        const FakeHttpServer::Request request = m_server->last(u"/api/pull"_s);
        QCOMPARE(request.json(), (QJsonObject { { u"name"_s, u"llava:7b"_s }, { u"stream"_s, true } }));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
    }

    void pullLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QStringList>("progress");
        QTest::newRow("counts") << QByteArray(R"({"status":"pulling abc","total":1000,"completed":425})")
                                << QStringList { u"pulling abc 42%"_s };
        QTest::newRow("total 0") << QByteArray(R"({"status":"pulling abc","total":0,"completed":0})")
                                 << QStringList { u"pulling abc"_s };
        QTest::newRow("no completed")
            << QByteArray(R"({"status":"pulling abc","total":260})") << QStringList { u"pulling abc"_s };
        QTest::newRow("counts without status")
            << QByteArray(R"({"total":1000,"completed":425})") << QStringList { u" 42%"_s };
        QTest::newRow("nothing to report") << QByteArray(R"({"digest":"sha256:00"})") << QStringList();
        QTest::newRow("not JSON") << QByteArray("<html>") << QStringList();
        QTest::newRow("status not text") << QByteArray(R"({"status":5})") << QStringList();
        QTest::newRow("fractional counts")
            << QByteArray(R"({"status":"p","total":1000.5,"completed":425})") << QStringList { u"p"_s };
        QTest::newRow("huge counts") << QByteArray(
            R"({"status":"p","total":1,"completed":9000000000000000000})")
                                     << QStringList { u"p 1000000000000000%"_s };
    }

    void pullLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QStringList, progress);
        m_server->on(u"/api/pull"_s, Response::ndjson(line + "\n{\"status\":\"success\"}\n"));
        const Pull result = pull();
        QVERIFY(result.result && *result.result);
        QCOMPARE(result.progress, progress + QStringList { u"success"_s });
    }

    void pullFailures_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("progress");
        QTest::addColumn<Expected>("error");

        QTest::newRow("unknown model")
            << Response::ndjson(sample(u"pull.stream-error.not-found.ndjson"_s))
            << QStringList { u"pulling manifest"_s }
            << Expected { Kind::Http, 0, u"pull model manifest: file does not exist"_s };
        QTest::newRow("digest mismatch")
            << Response::ndjson(sample(u"pull.stream-error.digest-mismatch.ndjson"_s), 7)
            << QStringList { u"verifying sha256 digest"_s }
            << Expected {
                   Kind::Http, 0,
                   u"digest mismatch, file must be downloaded again: want sha256:cc04e85e1f866a5ba87dd66b5260f0cb32354e2c66505e86a7ac3c0092272b7d, got sha256:3a0441d489c005617815f60880d00670126bf0e50a85190bdb6673ecbdf695a4"_s
               };
        QTest::newRow("404 kept as sent")
            << Response::json(404, "{\"error\":\"invalid model name\"}") << QStringList()
            << Expected { Kind::Http, 404, u"{\"error\":\"invalid model name\"}"_s };
        QTest::newRow("error body lines joined")
            << Response::json(500, "{\"error\":\n\"a\"}\r\nsecond") << QStringList()
            << Expected { Kind::Http, 500, u"{\"error\":\"a\"}second"_s };

        Response stall = Response::ndjson("{\"status\":\"pulling manifest\"}\n");
        stall.ending = Response::Ending::Stall;
        Response cut = Response::ndjson("{\"status\":\"pulling manifest\"}\n{\"status\":\"pull");
        cut.ending = Response::Ending::Close;
        Response endlessLine;
        endlessLine.generate = [](qint64) { return QByteArray(64 * 1024, 'x'); };
        QTest::newRow("stall") << stall << QStringList { u"pulling manifest"_s }
                               << Expected { Kind::Transport };
        QTest::newRow("cut off") << cut << QStringList { u"pulling manifest"_s }
                                 << Expected { Kind::Transport };
        QTest::newRow("endless line") << endlessLine << QStringList() << Expected { Kind::Transport };
    }

    void pullFailures()
    {
        QFETCH(Response, response);
        QFETCH(QStringList, progress);
        QFETCH(Expected, error);
        m_server->on(u"/api/pull"_s, response);
        const Pull result = pull();
        QVERIFY(result.result && !*result.result);
        compareError(result.result->error(), error);
        QCOMPARE(result.progress, progress);
    }

    void pullErrorOnLine500StopsReading()
    {
        QByteArray stream;
        for (int i = 1; i < 500; ++i)
            stream += R"({"status":"pulling abc","total":1000,"completed":)" + QByteArray::number(i) + "}\n";
        stream += "{\"error\":\"max retries exceeded\"}\n";
        for (int i = 0; i < 100; ++i)
            stream += "{\"status\":\"after the error\"}\n";
        m_server->on(u"/api/pull"_s, Response::ndjson(stream, 4096));
        const Pull result = pull();
        QVERIFY(result.result && !*result.result);
        QCOMPARE(result.progress.size(), 499);
        QCOMPARE(result.progress.last(), u"pulling abc 49%"_s);
        QCOMPARE(result.result->error().message(), u"Ollama 返回错误 0：max retries exceeded"_s);
    }

    void pullWithoutSuccessStillCompletes()
    {
        m_server->on(u"/api/pull"_s, Response::ndjson("{\"status\":\"pulling manifest\"}"));
        const Pull result = pull();
        QVERIFY(result.result && *result.result);
        QCOMPARE(result.progress, QStringList { u"pulling manifest"_s });
    }

    void pullCancelled()
    {
        Response stall = Response::ndjson("{\"status\":\"pulling manifest\"}\n");
        stall.ending = Response::Ending::Stall;
        m_server->on(u"/api/pull"_s, stall);
        std::optional<OllamaClient::Result<void>> result;
        QStringList progress;
        const Net::Handle handle = client().pullModel(
            u"x"_s, m_context.get(), [&](const QString& text) { progress.append(text); },
            [&](OllamaClient::Result<void> r) { result = std::move(r); });
        QTRY_COMPARE(progress.size(), 1);
        handle.abort();
        QTRY_VERIFY(result.has_value());
        QVERIFY(!*result);
        QVERIFY(result->error().isCancelled());
    }

    // A server that never stops sending progress is the user's to stop; reading it costs no memory.
    void endlessPullCanBeCancelled()
    {
        Response endless;
        endless.headers = { { "Content-Type", "application/x-ndjson" } };
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
                if (++progress == 20000)
                    handle.abort();
            },
            [&](OllamaClient::Result<void> r) { result = std::move(r); });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 30000);
        QVERIFY2(result->error().isCancelled(), qPrintable(result->error().message()));
        QCOMPARE(progress, 20000);
    }

    void unreachableServer()
    {
        const OllamaClient c = client();
        m_server.reset();
        const auto models = listModels(c);
        QVERIFY(!models);
        QCOMPARE(models.error().kind, Kind::Transport);
        QCOMPARE(models.error().message(), u"Connection refused"_s);
    }
};

QTEST_GUILESS_MAIN(TestOllamaClient)
#include "TestOllamaClient.moc"
