// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Http.h"
#include "net/Messages.h"
#include "support/FakeHttpServer.h"
#include "support/MediaFixtures.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using Outcome = Net::Reply::Outcome;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(Response)
Q_DECLARE_METATYPE(Outcome)

namespace {

// What one call delivers.
struct Result
{
    std::optional<Net::Reply> reply;
    QList<QByteArray> lines;
};

Net::Options quick(qint64 maxBodyBytes = 1024 * 1024)
{
    Net::Options options;
    options.idleTimeoutSeconds = 2;
    options.deadlineSeconds = 10;
    options.maxBodyBytes = maxBodyBytes;
    return options;
}

Response ending(Response response, Response::Ending end)
{
    response.ending = end;
    return response;
}

} // namespace

class TestHttp : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    // A GET, or a line-streaming POST when lines is true whose handler stops reading after a line
    // "stop", waited for to its end.
    Result run(const QUrl& url, bool lines = false, qint64 maxBodyBytes = 1024 * 1024)
    {
        auto result = std::make_shared<Result>();
        auto done = [result](const Net::Reply& reply) { result->reply = reply; };
        if (lines) {
            const auto onLine = [result](const QByteArray& line) {
                result->lines.append(line);
                return line != "stop";
            };
            Net::postLines(Net::jsonRequest(url), "{}", quick(maxBodyBytes), m_context.get(), onLine, done);
        } else {
            Net::get(Net::jsonRequest(url), quick(maxBodyBytes), m_context.get(), done);
        }
        if (!QTest::qWaitFor([&] { return result->reply.has_value(); }, 20000))
            qWarning("no result within 20 s");
        return *result;
    }

    QUrl x() const
    {
        return m_server->url(u"/x"_s);
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

    void appendPath_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bare host") << u"http://localhost:11434"_s << u"http://localhost:11434/api/tags"_s;
        QTest::newRow("proxy prefix") << u"https://host/ollama"_s << u"https://host/ollama/api/tags"_s;
        QTest::newRow("prefix with slashes")
            << u"https://host/ollama//"_s << u"https://host/ollama/api/tags"_s;
    }

    void appendPath()
    {
        QFETCH(QString, base);
        QFETCH(QString, expected);
        QCOMPARE(Net::appendPath(QUrl(base), u"/api/tags"_s).toString(), expected);
        QCOMPARE(Net::appendPath(QUrl(base), u"api/tags"_s).toString(), expected);
    }

    // Whole bodies with any status, lines however the network cuts them, and every way a transfer goes
    // wrong: each ends in one clear outcome, never a hang.
    void transfers_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("lines"); // a line-streaming POST whose handler stops after a line "stop"
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QList<QByteArray>>("delivered");
        const auto row
            = [](const char* name, const Response& response, bool lines, Outcome outcome, int status,
                  const QByteArray& body = {}, const QList<QByteArray>& delivered = {}) {
                  QTest::newRow(name) << response << lines << outcome << status << body << delivered;
              };
        const Outcome ok = Outcome::Finished;
        row("200", Response::json(200, "{\"a\":1}"), false, ok, 200, "{\"a\":1}");
        row("404", Response::text(404, "404 page not found"), false, ok, 404, "404 page not found");
        row("503", Response::json(503, "busy"), false, ok, 503, "busy");
        row("chunked", Response::ndjson("a\nb\n", 1), false, ok, 200, "a\nb\n");
        row("redirect followed", Response::redirect(302, "/moved"), false, ok, 200, "here");

        const QByteArray pull = FakeHttpServer::sample(u"vision/peers/ollama/pull.stream.ndjson"_s);
        const QList<QByteArray> pullLines = pull.trimmed().split('\n');
        row("lines one byte at a time", Response::ndjson(pull, 1), true, ok, 200, {}, pullLines);
        row("lines all at once", Response::ndjson(pull), true, ok, 200, {}, pullLines);
        row("CRLF, blank lines, split characters, no final line break", Response::ndjson("拉\r\n\r\n\n取", 1),
            true, ok, 200, {}, { "拉", "取" });
        // Ten pieces 400 ms apart take longer than the 2 s idle limit, but no gap reaches it.
        row("idle time, not total time", Response::ndjson("0123456789\n", 1, 400), true, ok, 200, {},
            { "0123456789" });
        row("handler stops reading", Response::ndjson("1\nstop\n3\n"), true, ok, 200, {}, { "1", "stop" });
        row("error status is not split", Response::json(404, "{\"error\":\n\"x\"}"), true, ok, 404,
            "{\"error\":\n\"x\"}");

        Response silent;
        silent.silent = true;
        Response truncated = ending(Response::json(200, "{\"models\":["), Response::Ending::Close);
        truncated.declaredLength = 5000;
        Response hugeDeclared = ending(Response::json(200, "{}"), Response::Ending::Stall);
        hugeDeclared.declaredLength = qint64(4) * 1024 * 1024 * 1024;
        Response endless;
        endless.generate = [](qint64) { return QByteArray(4096, 'x'); };
        Response endlessError = endless;
        endlessError.status = 500;
        row("stall after a line", ending(Response::ndjson("{}\n"), Response::Ending::Stall), true,
            Outcome::TimedOut, 200, {}, { "{}" });
        row("no answer at all", silent, false, Outcome::TimedOut, 0);
        row("truncated body", truncated, false, Outcome::TransportError, 200);
        row("stream cut mid-line", ending(Response::ndjson("{\"a\":1}\n{\"a\""), Response::Ending::Close),
            true, Outcome::TransportError, 200, {}, { "{\"a\":1}" });
        row("4 GB announced", hugeDeclared, false, Outcome::TooLarge, 200);
        row("endless body", endless, false, Outcome::TooLarge, 200);
        row("endless line", endless, true, Outcome::TooLarge, 200);
        row("endless error body", endlessError, true, Outcome::TooLarge, 500);
        row("redirect loop", Response::redirect(302, "/x"), false, Outcome::TransportError, 0);
        Response undecodable = Response::json(200, "not gzip at all");
        undecodable.headers.append(std::pair<QByteArray, QByteArray>("Content-Encoding", "gzip"));
        row("body that does not decompress", undecodable, false, Outcome::TransportError, 200);
        // No gap reaches the idle limit, but the whole takes longer than the 10 s deadline.
        row("trickle past the deadline", Response::ndjson(QByteArray(40, 'x') + '\n', 1, 400), true,
            Outcome::TimedOut, 200);
    }

    void transfers()
    {
        QFETCH(Response, response);
        QFETCH(bool, lines);
        QFETCH(Outcome, outcome);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QList<QByteArray>, delivered);
        m_server->on(u"/x"_s, response);
        m_server->on(u"/moved"_s, Response::text(200, "here"));
        const Result result = run(x(), lines, 256 * 1024);
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, outcome);
        QCOMPARE(result.reply->status, status);
        QCOMPARE(result.reply->body, body);
        QCOMPARE(result.lines, delivered);
        QCOMPARE(result.reply->errorText.isEmpty(), outcome == Outcome::Finished);
        // Whatever was refused was never read to its end.
        QVERIFY(m_server->generatedBytes() < 16 * 1024 * 1024);
        QVERIFY(m_server->last(u"/x"_s).header("user-agent").startsWith("Velmora/" APP_VERSION " ("));
    }

    void refusedConnectionSaysWhatToCheck()
    {
        const QUrl url = x();
        m_server.reset(); // nothing listens on that port any more
        const Result result = run(url);
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, Outcome::TransportError);
        QCOMPARE(result.reply->networkError, QNetworkReply::ConnectionRefusedError);
        QCOMPARE(result.reply->errorText,
            u"无法连接到 http://127.0.0.1:"_s + QString::number(url.port())
                + u"：服务器拒绝连接（请确认 服务 正在运行、地址和端口正确）"_s);
        QCOMPARE(result.reply->status, 0);
    }

    // The common failures in Chinese, with the address and what to check; Qt's English text only where
    // nothing better is known.
    void transportErrorTexts_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("qtText");
        QTest::addColumn<QString>("expected");
        using E = QNetworkReply::NetworkError;
        const auto row = [](const char* name, E error, const char* qtText, const QString& expected) {
            QTest::newRow(name) << int(error) << QString::fromLatin1(qtText) << expected;
        };
        row("refused", E::ConnectionRefusedError, "Connection refused",
            u"无法连接到 https://h.example:8443：服务器拒绝连接（请确认 Ollama 正在运行、地址和端口正确）"_s);
        row("host not found", E::HostNotFoundError, "Host h.example not found",
            u"无法连接到 https://h.example:8443：找不到主机 h.example（请检查地址拼写，以及网络和 DNS 设置）"_s);
        row("closed early", E::RemoteHostClosedError, "Connection closed", u"在回复完成前断开了连接"_s);
        row("TLS", E::SslHandshakeFailedError, "SSL handshake failed", u"TLS/SSL 握手失败"_s);
        row("proxy refused", E::ProxyConnectionRefusedError, "Proxy refused",
            u"无法通过代理连接到 https://h.example:8443：代理服务器拒绝连接"_s);
        row("proxy not found", E::ProxyNotFoundError, "Proxy not found", u"找不到代理服务器"_s);
        row("network unreachable", E::UnknownNetworkError, "Network unreachable",
            u"无法连接到 https://h.example:8443：网络不可达"_s);
        row("undecodable body", E::UnknownContentError, "Decompression failed", u"无法解压"_s);
        row("anything else", E::UnknownNetworkError, "Odd failure",
            u"与 https://h.example:8443 通信失败：Odd failure（请检查网络连接和地址）"_s);
    }

    void transportErrorTexts()
    {
        QFETCH(int, error);
        QFETCH(QString, qtText);
        QFETCH(QString, expected);
        const QString text = Net::Messages::transportError(QNetworkReply::NetworkError(error),
            QUrl(u"https://user@h.example:8443/api/tags?q=1"_s), u"Ollama"_s, qtText);
        QVERIFY2(text.contains(expected), qPrintable(text));
        QVERIFY(text.contains(u"h.example"_s) && !text.contains(u"user"_s) && !text.contains(u"/api"_s));
        QCOMPARE(text.contains(qtText), qtText == u"Odd failure");
    }

    void abortByCaller()
    {
        Response silent;
        silent.silent = true;
        m_server->on(u"/x"_s, silent);
        std::optional<Net::Reply> reply;
        const Net::Handle handle = Net::get(
            QNetworkRequest(x()), quick(), m_context.get(), [&](const Net::Reply& r) { reply = r; });
        QTRY_COMPARE(m_server->count(u"/x"_s), 1);
        QVERIFY(handle.isRunning());
        handle.abort();
        QVERIFY(!reply); // never from inside the caller's own call
        QVERIFY(!handle.isRunning());
        QTRY_VERIFY(reply.has_value());
        QCOMPARE(reply->outcome, Outcome::Aborted);
        QVERIFY(!reply->errorText.isEmpty());
        handle.abort(); // harmless once ended
    }

    // The context goes while the call waits, or from inside the call's own line handler: nothing runs
    // after that.
    void destroyedContextDropsTheCall_data()
    {
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("while waiting") << false;
        QTest::newRow("from the line handler") << true;
    }

    void destroyedContextDropsTheCall()
    {
        QFETCH(bool, fromHandler);
        m_server->on(u"/x"_s, ending(Response::ndjson("a\nb\nc\n", 1), Response::Ending::Stall));
        auto* context = new QObject;
        QList<QByteArray> lines;
        bool called = false;
        const Net::Handle handle = Net::postLines(
            Net::jsonRequest(x()), {}, quick(), context,
            [&](const QByteArray& line) {
                lines.append(line);
                if (fromHandler)
                    delete context;
                return true;
            },
            [&](const Net::Reply&) { called = true; });
        QTRY_VERIFY(!lines.isEmpty());
        if (!fromHandler)
            delete context;
        QTRY_VERIFY(!handle.isRunning());
        QTest::qWait(50);
        if (fromHandler)
            QCOMPARE(lines, QList<QByteArray> { "a" });
        QVERIFY(!called);
    }

    // What a server says about waiting; nonsense says nothing, and Retry-After wins when it says something.
    void retryDelay_data()
    {
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<QByteArray>("resetRequests");
        QTest::addColumn<QByteArray>("resetTokens");
        QTest::addColumn<qint64>("expected"); // -1: nothing
        const auto row = [](const char* name, const QByteArray& after, const QByteArray& requests,
                             const QByteArray& tokens, qint64 expected) {
            QTest::newRow(name) << after << requests << tokens << expected;
        };
        row("seconds", "120", "", "", 120'000);
        row("fraction of a second", " 0.25 ", "", "", 250);
        row("http date", "Mon, 07 Dec 2026 12:01:30 GMT", "", "", 90'000);
        row("date in the past", "Mon, 07 Dec 2026 11:00:00 GMT", "", "", -1);
        row("go durations, the longer wins", "", "6m0s", "1.5s", 360'000);
        row("milliseconds", "", "20ms", "", 20);
        row("hours and minutes", "", "", "1h2m", 3'720'000);
        row("negative after falls through", "-5", "2s", "", 2000);
        row("zero and minus one say nothing", "0", "-1", "0s", -1);
        row("garbage", "soon", "6 minutes", "NaN", -1);
        row("infinite", "inf", "", "", -1);
    }

    void retryDelay()
    {
        QFETCH(QByteArray, retryAfter);
        QFETCH(QByteArray, resetRequests);
        QFETCH(QByteArray, resetTokens);
        QFETCH(qint64, expected);
        const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
        QCOMPARE(Net::retryDelayMs(retryAfter, resetRequests, resetTokens, now).value_or(-1), expected);
    }

    // A certificate nobody vouches for ends the request; nothing here may switch verification off.
    void untrustedCertificateIsRefused()
    {
        if (!MediaFixtures::hasTool(u"openssl"_s))
            QSKIP("openssl is needed to make a certificate");
        QTemporaryDir dir;
        const QString certPath = dir.filePath(u"cert.pem"_s);
        const QString keyPath = dir.filePath(u"key.pem"_s);
        QVERIFY(MediaFixtures::run(u"openssl"_s,
            { u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:prime256v1"_s,
                u"-nodes"_s, u"-days"_s, u"1"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-keyout"_s, keyPath,
                u"-out"_s, certPath }));
        QFile keyFile(keyPath);
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate::fromPath(certPath).value(0));
        tls.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
        QSslServer server;
        server.setSslConfiguration(tls);
        QVERIFY(server.listen(QHostAddress::LocalHost));

        const Result result
            = run(QUrl(u"https://127.0.0.1:"_s + QString::number(server.serverPort()) + u"/x"_s));
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, Outcome::TransportError);
        QCOMPARE(result.reply->networkError, QNetworkReply::SslHandshakeFailedError);
    }

    void proxyFromEnvironmentButNotForLoopback()
    {
        FakeHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.on(u"/remote"_s, Response::text(200, "via proxy"));
        m_server->on(u"/x"_s, Response::text(200, "direct"));
        qputenv("http_proxy", proxy.url().toString().toLatin1());
        const Result remote = run(QUrl(u"http://models.example.invalid/remote"_s));
        const Result local = run(x());
        qunsetenv("http_proxy");

        QCOMPARE(remote.reply->body, QByteArray("via proxy"));
        QCOMPARE(proxy.last(u"/remote"_s).target, QByteArray("http://models.example.invalid/remote"));
        QCOMPARE(local.reply->body, QByteArray("direct"));
        QCOMPARE(proxy.count(u"/x"_s), 0);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "TestHttp.moc"
