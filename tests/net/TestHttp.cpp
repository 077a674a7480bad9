// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/Http.h"
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

namespace {

// Collects what one call delivers.
struct Result
{
    std::optional<Net::Reply> reply;
    QList<QByteArray> lines;
};

Net::Options quick(qint64 maxBodyBytes = 1024 * 1024)
{
    Net::Options options;
    options.idleTimeoutSeconds = 2;
    options.maxBodyBytes = maxBodyBytes;
    return options;
}

} // namespace

class TestHttp : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QObject> m_context;

    // Runs a GET, or a line-streaming POST when lines is true, and waits for its end.
    Result run(const QString& path, const Net::Options& options, bool lines = false)
    {
        auto result = std::make_shared<Result>();
        const QNetworkRequest request = Net::jsonRequest(m_server->url(path));
        auto done = [result](const Net::Reply& reply) { result->reply = reply; };
        if (lines) {
            Net::postLines(
                request, "{}", options, m_context.get(),
                [result](const QByteArray& line) {
                    result->lines.append(line);
                    return true;
                },
                done);
        } else {
            Net::get(request, options, m_context.get(), done);
        }
        if (!QTest::qWaitFor([&] { return result->reply.has_value(); }, 20000))
            qWarning("no result within 20 s");
        return *result;
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
        QTest::newRow("trailing slash")
            << u"http://localhost:11434/"_s << u"http://localhost:11434/api/tags"_s;
        QTest::newRow("proxy prefix") << u"https://host/ollama"_s << u"https://host/ollama/api/tags"_s;
        QTest::newRow("prefix with slash") << u"https://host/ollama//"_s << u"https://host/ollama/api/tags"_s;
    }

    void appendPath()
    {
        QFETCH(QString, base);
        QFETCH(QString, expected);
        QCOMPARE(Net::appendPath(QUrl(base), u"/api/tags"_s).toString(), expected);
        QCOMPARE(Net::appendPath(QUrl(base), u"api/tags"_s).toString(), expected);
    }

    void wholeBodyWithAnyStatus_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("200") << Response::json(200, "{\"a\":1}") << 200 << QByteArray("{\"a\":1}");
        QTest::newRow("404 plain") << Response::text(404, "404 page not found") << 404
                                   << QByteArray("404 page not found");
        QTest::newRow("500 json") << Response::json(500, "{\"error\":\"x\"}") << 500
                                  << QByteArray("{\"error\":\"x\"}");
        QTest::newRow("503") << Response::json(503, "busy") << 503 << QByteArray("busy");
        QTest::newRow("empty 200") << Response::json(200, {}) << 200 << QByteArray();
        QTest::newRow("chunked") << Response::ndjson("a\nb\n", 1) << 200 << QByteArray("a\nb\n");
        QTest::newRow("redirect followed") << Response::redirect(302, "/moved") << 200 << QByteArray("here");
    }

    void wholeBodyWithAnyStatus()
    {
        QFETCH(Response, response);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        m_server->on(u"/x"_s, response);
        m_server->on(u"/moved"_s, Response::text(200, "here"));
        const Result result = run(u"/x"_s, quick());
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, Outcome::Finished);
        QCOMPARE(result.reply->status, status);
        QCOMPARE(result.reply->body, body);
        QVERIFY(result.reply->errorText.isEmpty());
    }

    void requestHeaders()
    {
        m_server->on(u"/x"_s, Response::json(200, "{}"));
        run(u"/x"_s, quick());
        const FakeHttpServer::Request request = m_server->last(u"/x"_s);
        QCOMPARE(request.method, QByteArray("GET"));
        QVERIFY(request.header("user-agent").startsWith("Velmora/" APP_VERSION " ("));
        QCOMPARE(request.header("content-type"), QByteArray("application/json"));
    }

    // Every way a transfer goes wrong ends in one clear outcome, never a hang.
    void failures_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("lines");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("status");

        Response stall = Response::ndjson("{\"status\":\"pulling manifest\"}\n");
        stall.ending = Response::Ending::Stall;
        Response silent;
        silent.silent = true;
        Response truncated = Response::json(200, "{\"models\":[");
        truncated.declaredLength = 5000;
        truncated.ending = Response::Ending::Close;
        Response brokenStream = Response::ndjson("{\"a\":1}\n{\"a\"");
        brokenStream.ending = Response::Ending::Close;
        Response hugeDeclared = Response::json(200, "{}");
        hugeDeclared.declaredLength = qint64(4) * 1024 * 1024 * 1024;
        hugeDeclared.ending = Response::Ending::Stall;
        Response endless;
        endless.generate = [](qint64) { return QByteArray(4096, 'x'); };
        Response endlessLine = endless;
        Response endlessError = endless;
        endlessError.status = 500;

        QTest::newRow("stall after a line") << stall << true << int(Outcome::TimedOut) << 200;
        QTest::newRow("no answer at all") << silent << false << int(Outcome::TimedOut) << 0;
        QTest::newRow("truncated body") << truncated << false << int(Outcome::TransportError) << 200;
        QTest::newRow("stream cut mid-line") << brokenStream << true << int(Outcome::TransportError) << 200;
        QTest::newRow("4 GB announced") << hugeDeclared << false << int(Outcome::TooLarge) << 200;
        QTest::newRow("endless body") << endless << false << int(Outcome::TooLarge) << 200;
        QTest::newRow("endless line") << endlessLine << true << int(Outcome::TooLarge) << 200;
        QTest::newRow("endless error body") << endlessError << true << int(Outcome::TooLarge) << 500;
        QTest::newRow("redirect loop")
            << Response::redirect(302, "/x") << false << int(Outcome::TransportError) << 302;
    }

    void failures()
    {
        QFETCH(Response, response);
        QFETCH(bool, lines);
        QFETCH(int, outcome);
        QFETCH(int, status);
        m_server->on(u"/x"_s, response);
        const Result result = run(u"/x"_s, quick(256 * 1024), lines);
        QVERIFY(result.reply);
        QCOMPARE(int(result.reply->outcome), outcome);
        QCOMPARE(result.reply->status, status);
        QVERIFY(!result.reply->errorText.isEmpty());
        QVERIFY(result.reply->body.isEmpty());
        // Whatever was refused was never read to its end.
        QVERIFY(m_server->generatedBytes() < 16 * 1024 * 1024);
    }

    void timeoutIsIdleTime()
    {
        // Ten pieces 400 ms apart take longer than the 2 s idle limit, but no gap reaches it.
        m_server->on(u"/x"_s, Response::ndjson("0123456789\n", 1, 400));
        const Result result = run(u"/x"_s, quick(), true);
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, Outcome::Finished);
        QCOMPARE(result.lines, QList<QByteArray> { "0123456789" });
    }

    void transportErrorCarriesQtText()
    {
        const QUrl url = m_server->url(u"/x"_s);
        m_server.reset(); // nothing listens on that port any more
        std::optional<Net::Reply> reply;
        Net::get(QNetworkRequest(url), quick(), m_context.get(), [&](const Net::Reply& r) { reply = r; });
        QTRY_VERIFY_WITH_TIMEOUT(reply.has_value(), 20000);
        QCOMPARE(reply->outcome, Outcome::TransportError);
        QCOMPARE(reply->networkError, QNetworkReply::ConnectionRefusedError);
        QCOMPARE(reply->errorText, u"Connection refused"_s);
        QCOMPARE(reply->status, 0);
    }

    // Lines come out whole however the network cuts them.
    void lineSplitting_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("chunkSize");
        QTest::addColumn<QList<QByteArray>>("lines");
        const QByteArray pull = FakeHttpServer::sample(u"vision/peers/ollama/pull.stream.ndjson"_s);
        const QList<QByteArray> pullLines = pull.trimmed().split('\n');
        QTest::newRow("one byte at a time") << pull << 1 << pullLines;
        QTest::newRow("odd pieces") << pull << 37 << pullLines;
        QTest::newRow("all at once") << pull << 0 << pullLines;
        QTest::newRow("no final newline") << QByteArray("a\nb") << 1 << QList<QByteArray> { "a", "b" };
        QTest::newRow("CRLF and blank lines")
            << QByteArray("a\r\n\r\n\nb\r\n") << 3 << QList<QByteArray> { "a", "b" };
        QTest::newRow("UTF-8 split inside a character")
            << QByteArray("{\"status\":\"拉取\"}\n") << 12 << QList<QByteArray> { "{\"status\":\"拉取\"}" };
    }

    void lineSplitting()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, chunkSize);
        QFETCH(QList<QByteArray>, lines);
        m_server->on(u"/x"_s, Response::ndjson(stream, chunkSize));
        const Result result = run(u"/x"_s, quick(), true);
        QVERIFY(result.reply);
        QCOMPARE(result.reply->outcome, Outcome::Finished);
        QCOMPARE(result.reply->status, 200);
        QCOMPARE(result.lines, lines);
        QVERIFY(result.reply->body.isEmpty());
    }

    void errorStatusIsNotSplit()
    {
        m_server->on(u"/x"_s, Response::json(404, "{\"error\":\n\"model not found\"}"));
        const Result result = run(u"/x"_s, quick(), true);
        QVERIFY(result.lines.isEmpty());
        QCOMPARE(result.reply->status, 404);
        QCOMPARE(result.reply->body, QByteArray("{\"error\":\n\"model not found\"}"));
    }

    void handlerStopsTheStream()
    {
        QByteArray stream;
        for (int i = 1; i <= 1000; ++i)
            stream += QByteArray::number(i) + '\n';
        m_server->on(u"/x"_s, Response::ndjson(stream, 100));
        std::optional<Net::Reply> reply;
        QList<QByteArray> lines;
        Net::postLines(
            Net::jsonRequest(m_server->url(u"/x"_s)), {}, quick(), m_context.get(),
            [&](const QByteArray& line) {
                lines.append(line);
                return line != "500";
            },
            [&](const Net::Reply& r) { reply = r; });
        QTRY_VERIFY_WITH_TIMEOUT(reply.has_value(), 20000);
        QCOMPARE(reply->outcome, Outcome::Finished);
        QCOMPARE(lines.size(), 500);
        QCOMPARE(lines.last(), QByteArray("500"));
    }

    void abortByCaller()
    {
        Response stall = Response::json(200, {});
        stall.silent = true;
        m_server->on(u"/x"_s, stall);
        std::optional<Net::Reply> reply;
        const Net::Handle handle = Net::get(QNetworkRequest(m_server->url(u"/x"_s)), quick(), m_context.get(),
            [&](const Net::Reply& r) { reply = r; });
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

    void destroyedContextDropsTheCall()
    {
        Response stall = Response::ndjson("{}\n");
        stall.ending = Response::Ending::Stall;
        m_server->on(u"/x"_s, stall);
        auto context = std::make_unique<QObject>();
        bool called = false;
        const Net::Handle handle = Net::postLines(
            Net::jsonRequest(m_server->url(u"/x"_s)), {}, quick(), context.get(),
            [&](const QByteArray&) { return true; }, [&](const Net::Reply&) { called = true; });
        QTRY_COMPARE(m_server->count(u"/x"_s), 1);
        context.reset();
        QTRY_VERIFY(!handle.isRunning());
        QTest::qWait(50);
        QVERIFY(!called);
    }

    // A handler may destroy the context it was called for; nothing runs after that.
    void handlerDestroysItsContext()
    {
        m_server->on(u"/x"_s, Response::ndjson("a\nb\nc\n", 1));
        auto* context = new QObject;
        QList<QByteArray> lines;
        bool called = false;
        const Net::Handle handle = Net::postLines(
            Net::jsonRequest(m_server->url(u"/x"_s)), {}, quick(), context,
            [&](const QByteArray& line) {
                lines.append(line);
                delete context;
                return true;
            },
            [&](const Net::Reply&) { called = true; });
        QTRY_VERIFY(!handle.isRunning());
        QTest::qWait(50);
        QCOMPARE(lines, QList<QByteArray> { "a" });
        QVERIFY(!called);
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

        std::optional<Net::Reply> reply;
        const QUrl url(u"https://127.0.0.1:"_s + QString::number(server.serverPort()) + u"/x"_s);
        Net::get(QNetworkRequest(url), quick(), m_context.get(), [&](const Net::Reply& r) { reply = r; });
        QTRY_VERIFY_WITH_TIMEOUT(reply.has_value(), 20000);
        QCOMPARE(reply->outcome, Outcome::TransportError);
        QCOMPARE(reply->networkError, QNetworkReply::SslHandshakeFailedError);
        QVERIFY(!reply->errorText.isEmpty());
    }

    void proxyFromEnvironmentButNotForLoopback()
    {
        FakeHttpServer proxy;
        QVERIFY(proxy.listen());
        proxy.on(u"/remote"_s, Response::text(200, "via proxy"));
        m_server->on(u"/x"_s, Response::text(200, "direct"));
        qputenv("http_proxy", proxy.url().toString().toLatin1());

        std::optional<Net::Reply> remote;
        Net::get(QNetworkRequest(QUrl(u"http://models.example.invalid/remote"_s)), quick(), m_context.get(),
            [&](const Net::Reply& r) { remote = r; });
        QTRY_VERIFY_WITH_TIMEOUT(remote.has_value(), 20000);
        const Result local = run(u"/x"_s, quick());
        qunsetenv("http_proxy");

        QCOMPARE(remote->body, QByteArray("via proxy"));
        QCOMPARE(proxy.last(u"/remote"_s).target, QByteArray("http://models.example.invalid/remote"));
        QCOMPARE(local.reply->body, QByteArray("direct"));
        QCOMPARE(proxy.count(u"/x"_s), 0);
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "TestHttp.moc"
