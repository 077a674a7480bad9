// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <functional>
#include <optional>

// Looks on the product's download page for a newer version, at most once a day. Stateless: what it
// remembers lives in the settings store. Runs on the main thread; it never shows anything itself:
// the window asks the user (Update::Messages has the texts) once it is on screen, and reports the
// answer with applyChoice().
namespace UpdateChecker {

inline const QString AutoCheckKey = QStringLiteral("autoCheckUpdate");
inline const QString LastCheckAtKey = QStringLiteral("updateLastCheckAt");
inline const QString SkippedVersionKey = QStringLiteral("updateSkippedVersion");

// https://<host>/ondrel/index.html, with the host set at build time (APP_DOWNLOAD_HOST); empty
// when the build sets none, and then no check ever makes a request.
QUrl downloadPageURL();
// The running version: the project version, "0" when there is none.
QString currentVersion();

// Group 1 of every case-insensitive match of pattern in text.
QStringList allMatches(const QString& pattern, const QString& text);
// "1.10.2" → 1, 10, 2. Pieces that are not decimal integers are dropped.
QList<qint64> numericParts(const QString& version);
// 1 when a is newer than b, -1 when older, 0 when equal (missing parts count as 0: 1.2 == 1.2.0).
int compare(const QString& a, const QString& b);
// The newest version named on the page (disk-image file names, then the app-latest-version meta
// tag); nothing when it names none.
std::optional<QString> parseLatestVersion(const QString& page);

// Whether an unforced check is due: the setting is not off and the last successful check is at least
// 24 hours old (or lies in the future: the clock was wrong then). Values as read from the store.
bool isDue(const QVariant& autoCheckUpdate, const QVariant& lastCheckAt, double now);
// Whether the user is to be told about latest: newer than current and not the skipped version.
bool shouldAnnounce(const QString& latest, const QString& current, const QVariant& skippedVersion);

// What a check and the settings store depend on; tests replace them.
struct Environment
{
    QString storePath; // empty: SettingsStore::defaultPath()
    QUrl pageURL = downloadPageURL();
    QString currentVersion = UpdateChecker::currentVersion();
    std::function<double()> now; // seconds since 1970; empty: the system clock
    int timeoutSeconds = 10;
};

struct CheckResult
{
    enum class Outcome
    {
        NotDue, // switched off, checked less than a day ago, or no download page in this build
        NoVersion, // the page could not be fetched or names no version; the next start tries again
        NotNewer,
        Skipped, // the user chose to skip exactly this version
        Announce, // tell the user about latest
    };
    Outcome outcome = Outcome::NotDue;
    QString latest;
};

// Fetches the page afresh (no cache) and parses it; nothing on any failure or a status other than 200.
void fetchLatestVersion(
    const QUrl& page, int timeoutSeconds, QObject* context, std::function<void(std::optional<QString>)> done);

// The whole check; force skips the setting and the 24-hour wait (never the skipped version). done is
// called once, later, on the main thread, while context lives.
void check(
    bool force, const Environment& environment, QObject* context, std::function<void(CheckResult)> done);

// check(), calling announce only when there is something to announce.
void checkAndNotify(bool force,
    const Environment& environment,
    QObject* context,
    std::function<void(const QString& latest)> announce);

enum class Choice
{
    Download, // open downloadPageURL() in the browser (the window does that)
    Skip, // never announce this version again
    Later, // nothing
};

// Records the user's answer to the alert; false when the store could not be written.
bool applyChoice(Choice choice, const QString& latest, const QString& storePath = QString());

} // namespace UpdateChecker
