// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/PlaceResolver.h"
#include "support/FakeHttpServer.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

// The members of a jsonv2 reply that matter, as the service gives them for zh-CN.
QByteArray chengduReply()
{
    const QJsonObject address { { u"tourism"_s, u"武侯祠"_s }, { u"road"_s, u"武侯祠大街"_s },
        { u"city_district"_s, u"武侯区"_s }, { u"city"_s, u"成都市"_s }, { u"state"_s, u"四川省"_s },
        { u"country"_s, u"中国"_s } };
    return QJsonDocument(QJsonObject { { u"category"_s, u"tourism"_s }, { u"addresstype"_s, u"tourism"_s },
                             { u"name"_s, u"武侯祠"_s }, { u"address"_s, address } })
        .toJson();
}

const QByteArray ChengduReply = chengduReply();

const GeoCoordinate Wuhou { 30.64616, 104.04796 };

QByteArray sample(const char* name)
{
    return FakeHttpServer::sample(u"naming/peers/nominatim/"_s + QString::fromLatin1(name));
}

} // namespace

class TestReverseGeocoder : public QObject
{
    Q_OBJECT

private:
    std::optional<FakeHttpServer> m_server;
    std::optional<QObject> m_context;
    QList<std::optional<QString>> m_places;
    QStringList m_unreachable;

    // Asks the fake service, or the one at address, and collects the answer in m_places.
    void ask(const GeoCoordinate& coordinate, const QString& address = QString())
    {
        PlaceResolver::reverseGeocode(coordinate, address.isNull() ? m_server->url().toString() : address,
            &*m_context, [this](const std::optional<QString>& place) { m_places.append(place); });
    }

private slots:
    void init()
    {
        PlaceResolver::GeocoderTesting::reset();
        // The one-second spacing has its own test; elsewhere each wait ends at once.
        PlaceResolver::GeocoderTesting::setTimer(
            [](qint64, std::function<void()> fire) { QTimer::singleShot(0, std::move(fire)); });
        m_server.emplace();
        QVERIFY(m_server->listen());
        m_context.emplace();
        m_places.clear();
        m_unreachable.clear();
        PlaceResolver::setUnreachableHandler(
            [this](const QString& message) { m_unreachable.append(message); });
    }

    void cleanup()
    {
        PlaceResolver::GeocoderTesting::reset();
        m_context.reset();
        m_server.reset();
    }

    void placeName_data()
    {
        QTest::addColumn<QString>("locality");
        QTest::addColumn<QString>("subLocality");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("place"); // empty: none
        const QString accented12 = QString(u"e\u0301"_s).repeated(12);
        QTest::newRow("city, district and landmark")
            << u"成都市"_s << u"武侯区"_s << u"武侯祠"_s << u"成都市武侯区武侯祠"_s;
        QTest::newRow("name of 13 characters left out")
            << u"成都市"_s << u"武侯区"_s << u"一二三四五六七八九十一二三"_s << u"成都市武侯区"_s;
        QTest::newRow("12 letters with accents kept") << QString() << QString() << accented12 << accented12;
        QTest::newRow("name equal to the locality")
            << u"成都市"_s << u"武侯区"_s << u"成都市"_s << u"成都市武侯区"_s;
        QTest::newRow("equal after trimming") << u" 成都市\t"_s << u"成都市"_s << QString() << u"成都市"_s;
        QTest::newRow("nothing") << u" "_s << u"\t"_s << QString() << QString();
    }

    void placeName()
    {
        QFETCH(QString, locality);
        QFETCH(QString, subLocality);
        QFETCH(QString, name);
        QFETCH(QString, place);
        QCOMPARE(PlaceResolver::placeName({ locality, subLocality, name }),
            place.isEmpty() ? std::nullopt : std::optional(place));
    }

    void cacheKey()
    {
        QCOMPARE(PlaceResolver::cacheKey({ -33.86882, -70.64827 }), u"-33.869,-70.648"_s);
        QCOMPARE(PlaceResolver::cacheKey({ 1.0, -2.0 }), u"1.000,-2.000"_s);
    }

    void replies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("place"); // empty: none

        QTest::newRow("zh-CN point of interest") << 200 << ChengduReply << u"成都市武侯区武侯祠"_s;
        // A village, and a road name far over 12 characters.
        QTest::newRow("jsonv2 documentation")
            << 200 << sample("reverse.jsonv2.docs.json") << u"El Triángulo"_s;
        // City and suburb; the house has no name and its road is too long.
        QTest::newRow("geojson documentation")
            << 200 << sample("reverse.geojson.docs.json") << u"BolognaMarconi"_s;
        QTest::newRow("json captured")
            << 200 << sample("reverse.json.captured-2020.json") << u"Alger Centre"_s;
        QTest::newRow("unable to geocode, status 200")
            << 200 << sample("reverse.error.unable-to-geocode.json") << QString();
        QTest::newRow("error object") << 400 << sample("reverse.error.400-missing-param.json") << QString();
        QTest::newRow("no features") << 200 << sample("photon.reverse.empty.json") << QString();
        QTest::newRow("rate limited") << 429 << ChengduReply << QString();
        QTest::newRow("not JSON") << 200 << "<html>maintenance</html>"_ba << QString();
    }

    void replies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, place);
        m_server->on(u"/reverse"_s, Response::json(status, body));
        ask(Wuhou);
        QTRY_COMPARE(m_places.size(), 1);
        const auto expected = place.isEmpty() ? std::nullopt : std::optional(place);
        QCOMPARE(m_places.first(), expected);
        QCOMPARE(PlaceResolver::cached(u"30.646,104.048"_s), expected);
        QCOMPARE(m_unreachable.size(), status == 200 ? 0 : 1); // an error status is said, no place is not
        QCOMPARE(m_server->count(u"/reverse"_s), 1);
        const FakeHttpServer::Request request = m_server->last(u"/reverse"_s);
        QCOMPARE(request.query.queryItemValue(u"format"_s), u"jsonv2"_s);
        // No more precise than the cache key: a place name needs no more than about 100 m.
        QCOMPARE(request.query.queryItemValue(u"lat"_s), u"30.646"_s);
        QCOMPARE(request.query.queryItemValue(u"lon"_s), u"104.048"_s);
        QCOMPARE(request.query.queryItemValue(u"accept-language"_s), u"zh-CN"_s);
        QVERIFY(request.header("Accept-Language").startsWith("zh-CN"));
    }

    void nearbyCoordinatesShareOneRequest()
    {
        m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
        ask(Wuhou);
        QTRY_COMPARE(m_places.size(), 1);
        // About 30 m away: the same cache entry, no second request.
        ask({ 30.64640, 104.04810 });
        QTRY_COMPARE(m_places.size(), 2);
        QCOMPARE(m_places.at(1), std::optional(u"成都市武侯区武侯祠"_s));
        QCOMPARE(m_server->count(u"/reverse"_s), 1);
        // Asked twice before the first answer came: the second waits its turn and finds the cache filled.
        ask({ 31.0, 104.0 });
        ask({ 31.0001, 104.0001 });
        QTRY_COMPARE(m_places.size(), 4);
        QCOMPARE(m_server->count(u"/reverse"_s), 2);
        // Another cell asks again.
        ask({ 30.656, 104.048 });
        QTRY_COMPARE(m_places.size(), 5);
        QCOMPARE(m_server->count(u"/reverse"_s), 3);
    }

    void failuresAreNotCached()
    {
        m_server->onSequence(u"/reverse"_s,
            { Response::json(200, sample("reverse.error.unable-to-geocode.json")),
                Response::json(200, ChengduReply) });
        ask(Wuhou);
        QTRY_COMPARE(m_places.size(), 1);
        ask(Wuhou);
        QTRY_COMPARE(m_places.size(), 2);
        QCOMPARE(m_places, (QList<std::optional<QString>> { std::nullopt, u"成都市武侯区武侯祠"_s }));
    }

    // A service that cannot be reached is said once, with its host.
    void unreachableIsSaidOnce()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString address = u"http://127.0.0.1:%1"_s.arg(closed.serverPort());
        closed.close();
        ask(Wuhou, address);
        ask({ 31.0, 104.0 }, address);
        QTRY_COMPARE(m_places.size(), 2);
        QCOMPARE(m_unreachable.size(), 1);
        QVERIFY(m_unreachable.first().startsWith(u"反查地名服务 127.0.0.1 不可用"_s));
    }

    void serviceAddress_data()
    {
        QTest::addColumn<QString>("address"); // %1: the fake service's base, without a trailing slash
        QTest::addColumn<QString>("path"); // where the request goes; empty: no request at all

        QTest::newRow("base") << u"%1"_s << u"/reverse"_s;
        QTest::newRow("behind a path prefix") << u"%1/nominatim/"_s << u"/nominatim/reverse"_s;
        QTest::newRow("endpoint given") << u"%1/reverse"_s << u"/reverse"_s;
        QTest::newRow("older endpoint given") << u"%1/reverse.php"_s << u"/reverse.php"_s;
        QTest::newRow("spaces around") << u"  %1 "_s << u"/reverse"_s;
        QTest::newRow("not a web address") << u"ftp://127.0.0.1/"_s << QString();
        QTest::newRow("no address at all") << u"nominatim"_s << QString();
    }

    void serviceAddress()
    {
        QFETCH(QString, address);
        QFETCH(QString, path);

        if (!path.isEmpty())
            m_server->on(path, Response::json(200, ChengduReply));
        QString base = m_server->url().toString();
        if (base.endsWith(u'/'))
            base.chop(1);
        ask(Wuhou, QString(address).replace(u"%1"_s, base));
        QTRY_COMPARE(m_places.size(), 1);
        QCOMPARE(m_places.first().has_value(), !path.isEmpty());
        QCOMPARE(m_server->requests().size(), path.isEmpty() ? 0 : 1);
    }

    void positionsOffTheEarth()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (const GeoCoordinate& coordinate : { GeoCoordinate { 91.0, 10.0 }, GeoCoordinate { 10.0, -180.5 },
                 GeoCoordinate { nan, 10.0 }, GeoCoordinate { 10.0, INFINITY } })
            ask(coordinate);
        QTRY_COMPARE(m_places.size(), 4);
        QCOMPARE(m_places, QList<std::optional<QString>>(4));
        QCOMPARE(m_server->requests().size(), 0);
    }

    void goneContextGetsNoAnswer()
    {
        m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
        ask(Wuhou);
        m_context.emplace();
        // A later request with a live context is still served, so the first one did not block the queue.
        ask({ 10, 10 });
        QTRY_COMPARE(m_places.size(), 1);
        QTest::qWait(50);
        QCOMPARE(m_places, QList<std::optional<QString>> { u"成都市武侯区武侯祠"_s });
    }

    void oneRequestASecond()
    {
        // The clock and the timer are in the test's hands: a request may go out only when the timer the
        // geocoder asked for has been fired, and the delay it asks for is read from the fake clock.
        qint64 now = 0;
        QList<std::pair<qint64, std::function<void()>>> timers;
        PlaceResolver::GeocoderTesting::setClock([&] { return now; });
        PlaceResolver::GeocoderTesting::setTimer([&](qint64 delay, std::function<void()> fire) {
            timers.append({ delay, std::move(fire) });
        });
        m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
        ask({ 1, 1 });
        ask({ 2, 2 });
        ask({ 1.0001, 1.0001 });
        ask({ 3, 3 });
        QCOMPARE(timers.size(), 1);
        QCOMPARE(timers.at(0).first, 0);

        timers.at(0).second();
        QTRY_COMPARE(m_places.size(), 1);
        QCOMPARE(m_server->count(u"/reverse"_s), 1);
        // The next request waits for the rest of the second, however long the event loop runs meanwhile.
        QCOMPARE(timers.size(), 2);
        QCOMPARE(timers.at(1).first, 1000);
        QTest::qWait(50);
        QCOMPARE(m_server->count(u"/reverse"_s), 1);

        now = 400;
        timers.at(1).second();
        // While one request is out, a new call neither sends nor asks for a timer.
        ask({ 4, 4 });
        QCOMPARE(timers.size(), 2);
        QTRY_COMPARE(m_places.size(), 2);
        QCOMPARE(m_server->count(u"/reverse"_s), 2);
        QCOMPARE(timers.size(), 3);
        QCOMPARE(timers.at(2).first, 1000);

        // The third call shares the first one's cache entry: answered without a request, then the fourth
        // goes out at once.
        now = 1400;
        timers.at(2).second();
        // The answer takes half a second: only the other half is left to wait.
        now = 1900;
        QTRY_COMPARE(m_places.size(), 4);
        QCOMPARE(m_server->count(u"/reverse"_s), 3);

        // The call made while a request was out comes last.
        QCOMPARE(timers.size(), 4);
        QCOMPARE(timers.at(3).first, 500);
        now = 2400;
        timers.at(3).second();
        QTRY_COMPARE(m_places.size(), 5);
        QCOMPARE(m_server->count(u"/reverse"_s), 4);

        // After a long pause the next request goes out without waiting.
        now = 10000;
        ask({ 5, 5 });
        QCOMPARE(timers.size(), 5);
        QCOMPARE(timers.at(4).first, 0);
    }
};

QTEST_GUILESS_MAIN(TestReverseGeocoder)
#include "TestReverseGeocoder.moc"
