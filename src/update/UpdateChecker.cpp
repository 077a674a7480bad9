// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/UpdateChecker.h"

#include "common/SettingsStore.h"
#include "net/Http.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace {

constexpr double SecondsPerDay = 86400;
constexpr qint64 MaxPageBytes = 8 * 1024 * 1024;

const QString DiskImagePattern = uR"(Velmora_([0-9]+(?:\.[0-9]+)*)\.dmg)"_s;
const QString MetaTagPattern
    = uR"(<meta[^>]+name\s*=\s*["']app-latest-version["'][^>]*content\s*=\s*["']([^"']+)["'])"_s;

std::optional<double> number(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toDouble();
    default:
        return std::nullopt;
    }
}

QString storePath(const QString& path)
{
    return path.isEmpty() ? SettingsStore::defaultPath() : path;
}

double systemNow()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

template <typename F> void later(QObject* context, F function)
{
    QMetaObject::invokeMethod(context, std::move(function), Qt::QueuedConnection);
}

} // namespace

namespace UpdateChecker {

QUrl downloadPageURL()
{
    const QString host = QStringLiteral(APP_DOWNLOAD_HOST).trimmed();
    if (host.isEmpty())
        return {};
    QUrl url;
    url.setScheme(u"https"_s);
    url.setHost(host, QUrl::StrictMode);
    url.setPath(u"/ondrel/index.html"_s);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

QString currentVersion()
{
    const QString version = QStringLiteral(APP_VERSION).trimmed();
    return version.isEmpty() ? u"0"_s : version;
}

QStringList allMatches(const QString& pattern, const QString& text)
{
    const QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption);
    QStringList groups;
    for (const QRegularExpressionMatch& match : expression.globalMatch(text))
        groups.append(match.captured(1));
    return groups;
}

QList<qint64> numericParts(const QString& version)
{
    static const QRegularExpression decimal(u"^[+-]?[0-9]+$"_s);
    QList<qint64> parts;
    for (const QString& piece : version.split(u'.', Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint64 value = piece.toLongLong(&ok, 10);
        if (ok && decimal.match(piece).hasMatch())
            parts.append(value);
    }
    return parts;
}

int compare(const QString& a, const QString& b)
{
    const QList<qint64> left = numericParts(a);
    const QList<qint64> right = numericParts(b);
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const qint64 x = left.value(i, 0);
        const qint64 y = right.value(i, 0);
        if (x != y)
            return x > y ? 1 : -1;
    }
    return 0;
}

std::optional<QString> parseLatestVersion(const QString& page)
{
    QStringList candidates = allMatches(DiskImagePattern, page);
    if (const QStringList tags = allMatches(MetaTagPattern, page); !tags.isEmpty())
        candidates.append(tags.first());
    // Shown to the user and stored: only plain version numbers, never markup or anything longer.
    static const QRegularExpression plainVersion(u"^[0-9]+(\\.[0-9]+){0,3}$"_s);
    candidates.removeIf([](const QString& candidate) { return !plainVersion.match(candidate).hasMatch(); });
    if (candidates.isEmpty())
        return std::nullopt;
    QString best = candidates.first();
    for (const QString& candidate : candidates) {
        if (compare(candidate, best) > 0)
            best = candidate;
    }
    return best;
}

bool isDue(const QVariant& autoCheckUpdate, const QVariant& lastCheckAt, double now)
{
    if (autoCheckUpdate.typeId() == QMetaType::Bool && !autoCheckUpdate.toBool())
        return false;
    const std::optional<double> last = number(lastCheckAt);
    if (!last)
        return true;
    const double elapsed = now - *last;
    return elapsed >= SecondsPerDay || elapsed < 0;
}

bool shouldAnnounce(const QString& latest, const QString& current, const QVariant& skippedVersion)
{
    if (compare(latest, current) != 1)
        return false;
    return !(skippedVersion.typeId() == QMetaType::QString && skippedVersion.toString() == latest);
}

void fetchLatestVersion(
    const QUrl& page, int timeoutSeconds, QObject* context, std::function<void(std::optional<QString>)> done)
{
    if (page.isEmpty()) {
        later(context, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    Net::Options options;
    options.idleTimeoutSeconds = timeoutSeconds;
    options.maxBodyBytes = MaxPageBytes;
    options.bypassCaches = true;
    // The page carries nothing private, and download pages do move to other hosts.
    options.crossOriginRedirects = true;
    Net::get(QNetworkRequest(page), options, context, [done = std::move(done)](const Net::Reply& reply) {
        // The status comes first: an error page may well list file names too.
        if (!reply.isFinished() || reply.status != 200) {
            done(std::nullopt);
            return;
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(reply.body);
        done(decoder.hasError() ? std::nullopt : parseLatestVersion(text));
    });
}

void check(
    bool force, const Environment& environment, QObject* context, std::function<void(CheckResult)> done)
{
    using Outcome = CheckResult::Outcome;
    const QString path = storePath(environment.storePath);
    const double now = environment.now ? environment.now() : systemNow();
    if (environment.pageURL.isEmpty()) {
        later(context, [done] { done({ Outcome::NotDue, {} }); });
        return;
    }
    if (!force) {
        const auto store = SettingsStore::open(path);
        if (!isDue(store->value(AutoCheckKey), store->value(LastCheckAtKey), now)) {
            later(context, [done] { done({ Outcome::NotDue, {} }); });
            return;
        }
    }
    const QString current = environment.currentVersion;
    fetchLatestVersion(environment.pageURL, environment.timeoutSeconds, context,
        [path, now, current, done](const std::optional<QString>& latest) {
            if (!latest) {
                done({ Outcome::NoVersion, {} });
                return;
            }
            const auto store = SettingsStore::open(path);
            store->setValue(LastCheckAtKey, now);
            SettingsStore::sync(*store);
            if (compare(*latest, current) != 1)
                done({ Outcome::NotNewer, *latest });
            else if (!shouldAnnounce(*latest, current, store->value(SkippedVersionKey)))
                done({ Outcome::Skipped, *latest });
            else
                done({ Outcome::Announce, *latest });
        });
}

void checkAndNotify(bool force,
    const Environment& environment,
    QObject* context,
    std::function<void(const QString& latest)> announce)
{
    check(force, environment, context, [announce = std::move(announce)](const CheckResult& result) {
        if (result.outcome == CheckResult::Outcome::Announce)
            announce(result.latest);
    });
}

bool applyChoice(Choice choice, const QString& latest, const QString& path)
{
    if (choice != Choice::Skip)
        return true;
    const auto store = SettingsStore::open(storePath(path));
    store->setValue(SkippedVersionKey, latest);
    return SettingsStore::sync(*store);
}

} // namespace UpdateChecker
