// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/SettingsStore.h"
#include "support/FakeHttpServer.h"
#include "update/Messages.h"
#include "update/UpdateChecker.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;
using Outcome = UpdateChecker::CheckResult::Outcome;

Q_DECLARE_METATYPE(Response)
Q_DECLARE_METATYPE(Outcome)

namespace {

constexpr double Now = 1'800'000'000;
constexpr double Hour = 3600;
const QString PagePath = u"/ondrel/index.html"_s;

QByteArray page(const QByteArray& inside)
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\">" + inside + "</head><body></body></html>";
}

FakeHttpServer::Response offering(const QByteArray& version)
{
    return FakeHttpServer::Response::text(200, page("<a href=\"Velmora_" + version + ".dmg\">"), "text/html");
}

} // namespace

class TestUpdateChecker : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QObject> m_context;

    QString storePath() const
    {
        return m_dir->filePath(u"velmora.json"_s);
    }

    void store(const QVariantMap& values)
    {
        const auto settings = SettingsStore::open(storePath());
        for (auto it = values.begin(); it != values.end(); ++it)
            settings->setValue(it.key(), it.value());
        QVERIFY(SettingsStore::sync(*settings));
    }

    QVariant stored(const QString& key) const
    {
        return SettingsStore::open(storePath())->value(key);
    }

    // A check against the fake download page, or in a build without one.
    UpdateChecker::CheckResult check(bool force, bool hasPage = true)
    {
        UpdateChecker::Environment env;
        env.storePath = storePath();
        env.pageURL = hasPage ? m_server->url(PagePath) : QUrl();
        env.currentVersion = u"1.3.0"_s;
        env.now = [] { return Now; };
        env.timeoutSeconds = 2;
        std::optional<UpdateChecker::CheckResult> result;
        UpdateChecker::check(
            force, env, m_context.get(), [&](const UpdateChecker::CheckResult& r) { result = r; });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 20000); }();
        return result.value_or(UpdateChecker::CheckResult {});
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
    }

    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        QVERIFY(m_server->listen());
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_context = std::make_unique<QObject>();
    }

    void cleanup()
    {
        m_context.reset();
        m_server.reset();
        m_dir.reset();
    }

    void compare_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("missing parts are 0") << u"1.2"_s << u"1.2.0"_s << 0;
        QTest::newRow("numeric, not textual") << u"1.10"_s << u"1.9"_s << 1;
        QTest::newRow("major wins") << u"2"_s << u"1.99"_s << 1;
        QTest::newRow("older") << u"1.3"_s << u"1.3.1"_s << -1;
        QTest::newRow("letters dropped") << u"1.2b"_s << u"1"_s << 0;
        QTest::newRow("empty pieces") << u"1..3"_s << u"1.3"_s << 0;
        QTest::newRow("too large to read") << u"99999999999999999999"_s << u"0"_s << 0;
    }

    void compare()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(UpdateChecker::compare(a, b), result);
        QCOMPARE(UpdateChecker::compare(b, a), -result);
    }

    void parseLatestVersion_data()
    {
        QTest::addColumn<QByteArray>("html");
        QTest::addColumn<QString>("latest"); // empty: none
        QTest::newRow("highest of all")
            << page("<a href=\"Velmora_1.2.dmg\">1.2</a><a href=\"dl/Velmora_1.10.dmg\">1.10</a>"
                    "<meta name=\"app-latest-version\" content=\"1.9\">")
            << u"1.10"_s;
        QTest::newRow("meta tag only")
            << page("<meta name=\"app-latest-version\" content=\"2.0.1\">") << u"2.0.1"_s;
        QTest::newRow("single quotes and spaces")
            << page("<META NAME = 'app-latest-version' data-x=\"y\" CONTENT= '3.1'>") << u"3.1"_s;
        QTest::newRow("letter case") << page("<a href=\"VELMORA_2.0.DMG\">") << u"2.0"_s;
        QTest::newRow("content before name")
            << page("<meta content=\"9.9\" name=\"app-latest-version\"><a href=\"Velmora_1.5.dmg\">")
            << u"1.5"_s;
        QTest::newRow("earliest of equals")
            << page("<a href=\"Velmora_1.2.dmg\"><a href=\"Velmora_1.2.0.dmg\">") << u"1.2"_s;
        QTest::newRow("disk image before equal tag")
            << page("<meta name=\"app-latest-version\" content=\"1.4.0\"><a href=\"Velmora_1.4.dmg\">")
            << u"1.4"_s;
        QTest::newRow("markup instead of a version")
            << page("<meta name=\"app-latest-version\" content=\"<a href=x>9</a>\">") << QString();
        QTest::newRow("five parts") << page("<a href=\"Velmora_1.2.3.4.5.dmg\">") << QString();
        QTest::newRow("no marker, other product")
            << page("<a href=\"velmora-1.5.deb\"><a href=\"Other_7.0.dmg\">") << QString();
    }

    void parseLatestVersion()
    {
        QFETCH(QByteArray, html);
        QFETCH(QString, latest);
        QCOMPARE(UpdateChecker::parseLatestVersion(QString::fromUtf8(html)).value_or(QString()), latest);
    }

    void isDue_data()
    {
        QTest::addColumn<QVariant>("autoCheck");
        QTest::addColumn<QVariant>("lastCheckAt");
        QTest::addColumn<bool>("due"); // switched off and 23 hours ago: see checks
        QTest::newRow("never checked") << QVariant() << QVariant() << true;
        QTest::newRow("off as text counts as on") << QVariant(u"false"_s) << QVariant() << true;
        QTest::newRow("24 hours ago") << QVariant() << QVariant(Now - 24 * Hour) << true;
        QTest::newRow("stored as integer") << QVariant() << QVariant(qint64(Now - Hour)) << false;
        QTest::newRow("stored as text") << QVariant() << QVariant(u"1800000000"_s) << true;
        QTest::newRow("in the future") << QVariant() << QVariant(Now + 100 * Hour) << true;
    }

    void isDue()
    {
        QFETCH(QVariant, autoCheck);
        QFETCH(QVariant, lastCheckAt);
        QFETCH(bool, due);
        QCOMPARE(UpdateChecker::isDue(autoCheck, lastCheckAt, Now), due);
    }

    void checks_data()
    {
        QTest::addColumn<QVariantMap>("settings");
        QTest::addColumn<bool>("force");
        QTest::addColumn<Response>("response");
        QTest::addColumn<Outcome>("outcome"); // the page is fetched unless it is NotDue

        const Response newer = offering("1.4");
        Response stall = newer;
        stall.silent = true;
        const QVariantMap none;
        const QVariantMap off { { u"autoCheckUpdate"_s, false } };
        const QVariantMap recent { { u"updateLastCheckAt"_s, Now - 23 * Hour } };
        const QVariantMap skipped14 { { u"updateSkippedVersion"_s, u"1.4"_s } };

        QTest::newRow("newer") << none << false << newer << Outcome::Announce;
        QTest::newRow("switched off") << off << false << newer << Outcome::NotDue;
        QTest::newRow("off but forced") << off << true << newer << Outcome::Announce;
        QTest::newRow("23 hours") << recent << false << newer << Outcome::NotDue;
        QTest::newRow("same version")
            << none << false << Response::text(200, page("<meta name='app-latest-version' content='1.3'>"))
            << Outcome::NotNewer;
        QTest::newRow("skipped") << skipped14 << false << newer << Outcome::Skipped;
        QTest::newRow("skipped, forced") << skipped14 << true << newer << Outcome::Skipped;
        QTest::newRow("newer than skipped") << skipped14 << false << offering("1.5") << Outcome::Announce;
        QTest::newRow("skip is exact text") << skipped14 << false << offering("1.4.0") << Outcome::Announce;
        QTest::newRow("404 with a disk image")
            << none << false << Response::text(404, page("<a href=\"Velmora_9.0.dmg\">"))
            << Outcome::NoVersion;
        QTest::newRow("no version on page")
            << none << false << Response::text(200, page("")) << Outcome::NoVersion;
        QTest::newRow("invalid UTF-8")
            << none << false << Response::text(200, "Velmora_9.0.dmg \xff") << Outcome::NoVersion;
        QTest::newRow("stall") << none << false << stall << Outcome::NoVersion;
    }

    void checks()
    {
        QFETCH(QVariantMap, settings);
        QFETCH(bool, force);
        QFETCH(Response, response);
        QFETCH(Outcome, outcome);
        store(settings);
        m_server->on(PagePath, response);
        const QVariant lastBefore = stored(u"updateLastCheckAt"_s);

        QCOMPARE(check(force).outcome, outcome);
        QCOMPARE(m_server->count(PagePath), outcome == Outcome::NotDue ? 0 : 1);
        // Only a version obtained from the page moves the last check forward.
        if (outcome == Outcome::NotDue || outcome == Outcome::NoVersion)
            QCOMPARE(stored(u"updateLastCheckAt"_s), lastBefore);
        else
            QCOMPARE(stored(u"updateLastCheckAt"_s).toDouble(), Now);
        if (outcome != Outcome::NotDue)
            QCOMPARE(m_server->last(PagePath).header("cache-control"), QByteArray("no-cache"));
    }

    void noHostNoRequest()
    {
        QCOMPARE(check(true, false).outcome, Outcome::NotDue);
        QVERIFY(m_server->requests().isEmpty());
    }

    void choices()
    {
        store({ { u"openAIKey"_s, u"kept"_s } });
        QVERIFY(UpdateChecker::applyChoice(UpdateChecker::Choice::Later, u"1.4"_s, storePath()));
        QVERIFY(!stored(u"updateSkippedVersion"_s).isValid());
        QVERIFY(UpdateChecker::applyChoice(UpdateChecker::Choice::Skip, u"1.4"_s, storePath()));
        QCOMPARE(stored(u"updateSkippedVersion"_s), QVariant(u"1.4"_s));
        QCOMPARE(stored(u"openAIKey"_s), QVariant(u"kept"_s));
    }

    void alertText()
    {
        QCOMPARE(Update::Messages::alertText(u"1.4"_s, u"1.3.0"_s),
            u"网站上已发布 Velmora 1.4，你当前使用的是 1.3.0。\n更新后可用上新功能与修复。"_s);
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "TestUpdateChecker.moc"
