// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Messages.h"
#include "support/FakeHttpServer.h"
#include "vision/OpenAICompatClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)

namespace {

QByteArray sample(const QString& name)
{
    return FakeHttpServer::sample(u"vision/peers/"_s + name);
}

const QString KeyHint = u"（多半是 API 密钥不对，或该密钥没有这个模型的权限）"_s;
const QString Chat = u"/v1/chat/completions"_s;

QByteArray chatReply(const QString& content)
{
    const QJsonObject message { { u"role"_s, u"assistant"_s }, { u"content"_s, content } };
    const QJsonObject choice { { u"index"_s, 0 }, { u"message"_s, message } };
    return QJsonDocument(QJsonObject { { u"choices"_s, QJsonArray { choice } } }).toJson();
}

Response silent()
{
    Response response;
    response.silent = true;
    return response;
}

} // namespace

class TestOpenAICompatClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    // With a trailing slash on the base address, which makes no difference.
    OpenAICompatClient client(const QString& key = u"sk-test"_s) const
    {
        return OpenAICompatClient(m_server->url(u"/v1/"_s), key, u"qwen-vl-max"_s,
            { .listModels = 2, .chat = 2, .maxReplyBytes = 1024 * 1024 });
    }

    // Starts a call with a callback and waits until the callback has run.
    template <typename T, typename Start> T wait(Start start)
    {
        auto result = std::make_shared<std::optional<T>>();
        start([result](T r) { *result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result->has_value(), 20000); }();
        return result->value_or(tl::make_unexpected(OpenAICompatError()));
    }

    OpenAICompatClient::Result<QString> analyze(const OpenAICompatClient& c)
    {
        return wait<OpenAICompatClient::Result<QString>>(
            [&](auto done) { c.analyze({ "jpeg" }, u"prompt"_s, m_context.get(), done); });
    }

    OpenAICompatClient::Result<QStringList> models(const OpenAICompatClient& c)
    {
        return wait<OpenAICompatClient::Result<QStringList>>(
            [&](auto done) { c.listModels(m_context.get(), done); });
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

    void authorisation_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("header"); // empty: none sent
        QTest::newRow("no key") << QString() << QByteArray();
        QTest::newRow("key") << u"sk-abc"_s << QByteArray("Bearer sk-abc");
    }

    void authorisation()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, header);
        m_server->on(Chat, Response::json(200, chatReply(u"x"_s)));
        m_server->on(u"/v1/models"_s, Response::json(200, "{\"data\":[]}"));
        QVERIFY(analyze(client(key)));
        QVERIFY(models(client(key)));
        QCOMPARE(m_server->requests().size(), 2);
        for (const FakeHttpServer::Request& request : m_server->requests())
            QCOMPARE(request.header("authorization"), header);
    }

    // A redirect to another origin is refused by name: the key and the pictures never reach it. Within
    // the origin a redirect is followed, key and all.
    void redirectsStayWithinTheOrigin()
    {
        FakeHttpServer elsewhere;
        QVERIFY(elsewhere.listen(QHostAddress(u"127.0.0.2"_s)));
        const QByteArray target = elsewhere.url(u"/v1/"_s).toEncoded();
        m_server->on(Chat, Response::redirect(307, target + "chat/completions"));
        m_server->on(u"/v1/models"_s, Response::redirect(302, target + "models"));
        const auto chat = analyze(client());
        const auto list = models(client());
        QVERIFY(!chat && !list);
        QVERIFY2(chat.error().message().contains(u"http://127.0.0.2:"_s), qPrintable(chat.error().message()));
        QVERIFY(list.error().message().contains(u"http://127.0.0.2:"_s));
        QVERIFY(elsewhere.requests().isEmpty());

        m_server->on(u"/v1/models"_s, Response::redirect(302, "/v2/models"));
        m_server->on(u"/v2/models"_s, Response::json(200, "{\"data\":[]}"));
        QVERIFY(models(client()));
        QCOMPARE(m_server->last(u"/v2/models"_s).header("authorization"), QByteArray("Bearer sk-test"));
    }

    void keyWithLineBreakIsNeverSent()
    {
        const auto result = analyze(client(u"sk-abc\r\nX-Injected: 1"_s));
        QVERIFY(!result);
        QCOMPARE(result.error().kind, ClientError::Kind::Transport);
        QVERIFY(m_server->requests().isEmpty());
    }

    void chatRequest()
    {
        m_server->on(Chat, Response::json(200, chatReply(u"{}"_s)));
        QVERIFY(analyze(client()));
        const FakeHttpServer::Request request = m_server->last(Chat);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        const QJsonObject expected = QJsonDocument::fromJson(
            R"({"model": "qwen-vl-max", "temperature": 0.2, )"
            R"("max_tokens": 800, "response_format": {"type": "json_object"}, "messages": [{"role": "user", )"
            R"("content": [{"type": "text", "text": "prompt"}, )"
            R"({"type": "image_url", "image_url": {"url": "data:image/jpeg;base64,anBlZw=="}}]}]})")
                                         .object();
        QCOMPARE(request.json(), expected);
        QVERIFY(request.body.contains("\"max_tokens\":800")); // an integer, as some servers insist
    }

    // Every outcome of an analysis: the first request, and the one retry when the format was refused. The
    // server is asked exactly once for each of its answers.
    void analyzeOutcomes_data()
    {
        QTest::addColumn<QList<Response>>("responses");
        QTest::addColumn<QString>("expected"); // the reply, or the error message

        const auto peer = [](int status, const char* file) {
            return Response::json(status, sample(QString::fromLatin1(file)));
        };
        const auto one
            = [](int status, const QByteArray& body) { return QList { Response::json(status, body) }; };
        const auto http = [](int status, const QString& text) -> QString {
            return u"接口返回 "_s + QString::number(status) + u"："_s + text;
        };
        QTest::newRow("sample") << QList {
            peer(200, "openai/chat.response.image.json")
        } << u"The image shows a wooden boardwalk path running through a lush green field or meadow. The sky is bright blue with some scattered clouds, giving the scene a serene and peaceful atmosphere. Trees and shrubs are visible in the background."_s;
        QTest::newRow("format refused, retried") << QList {
            peer(400, "openai/error.400-json-word-required.json"), Response::json(200, chatReply(u"海边"_s))
        } << u"海边"_s;
        const Response refused = peer(400, "compat/lmstudio.error.400-response-format.v0.3.json");
        QTest::newRow("retry fails too")
            << QList { refused, refused } << http(400, u"'response_format.type' must be 'json_schema'"_s);
        QTest::newRow("other 400 is final")
            << QList { peer(400, "compat/zhipu.error.400-model-not-found.json") }
            << http(400, u"模型不存在，请检查模型代码。"_s);
        QTest::newRow("401") << QList { peer(401, "compat/vllm.error.401.json") }
                             << http(401, u"Unauthorized"_s + KeyHint);
        QTest::newRow("403") << QList { Response::text(403, "Forbidden") }
                             << http(403, u"Forbidden"_s + KeyHint);
        QTest::newRow("404")
            << QList { peer(404, "compat/vllm.error.404.before-0.10.1.json") }
            << http(404,
                   u"The model `Qwen1.5-14B-Chat-GPTQ-Int8` does not exist.（多半是接口地址或模型名不对）"_s);
        QTest::newRow("429") << one(429, "{\"error\":{\"message\":\"slow\"}}")
                             << http(429, u"slow（触发了限速或余额不足）"_s);
        QTest::newRow("500 error.message")
            << QList { peer(500, "compat/dashscope.error.401-invalid-api-key.json") }
            << http(500, u"Incorrect API key provided. "_s);
        QTest::newRow("500 empty error.message")
            << QList { peer(500, "compat/vllm.error.500-bad-json-schema.json") } << http(500, QString());
        QTest::newRow("500 flat message")
            << QList { peer(500, "compat/zai-coding.error.400-flat.json") }
            << http(500, u"Invalid API parameter, please check the documentation."_s);
        QTest::newRow("500 nested JSON message")
            << one(500, "{\"error\":{\"message\":\"{\\\"error\\\":\\\"inner\\\"}\"}}")
            << http(500, u"inner"_s);
        QTest::newRow("500 text cut at a character")
            << QList { Response::text(500, QByteArray(299, 'e') + "👍🏽tail") }
            << http(500, QString(299, u'e') + u"👍🏽"_s);
        QTest::newRow("502 invalid UTF-8")
            << QList { Response::text(502, "\xff\xfe") } << http(502, QString());
        const QString noContent = u"返回里没有 choices[0].message.content"_s;
        const QString notJson = u"返回内容不是 JSON："_s;
        QTest::newRow("200 no choices") << one(200, "{\"choices\":[]}") << http(200, noContent);
        QTest::newRow("200 error string")
            << QList { peer(200, "compat/lmstudio.error.200-unexpected-endpoint.json") }
            << http(200, u"Unexpected endpoint or method. (POST /chat/completions)"_s);
        QTest::newRow("200 error object") << one(200, "{\"error\":{\"message\":\"m\"}}") << http(200, u"m"_s);
        QTest::newRow("200 error number") << one(200, "{\"error\":42}") << http(200, u"42"_s);
        QTest::newRow("200 error null is no error")
            << one(200, "{\"error\":null,\"choices\":[{\"message\":{\"content\":\"ok\"}}]}") << u"ok"_s;
        const QByteArray html = "<!DOCTYPE html><html><body>" + QByteArray(300, 'h') + "</body></html>";
        QTest::newRow("200 HTML") << QList { Response::text(200, html, "text/html") }
                                  << http(200, notJson + QString::fromLatin1(html.left(200)));
        QTest::newRow("200 invalid UTF-8")
            << QList { Response::text(200, "\xc3\x28 not json") } << http(200, notJson);
        QTest::newRow("200 array") << one(200, "[1]") << http(200, notJson + u"[1]"_s);
        QTest::newRow("no answer, not retried") << QList { silent() } << Net::Messages::timedOut(2);
    }

    void analyzeOutcomes()
    {
        QFETCH(QList<Response>, responses);
        QFETCH(QString, expected);
        m_server->onSequence(Chat, responses);
        const auto result = analyze(client());
        QCOMPARE(result ? *result : result.error().message(), expected);
        QCOMPARE(m_server->count(Chat), responses.size());
        if (responses.size() == 2) {
            const QJsonObject retry = m_server->requests().at(1).json();
            QVERIFY(!retry.contains(u"response_format"_s));
            QCOMPARE(retry.value(u"messages"_s), m_server->requests().at(0).json().value(u"messages"_s));
        }
    }

    void cancelDuringRetry()
    {
        m_server->onSequence(Chat,
            { Response::json(400, sample(u"compat/lmstudio.error.400-response-format.json"_s)), silent() });
        std::optional<OpenAICompatClient::Result<QString>> result;
        const Net::Handle handle = client().analyze(
            { "jpeg" }, u"prompt"_s, m_context.get(), [&](auto r) { result = std::move(r); });
        QTRY_COMPARE(m_server->count(Chat), 2);
        handle.abort(); // the caller's handle follows the retry
        QTRY_VERIFY(result.has_value());
        QVERIFY(!*result);
        QVERIFY(result->error().isCancelled());
    }

    void listModels_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("expected"); // the ids, or the error message
        QTest::newRow("sample") << Response::json(200, sample(u"openai/models.response.json"_s))
                                << QStringList { u"model-id-0"_s, u"model-id-1"_s, u"model-id-2"_s };
        QTest::newRow("code-point order, entries without id skipped")
            << Response::json(
                   200, R"({"data":[{"id":"b"},{"id":"A"},{"object":"model"},{"id":"a"},{"id":"b"}]})")
            << QStringList { u"A"_s, u"a"_s, u"b"_s, u"b"_s };
        QTest::newRow("beyond the BMP sorts last")
            << Response::json(200, R"({"data":[{"id":"😀"},{"id":"\uffee"}]})")
            << QStringList { u"\uffee"_s, u"😀"_s };
        QTest::newRow("data not an array") << Response::json(200, "{\"data\":{}}") << QStringList();
        QTest::newRow("element not an object")
            << Response::json(200, R"({"data":[{"id":"a"},"b"]})") << QStringList();
        QTest::newRow("refused") << Response::json(401, sample(u"compat/llamacpp.error.401.json"_s))
                                 << QStringList { u"接口返回 401：Invalid API Key"_s + KeyHint };
    }

    void listModels()
    {
        QFETCH(Response, response);
        QFETCH(QStringList, expected);
        m_server->on(u"/v1/models"_s, response);
        const auto result = models(client());
        QCOMPARE(result ? *result : QStringList { result.error().message() }, expected);
        QCOMPARE(m_server->last(u"/v1/models"_s).method, QByteArray("GET"));
    }

    void mentionsResponseFormat_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("mentions");
        QTest::newRow("response_format") << u"'RESPONSE_FORMAT' is invalid"_s << true;
        QTest::newRow("json_object") << u"json_object is not supported by this model"_s << true;
        QTest::newRow("json schema") << u"Only JSON Schema is supported"_s << true;
        QTest::newRow("json_schema is not json schema") << u"use json_schema"_s << false;
    }

    void mentionsResponseFormat()
    {
        QFETCH(QString, body);
        QFETCH(bool, mentions);
        QCOMPARE(OpenAICompatError::http(400, body).mentionsResponseFormat(), mentions);
    }
};

QTEST_GUILESS_MAIN(TestOpenAICompatClient)
#include "TestOpenAICompatClient.moc"
