// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/FakeHttpServer.h"
#include "vision/OpenAICompatClient.h"

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
    return FakeHttpServer::sample(u"vision/peers/"_s + name);
}

const QString KeyHint = u"（多半是 API 密钥不对，或该密钥没有这个模型的权限）"_s;
const QString AddressHint = u"（多半是接口地址或模型名不对）"_s;
const QString LimitHint = u"（触发了限速或余额不足）"_s;

QByteArray chatReply(const QString& content)
{
    const QJsonObject message { { u"role"_s, u"assistant"_s }, { u"content"_s, content } };
    const QJsonObject choice { { u"index"_s, 0 }, { u"message"_s, message } };
    return QJsonDocument(QJsonObject { { u"choices"_s, QJsonArray { choice } } }).toJson();
}

} // namespace

class TestOpenAICompatClient : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    OpenAICompatClient client(const QString& key = u"sk-test"_s, const QString& base = u"/v1"_s) const
    {
        OpenAICompatClient::Limits limits;
        limits.listModels = 2;
        limits.chat = 2;
        limits.maxReplyBytes = 1024 * 1024;
        return OpenAICompatClient(m_server->url(base), key, u"qwen-vl-max"_s, limits);
    }

    OpenAICompatClient::Result<QString> analyze(const OpenAICompatClient& c)
    {
        std::optional<OpenAICompatClient::Result<QString>> result;
        c.analyze({ "jpeg" }, u"prompt"_s, m_context.get(), [&](auto r) { result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 20000); }();
        return result.value_or(tl::make_unexpected(OpenAICompatError()));
    }

    OpenAICompatClient::Result<QStringList> fetchModels()
    {
        std::optional<OpenAICompatClient::Result<QStringList>> result;
        client().listModels(m_context.get(), [&](auto r) { result = std::move(r); });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 20000); }();
        return result.value_or(tl::make_unexpected(OpenAICompatError()));
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
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QByteArray>("header");
        QTest::newRow("empty key") << QString() << false << QByteArray();
        QTest::newRow("one space") << u" "_s << true << QByteArray("Bearer  ");
        QTest::newRow("key") << u"sk-abc"_s << true << QByteArray("Bearer sk-abc");
    }

    void authorisation()
    {
        QFETCH(QString, key);
        QFETCH(bool, sent);
        QFETCH(QByteArray, header);
        m_server->on(u"/v1/chat/completions"_s, Response::json(200, chatReply(u"x"_s)));
        m_server->on(u"/v1/models"_s, Response::json(200, "{\"data\":[]}"));
        QVERIFY(analyze(client(key)));
        std::optional<OpenAICompatClient::Result<QStringList>> models;
        client(key).listModels(m_context.get(), [&](auto r) { models = std::move(r); });
        QTRY_VERIFY(models.has_value());
        for (const FakeHttpServer::Request& request : m_server->requests()) {
            QCOMPARE(request.hasHeader("authorization"), sent);
            // Trailing white space is no part of a header value once on the wire.
            if (sent)
                QCOMPARE(request.header("authorization"), header.trimmed());
            QCOMPARE(request.header("content-type"), QByteArray("application/json"));
        }
    }

    void keyWithLineBreakIsNeverSent()
    {
        const auto result = analyze(client(u"sk-abc\r\nX-Injected: 1"_s));
        QVERIFY(!result);
        QCOMPARE(result.error().kind, Kind::Transport);
        QVERIFY(m_server->requests().isEmpty());
    }

    void baseUrlForms_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::newRow("v1") << u"/v1"_s << u"/v1/chat/completions"_s;
        QTest::newRow("v1 and slash") << u"/v1/"_s << u"/v1/chat/completions"_s;
        QTest::newRow("compatible mode")
            << u"/compatible-mode/v1"_s << u"/compatible-mode/v1/chat/completions"_s;
    }

    void baseUrlForms()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        m_server->on(path, Response::json(200, sample(u"openai/chat.response.image.json"_s)));
        const auto result = analyze(client(u"k"_s, base));
        QVERIFY(result);
        QVERIFY(result->startsWith(u"The image shows a wooden boardwalk"_s));
    }

    void chatRequestMembers()
    {
        m_server->on(u"/v1/chat/completions"_s, Response::json(200, chatReply(u"{}"_s)));
        QVERIFY(analyze(client()));
        const FakeHttpServer::Request request = m_server->last(u"/v1/chat/completions"_s);
        QCOMPARE(request.method, QByteArray("POST"));
        const QJsonObject body = request.json();
        QCOMPARE(body.keys(),
            (QStringList {
                u"max_tokens"_s, u"messages"_s, u"model"_s, u"response_format"_s, u"temperature"_s }));
        QCOMPARE(body.value(u"model"_s), QJsonValue(u"qwen-vl-max"_s));
        QCOMPARE(body.value(u"temperature"_s).toDouble(), 0.2);
        QCOMPARE(body.value(u"max_tokens"_s), QJsonValue(800));
        QVERIFY(request.body.contains("\"max_tokens\":800"));
        QCOMPARE(
            body.value(u"response_format"_s).toObject(), (QJsonObject { { u"type"_s, u"json_object"_s } }));
        const QJsonArray expected = QJsonDocument::fromJson(R"([{"role": "user", "content": [
            {"type": "text", "text": "prompt"},
            {"type": "image_url", "image_url": {"url": "data:image/jpeg;base64,anBlZw=="}}]}])")
                                        .array();
        QCOMPARE(body.value(u"messages"_s).toArray(), expected);
    }

    // Every outcome of an analysis: the first request, and the one retry when the format was refused.
    void analyzeOutcomes_data()
    {
        QTest::addColumn<QList<Response>>("responses");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("reply"); // on success
        QTest::addColumn<QString>("message"); // otherwise

        const Response ok = Response::json(200, chatReply(u"{\"content\":\"海边\"}"_s));
        auto error = [](int status, const QString& file) { return Response::json(status, sample(file)); };
        QTest::newRow("success") << QList<Response> { ok } << 1 << u"{\"content\":\"海边\"}"_s << QString();
        QTest::newRow("json word required, retried")
            << QList<Response> { error(400, u"openai/error.400-json-word-required.json"_s), ok } << 2
            << u"{\"content\":\"海边\"}"_s << QString();
        QTest::newRow("LM Studio refuses json_object, retried")
            << QList<Response> { error(400, u"compat/lmstudio.error.400-response-format.json"_s), ok } << 2
            << u"{\"content\":\"海边\"}"_s << QString();
        QTest::newRow("json schema wording, retried") << QList<Response> {
            Response::json(400, "{\"error\":\"This model does not support JSON Schema\"}"), ok
        } << 2 << u"{\"content\":\"海边\"}"_s << QString();
        QTest::newRow("retry fails too, only once")
            << QList<Response> { error(400, u"compat/lmstudio.error.400-response-format.v0.3.json"_s) } << 2
            << QString() << u"接口返回 400：'response_format.type' must be 'json_schema'"_s;
        QTest::newRow("other 400 is final")
            << QList<Response> { error(400, u"openai/error.400-invalid-image-format.json"_s), ok } << 1
            << QString()
            << u"接口返回 400：You uploaded an unsupported image. Please make sure your image has of one the following formats: ['png', 'jpeg', 'gif', 'webp']."_s;
        QTest::newRow("401")
            << QList<Response> { error(401, u"openai/error.401-invalid-api-key.json"_s) } << 1 << QString()
            << u"接口返回 401：Incorrect API key provided: sk-VKMIs***************************************wjh3. You can find your API key at https://platform.openai.com/account/api-keys."_s
                + KeyHint;
        QTest::newRow("401 vLLM string error")
            << QList<Response> { error(401, u"compat/vllm.error.401.json"_s) } << 1 << QString()
            << u"接口返回 401：Unauthorized"_s + KeyHint;
        QTest::newRow("401 DashScope native, flat")
            << QList<Response> { error(401, u"compat/dashscope-native.error.401.json"_s) } << 1 << QString()
            << u"接口返回 401：Invalid API-key provided."_s + KeyHint;
        QTest::newRow("403") << QList<Response> { Response::text(403, "Forbidden") } << 1 << QString()
                             << u"接口返回 403：Forbidden"_s + KeyHint;
        QTest::newRow("404")
            << QList<Response> { error(404, u"openai/error.404-model-not-found.json"_s) } << 1 << QString()
            << u"接口返回 404：The model `gpt-4o-2024-08-06` does not exist or you do not have access to it."_s
                + AddressHint;
        QTest::newRow("404 old vLLM, flat")
            << QList<Response> { error(404, u"compat/vllm.error.404.before-0.10.1.json"_s) } << 1 << QString()
            << u"接口返回 404：The model `Qwen1.5-14B-Chat-GPTQ-Int8` does not exist."_s + AddressHint;
        QTest::newRow("400 Zhipu") << QList<Response> {
            error(400, u"compat/zhipu.error.400-model-not-found.json"_s)
        } << 1 << QString() << u"接口返回 400：模型不存在，请检查模型代码。"_s;
        QTest::newRow("429 quota")
            << QList<Response> { error(429, u"openai/error.429-insufficient-quota.json"_s) } << 1 << QString()
            << u"接口返回 429：You exceeded your current quota, please check your plan and billing details. For more information on this error, read the docs: https://platform.openai.com/docs/guides/error-codes/api-errors."_s
                + LimitHint;
        QTest::newRow("500 long text") << QList<Response> { Response::text(500, QByteArray(1000, 'e')) } << 1
                                       << QString() << u"接口返回 500："_s + QString(300, u'e');
        QTest::newRow("500 empty message")
            << QList<Response> { error(500, u"compat/vllm.error.500-bad-json-schema.json"_s) } << 1
            << QString() << u"接口返回 500："_s;
        QTest::newRow("502 invalid UTF-8")
            << QList<Response> { Response::text(502, "\xff\xfe") } << 1 << QString() << u"接口返回 502："_s;
        QTest::newRow("200 no choices")
            << QList<Response> { Response::json(200, "{\"choices\":[]}") } << 1 << QString()
            << u"接口返回 200：返回里没有 choices[0].message.content"_s;
        QTest::newRow("200 null content")
            << QList<Response> { Response::json(200, "{\"choices\":[{\"message\":{\"content\":null}}]}") }
            << 1 << QString() << u"接口返回 200：返回里没有 choices[0].message.content"_s;
        QTest::newRow("200 error string")
            << QList<Response> { error(200, u"compat/lmstudio.error.200-unexpected-endpoint.json"_s) } << 1
            << QString() << u"接口返回 200：Unexpected endpoint or method. (POST /chat/completions)"_s;
        QTest::newRow("200 error object")
            << QList<Response> { Response::json(200, "{\"error\":{\"message\":\"m\"}}") } << 1 << QString()
            << u"接口返回 200：m"_s;
        QTest::newRow("200 error number") << QList<Response> { Response::json(200, "{\"error\":42}") } << 1
                                          << QString() << u"接口返回 200：42"_s;
        QTest::newRow("200 error null is no error") << QList<Response> {
            Response::json(200, "{\"error\":null,\"choices\":[{\"message\":{\"content\":\"ok\"}}]}")
        } << 1 << u"ok"_s << QString();
        const QByteArray html = "<!DOCTYPE html><html><head><title>Welcome</title></head><body>"
            + QByteArray(300, 'h') + "</body></html>";
        QTest::newRow("200 HTML") << QList<Response> {
            Response::text(200, html, "text/html")
        } << 1 << QString() << u"接口返回 200：返回内容不是 JSON："_s + QString::fromLatin1(html.left(200));
        QTest::newRow("200 invalid UTF-8") << QList<Response> { Response::text(200, "\xc3\x28 not json") }
                                           << 1 << QString() << u"接口返回 200：返回内容不是 JSON："_s;
        QTest::newRow("200 array") << QList<Response> { Response::json(200, "[1]") } << 1 << QString()
                                   << u"接口返回 200：返回内容不是 JSON：[1]"_s;
    }

    void analyzeOutcomes()
    {
        QFETCH(QList<Response>, responses);
        QFETCH(int, requests);
        QFETCH(QString, reply);
        QFETCH(QString, message);
        m_server->onSequence(u"/v1/chat/completions"_s, responses);
        const auto result = analyze(client());
        if (message.isEmpty()) {
            QVERIFY2(result, qPrintable(result ? QString() : result.error().message()));
            QCOMPARE(*result, reply);
        } else {
            QVERIFY(!result);
            QCOMPARE(result.error().kind, Kind::Http);
            QCOMPARE(result.error().message(), message);
        }
        QCOMPARE(m_server->count(u"/v1/chat/completions"_s), requests);
        if (requests == 2) {
            const QJsonObject retry = m_server->requests().at(1).json();
            QVERIFY(!retry.contains(u"response_format"_s));
            QCOMPARE(retry.value(u"messages"_s), m_server->requests().at(0).json().value(u"messages"_s));
        }
    }

    void transportFailures_data()
    {
        QTest::addColumn<Response>("response");
        Response stall = Response::json(200, {});
        stall.silent = true;
        Response truncated = Response::json(200, chatReply(u"x"_s));
        truncated.declaredLength = 100000;
        truncated.ending = Response::Ending::Close;
        Response endless;
        endless.generate = [](qint64) { return QByteArray(64 * 1024, '['); };
        QTest::newRow("stall") << stall;
        QTest::newRow("truncated") << truncated;
        QTest::newRow("endless") << endless;
    }

    void transportFailures()
    {
        QFETCH(Response, response);
        m_server->on(u"/v1/chat/completions"_s, response);
        const auto result = analyze(client());
        QVERIFY(!result);
        QCOMPARE(result.error().kind, Kind::Transport);
        QVERIFY(!result.error().mentionsResponseFormat());
        QCOMPARE(m_server->count(u"/v1/chat/completions"_s), 1);
    }

    void cancelDuringRetry()
    {
        Response stall = Response::json(200, {});
        stall.silent = true;
        m_server->onSequence(u"/v1/chat/completions"_s,
            { Response::json(400, sample(u"compat/lmstudio.error.400-response-format.json"_s)), stall });
        std::optional<OpenAICompatClient::Result<QString>> result;
        const Net::Handle handle = client().analyze(
            { "jpeg" }, u"prompt"_s, m_context.get(), [&](auto r) { result = std::move(r); });
        QTRY_COMPARE(m_server->count(u"/v1/chat/completions"_s), 2);
        handle.abort(); // the caller's handle follows the retry
        QTRY_VERIFY(result.has_value());
        QVERIFY(!*result);
        QVERIFY(result->error().isCancelled());
    }

    void listModels_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("sample") << Response::json(200, sample(u"openai/models.response.json"_s))
                                << QStringList { u"model-id-0"_s, u"model-id-1"_s, u"model-id-2"_s };
        QTest::newRow("vLLM") << Response::json(200, sample(u"compat/vllm.models.json"_s))
                              << QStringList { u"meta-llama/Meta-Llama-3-8B-Instruct"_s };
        QTest::newRow("code-point order") << Response::json(
            200, R"({"data":[{"id":"b"},{"id":"A"},{"object":"model"},{"id":"a"},{"id":"b"}]})")
                                          << QStringList { u"A"_s, u"a"_s, u"b"_s, u"b"_s };
        QTest::newRow("beyond the BMP sorts last")
            << Response::json(200, R"({"data":[{"id":"😀"},{"id":"\uffee"}]})")
            << QStringList { u"\uffee"_s, u"😀"_s };
        QTest::newRow("not JSON") << Response::text(200, "<html></html>", "text/html") << QStringList();
        QTest::newRow("no data") << Response::json(200, "{\"object\":\"list\"}") << QStringList();
        QTest::newRow("data not an array") << Response::json(200, "{\"data\":{}}") << QStringList();
        QTest::newRow("element not an object")
            << Response::json(200, R"({"data":[{"id":"a"},"b"]})") << QStringList();
    }

    void listModels()
    {
        QFETCH(Response, response);
        QFETCH(QStringList, ids);
        m_server->on(u"/v1/models"_s, response);
        const auto models = fetchModels();
        QVERIFY(models);
        QCOMPARE(*models, ids);
        QCOMPARE(m_server->last(u"/v1/models"_s).method, QByteArray("GET"));
    }

    void listModelsFails()
    {
        m_server->on(u"/v1/models"_s, Response::json(401, sample(u"compat/llamacpp.error.401.json"_s)));
        const auto models = fetchModels();
        QVERIFY(!models);
        QCOMPARE(models.error().message(), u"接口返回 401：Invalid API Key"_s + KeyHint);
    }

    void readable_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("error.message")
            << QString::fromUtf8(sample(u"compat/dashscope.error.401-invalid-api-key.json"_s))
            << u"Incorrect API key provided. "_s;
        QTest::newRow("flat message") << QString::fromUtf8(sample(u"compat/zai-coding.error.400-flat.json"_s))
                                      << u"Invalid API parameter, please check the documentation."_s;
        QTest::newRow("nested JSON message")
            << u"{\"error\":{\"message\":\"{\\\"error\\\":\\\"inner\\\"}\"}}"_s << u"inner"_s;
        QTest::newRow("long text cut") << QString(301, u'x') << QString(300, u'x');
        QTest::newRow("characters, not code units")
            << QString(299, u'x') + u"👍🏽tail"_s << QString(299, u'x') + u"👍🏽"_s;
    }

    void readable()
    {
        QFETCH(QString, body);
        QFETCH(QString, expected);
        QCOMPARE(OpenAICompatClient::readable(body), expected);
    }

    void mentionsResponseFormat_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("mentions");
        QTest::newRow("response_format") << u"'RESPONSE_FORMAT' is invalid"_s << true;
        QTest::newRow("json_object") << u"json_object is not supported by this model"_s << true;
        QTest::newRow("json schema") << u"Only JSON Schema is supported"_s << true;
        QTest::newRow("json_schema is not json schema") << u"use json_schema"_s << false;
        QTest::newRow("unrelated") << u"Invalid API Key"_s << false;
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
