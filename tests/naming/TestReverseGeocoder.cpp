// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/PlaceResolver.h"
#include "support/FakeHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

// A reply in the jsonv2 shape as the service gives it for zh-CN; no such capture has been published.
// (Built in code: moc cannot read a raw string literal that spans lines.)
QByteArray chengduReply()
{
    const QJsonObject address { { u"tourism"_s, u"武侯祠"_s }, { u"road"_s, u"武侯祠大街"_s },
        { u"city_district"_s, u"武侯区"_s }, { u"city"_s, u"成都市"_s }, { u"state"_s, u"四川省"_s },
        { u"ISO3166-2-lvl4"_s, u"CN-SC"_s }, { u"postcode"_s, u"610041"_s }, { u"country"_s, u"中国"_s },
        { u"country_code"_s, u"cn"_s } };
    const QJsonObject reply {
        { u"place_id"_s, 215066118 },
        { u"licence"_s, u"Data © OpenStreetMap contributors, ODbL 1.0. https://osm.org/copyright"_s },
        { u"osm_type"_s, u"way"_s },
        { u"osm_id"_s, 4339540 },
        { u"lat"_s, u"30.6461563"_s },
        { u"lon"_s, u"104.0479616"_s },
        { u"place_rank"_s, 30 },
        { u"category"_s, u"tourism"_s },
        { u"type"_s, u"attraction"_s },
        { u"importance"_s, 0.35 },
        { u"addresstype"_s, u"tourism"_s },
        { u"name"_s, u"武侯祠"_s },
        { u"display_name"_s, u"武侯祠, 武侯祠大街, 武侯区, 成都市, 四川省, 610041, 中国"_s },
        { u"address"_s, address },
        { u"boundingbox"_s, QJsonArray { u"30.6444"_s, u"30.6479"_s, u"104.0463"_s, u"104.0497"_s } },
    };
    return QJsonDocument(reply).toJson();
}

const QByteArray ChengduReply = chengduReply();

const GeoCoordinate Wuhou { 30.64616, 104.04796 };

QByteArray sample(const char* name)
{
    return FakeHttpServer::sample(u"naming/peers/nominatim/"_s + QString::fromLatin1(name));
}

// Collects the answers of reverseGeocode calls.
struct Answers
{
    QList<std::optional<QString>> places;

    PlaceResolver::PlaceCallback callback()
    {
        return [this](const std::optional<QString>& place) { places.append(place); };
    }
};

} // namespace

class TestReverseGeocoder : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void placeName_data();
    void placeName();
    void cacheKey_data();
    void cacheKey();
    void replies_data();
    void replies();
    void nearbyCoordinatesShareOneRequest();
    void failuresAreNotCached();
    void serviceAddress_data();
    void serviceAddress();
    void positionsOffTheEarth();
    void goneContextGetsNoAnswer();
    void oneRequestASecond();

private:
    std::optional<FakeHttpServer> m_server;
};

void TestReverseGeocoder::init()
{
    PlaceResolver::GeocoderTesting::reset();
    // The one-second spacing has its own test; elsewhere each wait ends at once.
    PlaceResolver::GeocoderTesting::setTimer(
        [](qint64, std::function<void()> fire) { QTimer::singleShot(0, std::move(fire)); });
    m_server.emplace();
    QVERIFY(m_server->listen());
}

void TestReverseGeocoder::cleanup()
{
    PlaceResolver::GeocoderTesting::reset();
    m_server.reset();
}

void TestReverseGeocoder::placeName_data()
{
    QTest::addColumn<QString>("locality");
    QTest::addColumn<QString>("subLocality");
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<QString>>("place");

    QTest::newRow("city, district and landmark")
        << u"成都市"_s << u"武侯区"_s << u"武侯祠"_s << std::optional(u"成都市武侯区武侯祠"_s);
    QTest::newRow("name of 13 characters left out")
        << u"成都市"_s << u"武侯区"_s << u"一二三四五六七八九十一二三"_s << std::optional(u"成都市武侯区"_s);
    QTest::newRow("name of 12 characters kept")
        << u""_s << u""_s << u"一二三四五六七八九十一二"_s << std::optional(u"一二三四五六七八九十一二"_s);
    QTest::newRow("12 letters with accents") << u""_s << u""_s
                                             << u"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"
                                                "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"_s
                                             << std::optional(u"e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"
                                                              "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"_s);
    QTest::newRow("name equal to the locality")
        << u"成都市"_s << u"武侯区"_s << u"成都市"_s << std::optional(u"成都市武侯区"_s);
    QTest::newRow("equal after trimming")
        << u" 成都市\t"_s << u"成都市"_s << u""_s << std::optional(u"成都市"_s);
    QTest::newRow("inner space stays")
        << u"Alger Centre"_s << u""_s << u""_s << std::optional(u"Alger Centre"_s);
    QTest::newRow("nothing") << u" "_s << u"\t"_s << u""_s << std::optional<QString>();
}

void TestReverseGeocoder::placeName()
{
    QFETCH(QString, locality);
    QFETCH(QString, subLocality);
    QFETCH(QString, name);
    QFETCH(std::optional<QString>, place);
    QCOMPARE(PlaceResolver::placeName({ locality, subLocality, name }), place);
}

void TestReverseGeocoder::cacheKey_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<QString>("key");

    QTest::newRow("three decimals") << 30.64616 << 104.04796 << u"30.646,104.048"_s;
    QTest::newRow("south and west") << -33.86882 << -70.64827 << u"-33.869,-70.648"_s;
    QTest::newRow("whole degrees") << 1.0 << -2.0 << u"1.000,-2.000"_s;
}

void TestReverseGeocoder::cacheKey()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(QString, key);
    QCOMPARE(PlaceResolver::cacheKey({ latitude, longitude }), key);
}

void TestReverseGeocoder::replies_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<std::optional<QString>>("place");

    const auto none = std::optional<QString>();
    QTest::newRow("zh-CN point of interest") << 200 << ChengduReply << std::optional(u"成都市武侯区武侯祠"_s);
    // A village, and a road name far over 12 characters.
    QTest::newRow("jsonv2 documentation")
        << 200 << sample("reverse.jsonv2.docs.json") << std::optional(u"El Triángulo"_s);
    // City and suburb; the house has no name and its road is too long.
    QTest::newRow("geojson documentation")
        << 200 << sample("reverse.geojson.docs.json") << std::optional(u"BolognaMarconi"_s);
    QTest::newRow("json captured") << 200 << sample("reverse.json.captured-2020.json")
                                   << std::optional(u"Alger Centre"_s);
    QTest::newRow("unable to geocode, status 200")
        << 200 << sample("reverse.error.unable-to-geocode.json") << none;
    QTest::newRow("bad parameter") << 400 << sample("reverse.error.400-missing-param.json") << none;
    QTest::newRow("no features") << 200 << sample("photon.reverse.empty.json") << none;
    QTest::newRow("server error") << 500 << "<html>Internal Server Error</html>"_ba << none;
    QTest::newRow("rate limited") << 429 << ChengduReply << none;
    QTest::newRow("not JSON") << 200 << "<html>maintenance</html>"_ba << none;
    QTest::newRow("null name, nothing else") << 200 << "{\"name\": null, \"address\": {}}"_ba << none;
}

void TestReverseGeocoder::replies()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(std::optional<QString>, place);

    m_server->on(u"/reverse"_s, Response::json(status, body));
    QObject context;
    Answers answers;
    PlaceResolver::reverseGeocode(Wuhou, m_server->url().toString(), &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 1);
    QCOMPARE(answers.places.first(), place);
    QCOMPARE(PlaceResolver::cached(u"30.646,104.048"_s), place);

    QCOMPARE(m_server->count(u"/reverse"_s), 1);
    const FakeHttpServer::Request request = m_server->last(u"/reverse"_s);
    QCOMPARE(request.query.queryItemValue(u"format"_s), u"jsonv2"_s);
    QCOMPARE(request.query.queryItemValue(u"lat"_s).toDouble(), Wuhou.latitude);
    QCOMPARE(request.query.queryItemValue(u"lon"_s).toDouble(), Wuhou.longitude);
    QCOMPARE(request.query.queryItemValue(u"accept-language"_s), u"zh-CN"_s);
    QVERIFY(request.header("Accept-Language").startsWith("zh-CN"));
    QVERIFY(request.header("User-Agent").startsWith("Velmora/" APP_VERSION));
}

void TestReverseGeocoder::nearbyCoordinatesShareOneRequest()
{
    m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
    QObject context;
    Answers answers;
    const QString url = m_server->url().toString();
    PlaceResolver::reverseGeocode(Wuhou, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 1);
    // About 30 m away: the same cache entry, no second request.
    PlaceResolver::reverseGeocode({ 30.64640, 104.04810 }, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 2);
    QCOMPARE(answers.places.at(1), std::optional(u"成都市武侯区武侯祠"_s));
    QCOMPARE(m_server->count(u"/reverse"_s), 1);
    // Asked twice before the first answer came: the second waits its turn and finds the cache filled.
    PlaceResolver::reverseGeocode({ 31.0, 104.0 }, url, &context, answers.callback());
    PlaceResolver::reverseGeocode({ 31.0001, 104.0001 }, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 4);
    QCOMPARE(m_server->count(u"/reverse"_s), 2);
    // Another cell asks again.
    PlaceResolver::reverseGeocode({ 30.656, 104.048 }, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 5);
    QCOMPARE(m_server->count(u"/reverse"_s), 3);
}

void TestReverseGeocoder::failuresAreNotCached()
{
    m_server->onSequence(u"/reverse"_s,
        { Response::json(200, sample("reverse.error.unable-to-geocode.json")),
            Response::json(200, ChengduReply) });
    QObject context;
    Answers answers;
    const QString url = m_server->url().toString();
    PlaceResolver::reverseGeocode(Wuhou, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 1);
    QCOMPARE(answers.places.at(0), std::nullopt);
    PlaceResolver::reverseGeocode(Wuhou, url, &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 2);
    QCOMPARE(answers.places.at(1), std::optional(u"成都市武侯区武侯祠"_s));
    QCOMPARE(m_server->count(u"/reverse"_s), 2);
}

void TestReverseGeocoder::serviceAddress_data()
{
    QTest::addColumn<QString>("address"); // %1: the fake service's base, without a trailing slash
    QTest::addColumn<QString>("path"); // where the request goes; empty: no request at all

    QTest::newRow("base") << u"%1"_s << u"/reverse"_s;
    QTest::newRow("base with slash") << u"%1/"_s << u"/reverse"_s;
    QTest::newRow("behind a path prefix") << u"%1/nominatim/"_s << u"/nominatim/reverse"_s;
    QTest::newRow("endpoint given") << u"%1/reverse"_s << u"/reverse"_s;
    QTest::newRow("older endpoint given") << u"%1/reverse.php"_s << u"/reverse.php"_s;
    QTest::newRow("spaces around") << u"  %1 "_s << u"/reverse"_s;
    QTest::newRow("not a web address") << u"ftp://127.0.0.1/"_s << QString();
    QTest::newRow("no address at all") << u"nominatim"_s << QString();
}

void TestReverseGeocoder::serviceAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, path);

    if (!path.isEmpty())
        m_server->on(path, Response::json(200, ChengduReply));
    QObject context;
    Answers answers;
    QString base = m_server->url().toString();
    if (base.endsWith(u'/'))
        base.chop(1);
    PlaceResolver::reverseGeocode(
        Wuhou, QString(address).replace(u"%1"_s, base), &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 1);
    QCOMPARE(answers.places.first().has_value(), !path.isEmpty());
    QCOMPARE(m_server->requests().size(), path.isEmpty() ? 0 : 1);
}

void TestReverseGeocoder::positionsOffTheEarth()
{
    m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
    QObject context;
    Answers answers;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const GeoCoordinate& coordinate : { GeoCoordinate { 91.0, 10.0 }, GeoCoordinate { 10.0, -180.5 },
             GeoCoordinate { nan, 10.0 }, GeoCoordinate { 10.0, INFINITY } })
        PlaceResolver::reverseGeocode(coordinate, m_server->url().toString(), &context, answers.callback());
    QTRY_COMPARE(answers.places.size(), 4);
    for (const auto& place : answers.places)
        QCOMPARE(place, std::nullopt);
    QCOMPARE(m_server->requests().size(), 0);
}

void TestReverseGeocoder::goneContextGetsNoAnswer()
{
    m_server->on(u"/reverse"_s, Response::json(200, ChengduReply));
    Answers answers;
    auto context = std::make_unique<QObject>();
    PlaceResolver::reverseGeocode(Wuhou, m_server->url().toString(), context.get(), answers.callback());
    context.reset();
    // A later request with a live context is still served, so the first one did not block the queue.
    QObject live;
    bool answered = false;
    PlaceResolver::reverseGeocode({ 10, 10 }, m_server->url().toString(), &live,
        [&](const std::optional<QString>&) { answered = true; });
    QTRY_VERIFY(answered);
    QCOMPARE(answers.places.size(), 0);
}

void TestReverseGeocoder::oneRequestASecond()
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
    const QString url = m_server->url().toString();
    QObject context;
    Answers answers;

    PlaceResolver::reverseGeocode({ 1, 1 }, url, &context, answers.callback());
    PlaceResolver::reverseGeocode({ 2, 2 }, url, &context, answers.callback());
    PlaceResolver::reverseGeocode({ 1.0001, 1.0001 }, url, &context, answers.callback());
    PlaceResolver::reverseGeocode({ 3, 3 }, url, &context, answers.callback());
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.at(0).first, 0);

    timers.at(0).second();
    QTRY_COMPARE(answers.places.size(), 1);
    QCOMPARE(m_server->count(u"/reverse"_s), 1);
    // The next request waits for the rest of the second, however long the event loop runs meanwhile.
    QCOMPARE(timers.size(), 2);
    QCOMPARE(timers.at(1).first, 1000);
    QTest::qWait(50);
    QCOMPARE(m_server->count(u"/reverse"_s), 1);

    now = 400;
    timers.at(1).second();
    // While one request is out, a new call neither sends nor asks for a timer.
    PlaceResolver::reverseGeocode({ 4, 4 }, url, &context, answers.callback());
    QCOMPARE(timers.size(), 2);
    QTRY_COMPARE(answers.places.size(), 2);
    QCOMPARE(m_server->count(u"/reverse"_s), 2);
    QCOMPARE(timers.size(), 3);
    QCOMPARE(timers.at(2).first, 1000);

    // The third call shares the first one's cache entry: answered without a request, then the fourth
    // goes out at once.
    now = 1400;
    timers.at(2).second();
    // The answer takes half a second: only the other half is left to wait.
    now = 1900;
    QTRY_COMPARE(answers.places.size(), 4);
    QCOMPARE(m_server->count(u"/reverse"_s), 3);

    // The call made while a request was out comes last.
    QCOMPARE(timers.size(), 4);
    QCOMPARE(timers.at(3).first, 500);
    now = 2400;
    timers.at(3).second();
    QTRY_COMPARE(answers.places.size(), 5);
    QCOMPARE(m_server->count(u"/reverse"_s), 4);

    // After a long pause the next request goes out without waiting.
    now = 10000;
    PlaceResolver::reverseGeocode({ 5, 5 }, url, &context, answers.callback());
    QCOMPARE(timers.size(), 5);
    QCOMPARE(timers.at(4).first, 0);
}

QTEST_GUILESS_MAIN(TestReverseGeocoder)
#include "TestReverseGeocoder.moc"
