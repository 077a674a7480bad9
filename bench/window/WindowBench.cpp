// SPDX-License-Identifier: GPL-3.0-or-later
// Window benchmark: the real `velmora` under Xvfb, measured by its probe (VELMORA_PROBE), side by side
// with what a user would otherwise have.
//
//   bench_window [--photos N] [--analysed N] [--runs N]
//
//   start-up        exec to the main window shown and painted, against a bare QMainWindow with a
//                   toolbar and a label (target: at most 2x); and with a saved list of N analysed
//                   photos restored, exec to every row listed and painted (target: at most 1.5 s)
//   import          N photos given on the command line listed and painted, against
//                   `velmora-cli import` of the same folder (target: at most 1.5x + 2 s); the longest
//                   stall of the event loop meanwhile; peak resident memory (target: under 400 MB)
//   analysis        resident memory growth per analysed 3-megapixel photo between 500 and the end, in
//                   the window and in `velmora-cli analyze` (target: at most 50 KB), and the longest
//                   stall of the window's event loop during the run (target: at most 50 ms)
//   close           the window closed while a request is in flight: time to the end of the process
//                   (target: at most 2 s)
//
// Each measurement has a catalogue of its own (XDG_DATA_HOME): a shared one would bring back the list
// and the analyses of the one before. Exit status 1 when a target is missed.

#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "support/FakeHttpServer.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

qint64 residentKb(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// One child process whose standard error is read line by line while the event loop runs (the fake
// model server lives on it).
struct Run
{
    double seconds = 0; // spawn to exit
    std::map<QByteArray, qint64> probe; // "probe <what> <value>"
    std::map<QByteArray, double> at; // seconds from spawn to the first line starting with a key
    bool ok = false;
};

Run run(const QString& program,
    const QStringList& arguments,
    const QProcessEnvironment& environment,
    const std::function<void(const QByteArray& line, qint64 pid, double seconds, Run& run)>& onLine = {},
    int timeoutSeconds = 1800)
{
    Run result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    QByteArray pending;
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        pending += process.readAllStandardError();
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const double seconds = clock.nsecsElapsed() / 1e9;
            if (line.startsWith("probe ")) {
                const QList<QByteArray> parts = line.split(' ');
                result.probe[parts.value(1)] = parts.value(2).toLongLong();
                result.at.emplace(parts.value(1), seconds);
            }
            if (onLine)
                onLine(line, process.processId(), seconds, result);
        }
    });
    clock.start();
    process.start(program, arguments);
    if (!process.waitForStarted())
        return result;
    while (process.state() != QProcess::NotRunning && clock.elapsed() < timeoutSeconds * 1000LL) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        process.waitForFinished(1);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    QCoreApplication::processEvents();
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.ok = process.exitStatus() == QProcess::NormalExit;
    return result;
}

// A private X server for the window, so the benchmark runs the same on a desktop and in CI.
class Xvfb
{
public:
    bool start()
    {
        for (int display = 140; display < 200; ++display) {
            if (QFile::exists(u"/tmp/.X11-unix/X%1"_s.arg(display))
                || QFile::exists(u"/tmp/.X%1-lock"_s.arg(display)))
                continue;
            m_process.start(u"Xvfb"_s,
                { u":%1"_s.arg(display), u"-screen"_s, u"0"_s, u"1280x800x24"_s, u"-nolisten"_s, u"tcp"_s });
            if (!m_process.waitForStarted())
                return false;
            for (int i = 0; i < 100 && !QFile::exists(u"/tmp/.X11-unix/X%1"_s.arg(display)); ++i)
                QThread::msleep(20);
            m_display = u":%1"_s.arg(display);
            return QFile::exists(u"/tmp/.X11-unix/X%1"_s.arg(display));
        }
        return false;
    }
    ~Xvfb()
    {
        m_process.terminate();
        m_process.waitForFinished(3000);
    }
    QString display() const
    {
        return m_display;
    }

private:
    QProcess m_process;
    QString m_display;
};

// A private session bus, as every desktop session has. Without one, the first D-Bus user in a program
// (Qt's accessibility bridge, as soon as a list view exists) launches a bus of its own, which costs
// tens of milliseconds that no user ever pays.
class SessionBus
{
public:
    bool start()
    {
        m_process.start(u"dbus-daemon"_s, { u"--session"_s, u"--nofork"_s, u"--print-address=1"_s });
        if (!m_process.waitForStarted() || !m_process.waitForReadyRead(5000))
            return false;
        m_address = QString::fromUtf8(m_process.readLine().trimmed());
        return !m_address.isEmpty();
    }
    ~SessionBus()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    QString address() const
    {
        return m_address;
    }

private:
    QProcess m_process;
    QString m_address;
};

// count copies of the JPEG at source, in folders of 100 as a camera writes them. Hard links when
// possible: the bench measures reading, not the disk.
bool fan(const QString& source, const QString& dir, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString folder = dir + u"/%1CANON"_s.arg(100 + i / 100);
        if (i % 100 == 0 && !QDir().mkpath(folder))
            return false;
        const QString target = folder + u"/IMG_%1.JPG"_s.arg(i, 5, 10, QChar(u'0'));
        if (::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) != 0
            && !QFile::copy(source, target))
            return false;
    }
    return true;
}

bool writeSettings(const QString& configHome, const QUrl& server)
{
    QDir().mkpath(configHome + u"/velmora"_s);
    QFile file(configHome + u"/velmora/velmora.json"_s);
    const QJsonObject settings { { u"mediaTarget"_s, u"photos"_s }, { u"engine"_s, u"ollama"_s },
        { u"ollamaEndpoint"_s, server.toString() }, { u"autoCheckUpdate"_s, false },
        { u"usePathPlace"_s, true } };
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(settings).toJson()) > 0;
}

Response generateReply(int delayMs)
{
    const QJsonObject body { { u"model"_s, u"qwen2.5vl:7b"_s },
        { u"response"_s, uR"({"content": "湖边散步", "location": "西湖"})"_s }, { u"done"_s, true } };
    Response response = Response::json(200, QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (delayMs > 0) {
        response.chunks = { { response.body, delayMs } };
        response.body.clear();
    }
    return response;
}

// A catalogue at dataHome whose saved list holds every photo under dir as analysed, with a thumbnail
// of the size analysis makes, as the window leaves it after a run.
bool seedSession(const QString& settings, const QString& dataHome, const QString& dir)
{
    const QString picture = dataHome + u"-thumbnail.jpg"_s;
    QFile source(picture);
    if (!MediaFixtures::makeVideo(picture, u"testsrc=size=%1x%2"_s.arg(VideoItem::ThumbnailEdge).arg(144),
            { u"-frames:v"_s, u"1"_s })
        || !source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray thumbnail = source.readAll();
    const QString catalogue = dataHome + u"/velmora/catalogue.sqlite"_s;
    AppModel model(settings, AppModel::Storage { QFile::encodeName(catalogue).toStdString(), true });
    if (!importAndWait(model, { std::filesystem::path(QFile::encodeName(dir).toStdString()) }))
        return false;
    const Catalogue::AnalysisKey key = CatalogueLink::keyOf(model.settings());
    for (const VideoItem& item : QList<VideoItem>(model.items())) {
        model.mutateItem(item.id, [&](VideoItem& it) {
            it.status = VideoItem::Status::Analyzed;
            it.analysisText = uR"({"content": "湖边散步", "location": "西湖"})"_s;
            it.thumbnail = thumbnail;
            it.analysedWith = VideoItem::AnalysisStamp { key.engine, key.model, key.frameCount,
                key.promptVersion, 900, QDateTime::currentDateTimeUtc() };
        });
    }
    QElapsedTimer identities; // read in the background; an item is stored once its identity is known
    identities.start();
    while (identities.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return model.catalogue()->flush(std::chrono::minutes(5));
}

void verdict(bool& allMet, bool met, const char* what)
{
    std::printf("  %-58s %s\n", what, met ? "met" : "MISSED");
    allMet &= met;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int photos = 10'000, analysed = 2'000, runs = 7;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--photos")
            photos = args[i + 1].toInt();
        else if (args[i] == u"--analysed")
            analysed = args[i + 1].toInt();
        else if (args[i] == u"--runs")
            runs = args[i + 1].toInt();
    }

    Xvfb xvfb;
    if (!xvfb.start()) {
        std::fprintf(stderr, "bench_window: Xvfb is needed (Debian package xvfb)\n");
        return 2;
    }
    FakeHttpServer server;
    if (!server.listen())
        return 2;
    server.on(u"/api/tags"_s,
        Response::json(200,
            R"({"models":[{"name":"qwen2.5vl:7b","size":6000000000,"modified_at":"2026-01-01T00:00:00Z"}]})"));
    server.on(u"/api/generate"_s, generateReply(0));

    QTemporaryDir scratch;
    const QString home = scratch.filePath(u"home"_s);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto withData = [&](const QProcessEnvironment& base, const QString& name) {
        QProcessEnvironment changed = base;
        changed.insert(u"XDG_DATA_HOME"_s, scratch.filePath(u"data/"_s + name));
        return changed;
    };
    environment.insert(u"DISPLAY"_s, xvfb.display());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);
    environment.insert(u"XDG_CACHE_HOME"_s, home + u"/.cache"_s);
    environment.insert(u"XDG_STATE_HOME"_s, home + u"/.local/state"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, scratch.path());
    SessionBus bus;
    if (bus.start())
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    else // no bus at all rather than one launched by the program under test
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"disabled:"_s);
    environment.insert(u"PATH"_s, u"/usr/bin:/bin"_s); // no local model server to find
    if (!writeSettings(home + u"/.config"_s, server.url()))
        return 2;

    // Start-up, alternating so that both see the same machine.
    std::vector<double> velmora, bare;
    for (int r = 0; r < runs; ++r) {
        QProcessEnvironment probe = withData(environment, u"empty"_s);
        probe.insert(u"VELMORA_PROBE"_s, u"startup"_s);
        const Run a = run(QStringLiteral(VELMORA_PATH), {}, probe);
        const Run b = run(QStringLiteral(BARE_WINDOW_PATH), {}, environment);
        if (a.at.contains("painted"))
            velmora.push_back(a.at.at("painted"));
        if (b.at.contains("painted"))
            bare.push_back(b.at.at("painted"));
    }
    const double startRatio = median(velmora) / std::max(1e-9, median(bare));

    // Import of many photos given on the command line.
    const QString small = scratch.filePath(u"small.jpg"_s);
    const QString large = scratch.filePath(u"large.jpg"_s);
    const QString date = u"Exif.Photo.DateTimeOriginal 2026:09:18 14:03:12"_s;
    if (!MediaFixtures::makeVideo(small, u"testsrc=size=320x240"_s, { u"-frames:v"_s, u"1"_s })
        || !MediaFixtures::setExif(small, { date })
        || !MediaFixtures::makeVideo(
            large, u"testsrc2=size=2048x1536"_s, { u"-frames:v"_s, u"1"_s, u"-q:v"_s, u"3"_s })
        || !MediaFixtures::setExif(large, { date }))
        return 2;
    const QString many = scratch.filePath(u"西湖/many"_s);
    const QString analyse = scratch.filePath(u"西湖/analyse"_s);
    if (!fan(small, many, photos) || !fan(large, analyse, analysed))
        return 2;

    std::vector<double> windowImport, cliImport;
    qint64 importGap = 0, importHwm = 0;
    for (int r = 0; r < std::max(1, runs / 2); ++r) {
        QProcessEnvironment probe = withData(environment, u"import%1"_s.arg(r));
        probe.insert(u"VELMORA_PROBE"_s, u"import"_s);
        const Run a = run(QStringLiteral(VELMORA_PATH), { many }, probe);
        const Run b = run(QStringLiteral(CLI_PATH), { u"--target"_s, u"photos"_s, u"import"_s, many },
            withData(environment, u"cli-import%1"_s.arg(r)));
        if (a.at.contains("imported") && a.probe.at("imported") == photos) {
            windowImport.push_back(a.at.at("imported"));
            importGap = std::max(importGap, a.probe.at("maxgap_ms"));
            importHwm = std::max(importHwm, a.probe.at("hwm_kb"));
        }
        if (b.ok)
            cliImport.push_back(b.seconds);
    }
    const double windowSeconds = median(windowImport), cliSeconds = median(cliImport);

    // Start-up with the photos just listed saved as analysed.
    const QString seeded = scratch.filePath(u"data/seeded"_s);
    QElapsedTimer seeding;
    seeding.start();
    const bool seededOk = seedSession(home + u"/.config/velmora/velmora.json"_s, seeded, many);
    const double seedSeconds = seeding.nsecsElapsed() / 1e9;
    std::vector<double> restoredStart;
    qint64 restoredRows = -1, restoredAnalysed = -1;
    for (int r = 0; seededOk && r < runs; ++r) {
        QProcessEnvironment probe = withData(environment, u"seeded"_s);
        probe.insert(u"VELMORA_PROBE"_s, u"startup"_s);
        const Run a = run(QStringLiteral(VELMORA_PATH), {}, probe);
        if (a.at.contains("painted") && a.probe.at("listed") == photos)
            restoredStart.push_back(a.at.at("painted"));
        restoredRows = a.probe.count("listed") ? a.probe.at("listed") : -1;
        restoredAnalysed = a.probe.count("analysed") ? a.probe.at("analysed") : -1;
    }

    // Memory per analysed photo, in the window and on the command line.
    QProcessEnvironment probe = withData(environment, u"analyze"_s);
    probe.insert(u"VELMORA_PROBE"_s, u"analyze"_s);
    const Run windowRun = run(QStringLiteral(VELMORA_PATH), { analyse }, probe);
    const bool windowDone = windowRun.probe.contains("rss500_kb") && windowRun.probe.contains("rss_end_kb");
    const double windowPerItem = windowDone
        ? double(windowRun.probe.at("rss_end_kb") - windowRun.probe.at("rss500_kb")) / double(analysed - 500)
        : -1;
    qint64 cliAt500 = -1, cliAtEnd = -1;
    const QByteArray progress500 = (u"分析中 501/"_s).toUtf8();
    const QByteArray finished = (u"分析完成"_s).toUtf8();
    run(QStringLiteral(CLI_PATH), { u"--target"_s, u"photos"_s, u"analyze"_s, analyse },
        withData(environment, u"cli-analyze"_s), [&](const QByteArray& line, qint64 pid, double, Run&) {
            if (line.startsWith(progress500))
                cliAt500 = residentKb(pid);
            if (line.startsWith(finished))
                cliAtEnd = residentKb(pid);
        });
    const double cliPerItem
        = cliAt500 > 0 && cliAtEnd > 0 ? double(cliAtEnd - cliAt500) / double(analysed - 500) : -1;

    // Closing the window while the model is answering.
    server.on(u"/api/generate"_s, generateReply(3000));
    QProcessEnvironment closing = withData(environment, u"close"_s);
    closing.insert(u"VELMORA_PROBE"_s, u"close"_s);
    const Run closeRun = run(QStringLiteral(VELMORA_PATH), { analyse }, closing);
    const double closeSeconds
        = closeRun.at.contains("closing") ? closeRun.seconds - closeRun.at.at("closing") : -1;

    std::printf("window benchmark (Xvfb %s, %d photos listed, %d analysed)\n", qPrintable(xvfb.display()),
        photos, analysed);
    std::printf("  start-up: velmora %.3f s, bare QMainWindow %.3f s, ratio %.2f\n", median(velmora),
        median(bare), startRatio);
    std::printf("  start-up with a saved list of %d analysed photos: %.3f s to %lld rows listed"
                " (%lld analysed; seeding took %.1f s)\n",
        photos, median(restoredStart), static_cast<long long>(restoredRows),
        static_cast<long long>(restoredAnalysed), seedSeconds);
    std::printf("  import of %d photos: window %.2f s, velmora-cli import %.2f s, ratio %.2f"
                " (allowed %.2f s), longest stall %lld ms, peak memory %.0f MB\n",
        photos, windowSeconds, cliSeconds, windowSeconds / std::max(1e-9, cliSeconds), 1.5 * cliSeconds + 2,
        static_cast<long long>(importGap), importHwm / 1024.0);
    std::printf("  analysis: memory per analysed photo %.1f KB in the window, %.1f KB in velmora-cli analyze;"
                " longest stall %lld ms\n",
        windowPerItem, cliPerItem,
        static_cast<long long>(windowRun.probe.count("maxgap_ms") ? windowRun.probe.at("maxgap_ms") : -1));
    std::printf("  close during a request: process ended %.2f s after the window closed\n", closeSeconds);

    bool allMet = true;
    std::printf("targets\n");
    verdict(allMet, !velmora.empty() && startRatio <= 2.0, "start-up at most 2x a bare window");
    verdict(allMet, !restoredStart.empty() && median(restoredStart) <= 1.5,
        "every restored row shown within 1.5 s of exec");
    verdict(allMet, !windowImport.empty() && windowSeconds <= 1.5 * cliSeconds + 2.0,
        "listing at most 1.5x velmora-cli import + 2 s");
    verdict(allMet, importHwm > 0 && importHwm < 400 * 1024, "under 400 MB resident with the list");
    verdict(allMet, windowDone && windowPerItem <= 50.0, "at most 50 KB per analysed photo (window)");
    verdict(allMet, cliPerItem >= 0 && cliPerItem <= 50.0, "at most 50 KB per analysed photo (velmora-cli)");
    verdict(allMet, windowRun.probe.count("maxgap_ms") && windowRun.probe.at("maxgap_ms") <= 50,
        "event loop never stalls over 50 ms during a run");
    verdict(allMet, closeSeconds >= 0 && closeSeconds <= 2.0, "closing during a run ends within 2 s");
    return allMet ? 0 : 1;
}
