// SPDX-License-Identifier: GPL-3.0-or-later
// Reverse geocoding through a Nominatim-compatible service.
//
// How a reply becomes a place (the service answers one place; later ones do not exist):
//   locality     address.city, else town, village, municipality, county
//   subLocality  address.city_district, else district, borough, suburb, quarter, neighbourhood
//   name         the top-level "name"; else the address part named by "addresstype" (the object's own
//                name for a point of interest); else address.road
// The first non-empty text wins in each row. A reply with a top-level "error" member is a failure,
// whatever its HTTP status: Nominatim answers "Unable to geocode" with 200.

#include "common/AppSettings.h"
#include "common/Text.h"
#include "naming/PlaceResolver.h"
#include "net/Http.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <cmath>
#include <deque>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// The usage policy of OpenStreetMap's public instance: one request a second for the whole application.
constexpr qint64 RequestSpacingMs = 1000;
constexpr int IdleTimeoutSeconds = 15;
constexpr qint64 MaxReplyBytes = 1024 * 1024;
constexpr int MaxPartLength = 12;

QMutex s_cacheLock;
QHash<QString, QString> s_cache;
// Main thread only.
std::function<void(const QString&)> s_unreachableHandler;
bool s_unreachableSaid = false;

void store(const QString& key, const QString& place)
{
    const QMutexLocker locker(&s_cacheLock);
    s_cache.insert(key, place);
}

QString firstText(const QJsonObject& object, std::initializer_list<QString> keys)
{
    for (const QString& key : keys) {
        const QString text = object.value(key).toString();
        if (!Text::trimSpacesAndTabs(text).isEmpty())
            return text;
    }
    return {};
}

std::optional<QUrl> serviceBase(const QString& serviceURL)
{
    const QString text = serviceURL.trimmed();
    const QUrl url(text.isEmpty() ? AppSettings::DefaultGeocoderURL : text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QUrl reverseUrl(const QUrl& base, const GeoCoordinate& coordinate)
{
    // An address that already names the endpoint is taken as it is.
    QUrl url = base;
    if (!base.path().endsWith(u"/reverse") && !base.path().endsWith(u"/reverse.php"))
        url = Net::appendPath(base, u"reverse"_s);
    QUrlQuery query;
    query.addQueryItem(u"format"_s, u"jsonv2"_s);
    query.addQueryItem(u"lat"_s, QString::number(coordinate.latitude, 'f', 3));
    query.addQueryItem(u"lon"_s, QString::number(coordinate.longitude, 'f', 3));
    query.addQueryItem(u"accept-language"_s, u"zh-CN"_s);
    query.addQueryItem(u"zoom"_s, u"18"_s);
    query.addQueryItem(u"addressdetails"_s, u"1"_s);
    url.setQuery(query);
    return url;
}

// Sends the requests of the whole process one at a time and at least RequestSpacingMs apart, and hands
// each answer to its caller. Lives on the main thread, owned by the application object.
class Geocoder : public QObject
{
public:
    struct Pending
    {
        QString key;
        GeoCoordinate coordinate;
        QUrl base;
        QPointer<QObject> context;
        PlaceResolver::PlaceCallback done;
    };

    static Geocoder& instance()
    {
        static QPointer<Geocoder> geocoder;
        if (!geocoder)
            geocoder = new Geocoder(QCoreApplication::instance());
        return *geocoder;
    }

    void enqueue(Pending pending)
    {
        m_queue.push_back(std::move(pending));
        schedule();
    }

    void setClock(std::function<qint64()> clock)
    {
        m_clock = clock ? std::move(clock) : defaultClock();
    }

    void setTimer(std::function<void(qint64, std::function<void()>)> timer)
    {
        m_timer = timer ? std::move(timer) : defaultTimer();
    }

    // Drops everything queued or in flight without an answer.
    void reset()
    {
        ++m_generation;
        m_queue.clear();
        m_inFlight = false;
        m_pumpScheduled = false;
        m_lastStart.reset();
        m_clock = defaultClock();
        m_timer = defaultTimer();
    }

private:
    explicit Geocoder(QObject* parent)
        : QObject(parent)
        , m_clock(defaultClock())
        , m_timer(defaultTimer())
    {
        m_monotonic.start();
    }

    std::function<qint64()> defaultClock()
    {
        return [this] { return m_monotonic.elapsed(); };
    }

    std::function<void(qint64, std::function<void()>)> defaultTimer()
    {
        return [this](qint64 delayMs, std::function<void()> fire) {
            QTimer::singleShot(std::chrono::milliseconds(delayMs), this, std::move(fire));
        };
    }

    void schedule()
    {
        if (m_inFlight || m_pumpScheduled || m_queue.empty())
            return;
        const qint64 delay
            = m_lastStart ? std::max<qint64>(0, *m_lastStart + RequestSpacingMs - m_clock()) : 0;
        m_pumpScheduled = true;
        m_timer(delay, [this, generation = m_generation] {
            if (generation != m_generation)
                return;
            m_pumpScheduled = false;
            pump();
        });
    }

    // Answers from the cache whatever an earlier request has meanwhile found, then sends the next one.
    void pump()
    {
        while (!m_queue.empty()) {
            Pending pending = std::move(m_queue.front());
            m_queue.pop_front();
            if (!pending.context)
                continue;
            if (const auto place = PlaceResolver::cached(pending.key)) {
                pending.done(place);
                continue;
            }
            send(std::move(pending));
            return;
        }
    }

    void send(Pending pending)
    {
        m_inFlight = true;
        m_lastStart = m_clock();
        Net::Options options;
        options.idleTimeoutSeconds = IdleTimeoutSeconds;
        options.maxBodyBytes = MaxReplyBytes;
        options.serviceName = u"反查服务"_s;
        QNetworkRequest request(reverseUrl(pending.base, pending.coordinate));
        request.setRawHeader("Accept", "application/json");
        request.setRawHeader("Accept-Language", "zh-CN,zh;q=0.9");
        Net::get(request, options, this,
            [this, pending = std::move(pending), generation = m_generation](const Net::Reply& reply) {
                if (generation != m_generation)
                    return;
                m_inFlight = false;
                if ((!reply.isFinished() || !reply.isSuccessStatus())
                    && !std::exchange(s_unreachableSaid, true) && s_unreachableHandler) {
                    const QString why
                        = reply.isFinished() ? u"HTTP "_s + QString::number(reply.status) : reply.errorText;
                    s_unreachableHandler(u"反查地名服务 "_s + pending.base.host() + u" 不可用（"_s + why
                        + u"），本次的地名不含 GPS 反查结果"_s);
                }
                std::optional<QString> place;
                if (reply.isFinished() && reply.isSuccessStatus()) {
                    if (const auto placemark = PlaceResolver::placemarkFromReply(reply.body))
                        place = PlaceResolver::placeName(*placemark);
                }
                if (place)
                    store(pending.key, *place);
                if (pending.context)
                    pending.done(place);
                schedule();
            });
    }

    QElapsedTimer m_monotonic;
    std::function<qint64()> m_clock;
    std::function<void(qint64, std::function<void()>)> m_timer;
    std::deque<Pending> m_queue;
    bool m_inFlight = false;
    bool m_pumpScheduled = false;
    std::optional<qint64> m_lastStart;
    quint64 m_generation = 0;
};

// Answers on the event loop, never from inside the call that asked.
void answerLater(QObject* context, PlaceResolver::PlaceCallback done, std::optional<QString> place)
{
    QMetaObject::invokeMethod(
        context, [done = std::move(done), place = std::move(place)] { done(place); }, Qt::QueuedConnection);
}

} // namespace

namespace PlaceResolver {

QString cacheKey(const GeoCoordinate& coordinate)
{
    return QString::asprintf("%.3f,%.3f", coordinate.latitude, coordinate.longitude);
}

std::optional<QString> cached(const QString& key)
{
    const QMutexLocker locker(&s_cacheLock);
    const auto it = s_cache.constFind(key);
    if (it == s_cache.constEnd())
        return std::nullopt;
    return *it;
}

std::optional<Placemark> placemarkFromReply(const QByteArray& body)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    QJsonObject place = document.object();
    if (place.contains(u"error"_s))
        return std::nullopt;
    if (place.contains(u"features"_s)) {
        const QJsonArray features = place.value(u"features"_s).toArray();
        if (features.isEmpty())
            return std::nullopt;
        place = features.first().toObject().value(u"properties"_s).toObject();
    }
    const QJsonObject address = place.value(u"address"_s).toObject();
    Placemark placemark;
    placemark.locality
        = firstText(address, { u"city"_s, u"town"_s, u"village"_s, u"municipality"_s, u"county"_s });
    placemark.subLocality = firstText(address,
        { u"city_district"_s, u"district"_s, u"borough"_s, u"suburb"_s, u"quarter"_s, u"neighbourhood"_s });
    placemark.name = place.value(u"name"_s).toString();
    if (Text::trimSpacesAndTabs(placemark.name).isEmpty()) {
        const QString addressType = place.value(u"addresstype"_s).toString();
        placemark.name = firstText(address, { addressType.isEmpty() ? u"road"_s : addressType, u"road"_s });
    }
    return placemark;
}

std::optional<QString> placeName(const Placemark& placemark)
{
    QStringList parts;
    for (const QString& text : { placemark.locality, placemark.subLocality, placemark.name }) {
        const QString part = Text::trimSpacesAndTabs(text);
        if (!part.isEmpty() && !parts.contains(part) && Text::graphemeCount(part) <= MaxPartLength)
            parts.append(part);
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(QString());
}

void reverseGeocode(
    const GeoCoordinate& coordinate, const QString& serviceURL, QObject* context, PlaceCallback done)
{
    if (!context || !done)
        return;
    // The pacing and the network live on the main thread; a call from elsewhere is handed over.
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [coordinate, serviceURL, context = QPointer<QObject>(context), done = std::move(done)] {
                if (context)
                    reverseGeocode(coordinate, serviceURL, context, done);
            },
            Qt::QueuedConnection);
        return;
    }
    // Nothing to ask about a position that is not on the Earth.
    if (!std::isfinite(coordinate.latitude) || !std::isfinite(coordinate.longitude)
        || std::abs(coordinate.latitude) > 90 || std::abs(coordinate.longitude) > 180) {
        answerLater(context, std::move(done), std::nullopt);
        return;
    }
    const QString key = cacheKey(coordinate);
    if (const auto place = cached(key)) {
        answerLater(context, std::move(done), place);
        return;
    }
    const auto base = serviceBase(serviceURL);
    if (!base) {
        answerLater(context, std::move(done), std::nullopt);
        return;
    }
    Geocoder::instance().enqueue({ key, coordinate, *base, context, std::move(done) });
}

void setUnreachableHandler(std::function<void(const QString& message)> handler)
{
    s_unreachableHandler = std::move(handler);
}

namespace GeocoderTesting {

void setClock(std::function<qint64()> clock)
{
    Geocoder::instance().setClock(std::move(clock));
}

void setTimer(std::function<void(qint64 delayMs, std::function<void()> fire)> timer)
{
    Geocoder::instance().setTimer(std::move(timer));
}

void reset()
{
    Geocoder::instance().reset();
    s_unreachableSaid = false;
    const QMutexLocker locker(&s_cacheLock);
    s_cache.clear();
}

} // namespace GeocoderTesting

} // namespace PlaceResolver
