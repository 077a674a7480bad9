// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput benchmark: small photos against loopback fake servers that batch (S slots, each request
// answered L after it started, more queued), the way vLLM or llama.cpp's server do. Prints items per
// minute and the ratios against their targets; no timing is asserted.
//
//   bench_throughput [--items N] [--single-items N] [--latency-ms L] [--clips C]
//   bench_throughput --check-nginx-config     (what the tests run: the README's example, checked)
//
// 1. S = 8: concurrency 8 against 1 (target ≥ 7×). Concurrency 1 runs over the first --single-items
//    photos only (its rate does not depend on the count) and is set against the fastest any strictly
//    sequential client can be on the same server: N·L plus one photo's preparation (target within 3 %).
// 2. The same with 20 % 429 (half with Retry-After: 1, half without) and 5 % 503: nothing fails, and
//    at least 85 % of the clean run.
// 3. Two servers behind nginx (Debian's nginx-light) with the README's upstream block, concurrency 16,
//    against one server at 8 (target ≥ 1.8×); then one server killed halfway: every item analysed.
//    Skipped, and said so, when nginx is not installed.
// 4. 1080p clips made here with ffmpeg, L = 50 ms: the run against preparation alone (within 10 %).

#include "core/AnalysisRun.h"
#include "core/AppModel.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"
#include "support/SlotServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Outcome
{
    double perMinute = 0;
    double seconds = 0;
    qsizetype analysed = 0;
    qsizetype failed = 0;
    qsizetype total = 0;
};

std::vector<std::filesystem::path> fsPaths(const QStringList& paths)
{
    std::vector<std::filesystem::path> result;
    for (const QString& path : paths)
        result.emplace_back(QFile::encodeName(path).toStdString());
    return result;
}

qsizetype countAnalysed(const AppModel& model)
{
    return std::count_if(model.items().begin(), model.items().end(),
        [](const VideoItem& item) { return item.status == VideoItem::Status::Analyzed; });
}

// One run of the whole list through the OpenAI-compatible engine; the import is not timed.
Outcome run(const QStringList& inputs,
    const QString& settings,
    const QUrl& base,
    int concurrency,
    const std::function<void(AppModel&)>& during = {})
{
    AppModel model(settings);
    model.settings().engineRaw = u"openai"_s;
    model.settings().openAIBaseURL = base.toString() + u"/v1"_s;
    model.settings().openAIKey.clear();
    model.settings().mediaTargetRaw = u"both"_s;
    model.settings().usePathPlace = false;
    model.settings().setMaxConcurrentRequests(concurrency);
    importAndWait(model, fsPaths(inputs));
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QObject::connect(&model, &AppModel::changed, &loop, [&] {
        if (during)
            during(model);
        if (!model.isBusy())
            loop.quit();
    });
    model.analyzeAll();
    loop.exec();
    Outcome outcome;
    outcome.seconds = timer.nsecsElapsed() / 1e9;
    outcome.total = model.items().size();
    outcome.analysed = countAnalysed(model);
    outcome.failed = std::count_if(model.items().begin(), model.items().end(),
        [](const VideoItem& item) { return item.status == VideoItem::Status::Error; });
    outcome.perMinute = double(outcome.total) / outcome.seconds * 60.0;
    return outcome;
}

void print(const char* what, const Outcome& o)
{
    std::printf("  %-44s %8.1f items/min  %6.1f s  (%lld of %lld analysed, %lld failed)\n", what, o.perMinute,
        o.seconds, qlonglong(o.analysed), qlonglong(o.total), qlonglong(o.failed));
    std::fflush(stdout);
}

void ratio(const char* what, double value, const char* target, bool met)
{
    std::printf("  %-44s %8.2f  (target %s: %s)\n", what, value, target, met ? "met" : "MISSED");
    std::fflush(stdout);
}

QString nginxProgram()
{
    for (const QString& path : { u"/usr/sbin/nginx"_s, u"/usr/local/sbin/nginx"_s })
        if (QFile::exists(path))
            return path;
    return QStandardPaths::findExecutable(u"nginx"_s);
}

// The ```nginx block of the README's section on several GPU servers, with its two back-ends and its
// listening port replaced; empty when the block is missing or no longer has that shape.
QString readmeGateway(quint16 listenPort, quint16 first, quint16 second)
{
    QFile readme(QStringLiteral(VELMORA_SOURCE_DIR "/README.md"));
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype section = text.indexOf(u"## 多台 GPU 服务器"_s);
    static const QRegularExpression block(
        u"```nginx\\n(.*?)```"_s, QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = block.match(text, std::max<qsizetype>(section, 0));
    if (section < 0 || !match.hasMatch())
        return {};
    QString config = match.captured(1);
    static const QRegularExpression server(
        u"^(\\s*server\\s+)\\S+:\\d+"_s, QRegularExpression::MultilineOption);
    static const QRegularExpression listen(u"^(\\s*listen\\s+)\\d+;"_s, QRegularExpression::MultilineOption);
    QList<QRegularExpressionMatch> servers;
    for (auto it = server.globalMatch(config); it.hasNext();)
        servers.append(it.next());
    if (servers.size() != 2 || !config.contains(listen))
        return {};
    // From the back, so that the first match's offsets stay valid.
    const quint16 ports[] = { first, second };
    for (int k = 1; k >= 0; --k) {
        config.replace(servers[k].capturedStart(), servers[k].capturedLength(),
            servers[k].captured(1) + u"127.0.0.1:%1"_s.arg(ports[k]));
    }
    config.replace(listen, u"\\1127.0.0.1:%1;"_s.arg(listenPort));
    return config;
}

// The README's block inside a configuration of its own: nginx as the current user with everything it
// writes under dir. Empty when the README's block cannot be used.
QString gatewayConfig(const QString& dir, quint16 listenPort, quint16 first, quint16 second)
{
    const QString site = readmeGateway(listenPort, first, second);
    if (site.isEmpty())
        return {};
    // Debian builds its temporary folders into the program; each module present wants one it may write.
    QProcess version;
    version.start(nginxProgram(), { u"-V"_s });
    version.waitForFinished();
    QString temps;
    static const QRegularExpression temp(u"--http-([a-z-]+)-temp-path="_s);
    for (auto it = temp.globalMatch(QString::fromUtf8(version.readAllStandardError())); it.hasNext();) {
        const QString kind = it.next().captured(1).replace(u'-', u'_');
        temps += u"    %1_temp_path %2/%1;\n"_s.arg(kind, dir);
    }
    return u"%1pid %2/nginx.pid;\nerror_log %2/error.log;\nworker_processes 1;\n"
           "events { worker_connections 512; }\nhttp {\n    access_log off;\n%3%4}\n"_s.arg(
               ::geteuid() == 0 ? u"user root;\n"_s : QString(), dir, temps, site);
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool writeConfig(const QString& file, const QString& config)
{
    QFile out(file);
    return !config.isEmpty() && out.open(QIODevice::WriteOnly) && out.write(config.toUtf8()) > 0;
}

// nginx in the foreground, up once its port answers.
bool startNginx(QProcess& nginx, const QString& dir, quint16 port, const SlotServer& a, const SlotServer& b)
{
    QDir().mkpath(dir);
    const QString file = dir + u"/nginx.conf"_s;
    if (!writeConfig(file, gatewayConfig(dir, port, a.url().port(), b.url().port()))) {
        std::printf("the README's nginx example cannot be used (see --check-nginx-config)\n");
        return false;
    }
    nginx.start(nginxProgram(),
        { u"-p"_s, dir, u"-e"_s, dir + u"/error.log"_s, u"-c"_s, file, u"-g"_s, u"daemon off;"_s });
    if (!nginx.waitForStarted())
        return false;
    for (int k = 0; k < 50 && nginx.state() == QProcess::Running; ++k) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(100))
            return true;
        QThread::msleep(100);
    }
    std::printf("nginx did not start: %s\n", nginx.readAllStandardError().constData());
    return false;
}

// The README's example as the benchmark uses it, checked by nginx itself when it is installed.
int checkNginxConfig()
{
    QTemporaryDir dir;
    const QString config = gatewayConfig(dir.path(), 8080, 8001, 8002);
    if (!writeConfig(dir.filePath(u"nginx.conf"_s), config)) {
        std::printf("README: no nginx block with two upstream servers and a listen port in its "
                    "section on several GPU servers\n");
        return 1;
    }
    if (nginxProgram().isEmpty()) {
        std::printf("nginx is not installed: the README's block has its shape, its syntax is not checked\n");
        return 0;
    }
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::MergedChannels);
    nginx.start(nginxProgram(),
        { u"-t"_s, u"-p"_s, dir.path(), u"-e"_s, dir.filePath(u"error.log"_s), u"-c"_s,
            dir.filePath(u"nginx.conf"_s) });
    const bool ok = nginx.waitForFinished(30'000) && nginx.exitCode() == 0;
    std::printf("%s%s", nginx.readAll().constData(), qPrintable(config));
    return ok ? 0 : 1;
}

void nginxScenarios(
    const QString& photos, const QString& settings, const QString& dir, int latency, const Outcome& oneServer)
{
    if (nginxProgram().isEmpty()) {
        std::printf("nginx is not installed (Debian: nginx-light): two servers behind nginx skipped\n");
        return;
    }
    SlotServer a(8, latency);
    SlotServer b(8, latency);
    a.listen();
    b.listen();
    QProcess nginx;
    const quint16 port = freePort();
    if (!startNginx(nginx, dir, port, a, b))
        return;
    const QUrl gateway(u"http://127.0.0.1:%1"_s.arg(port));
    std::printf("two servers (8 slots each) behind nginx least_conn, the README's upstream block\n");
    const Outcome both = run({ photos }, settings, gateway, 16);
    print("concurrency 16", both);
    const double gain = both.perMinute / oneServer.perMinute;
    ratio("against one server at concurrency 8", gain, ">= 1.8", gain >= 1.8);
    bool killed = false;
    const Outcome survived = run({ photos }, settings, gateway, 16, [&](AppModel& m) {
        if (!killed && countAnalysed(m) >= m.items().size() / 2) {
            killed = true;
            b.kill();
        }
    });
    print("one server killed halfway", survived);
    std::printf("  every item analysed: %s\n", survived.analysed == survived.total ? "yes" : "NO");
    nginx.terminate();
    nginx.waitForFinished(5000);
}

void preparationScenario(const QString& dir, const QString& settings, int clips)
{
    QDir().mkpath(dir);
    QStringList paths;
    for (int k = 0; k < clips + 1; ++k) {
        paths.append(dir + u"/v%1.mp4"_s.arg(k));
        MediaFixtures::makeVideo(paths.last(), u"testsrc2=size=1920x1080:rate=30"_s,
            { u"-t"_s, u"6"_s, u"-vf"_s, u"hue=h=%1"_s.arg(k * 17), u"-c:v"_s, u"libx264"_s, u"-preset"_s,
                u"veryfast"_s, u"-g"_s, u"60"_s, u"-bf"_s, u"2"_s, u"-pix_fmt"_s, u"yuv420p"_s });
    }
    // The first clip only starts the decoder workers, which the run has started by then too.
    AnalysisRun::prepare(fsPaths({ paths.takeFirst() }).front(), MediaKind::Video, 4);
    QFile::remove(dir + u"/v0.mp4"_s);
    // As many at once as the run's decoding pool takes; before the run and after it, since the run's
    // own rate lies between the two on a machine that is doing other things too.
    const auto prepareAll = [&paths] {
        QThreadPool pool;
        pool.setMaxThreadCount(2);
        QElapsedTimer timer;
        timer.start();
        QtConcurrent::blockingMap(&pool, paths, [](const QString& path) {
            AnalysisRun::prepare(fsPaths({ path }).front(), MediaKind::Video, 4);
        });
        return double(paths.size()) / (timer.nsecsElapsed() / 6e10);
    };
    std::printf("%d 1080p clips (6 s, H.264), L = 50 ms: preparation is the limit\n", clips);
    const double before = prepareAll();
    SlotServer fast(8, 50);
    fast.listen();
    const Outcome videoRun = run({ dir }, settings, fast.url(), 8);
    const double after = prepareAll();
    const double prepareOnly = (before + after) / 2;
    std::printf("  %-44s %8.1f items/min  (%.1f before the run, %.1f after)\n",
        "preparation alone, two at a time", prepareOnly, before, after);
    print("run, concurrency 8", videoRun);
    const double share = videoRun.perMinute / prepareOnly;
    ratio("run against preparation alone", share, "0.90 to 1.10", share >= 0.9 && share <= 1.1);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int items = 200;
    int singleItems = 50;
    int latency = 1000;
    int clips = 12;
    const QStringList args = app.arguments();
    if (args.contains(u"--check-nginx-config"_s))
        return checkNginxConfig();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--items")
            items = args[i + 1].toInt();
        else if (args[i] == u"--single-items")
            singleItems = args[i + 1].toInt();
        else if (args[i] == u"--latency-ms")
            latency = args[i + 1].toInt();
        else if (args[i] == u"--clips")
            clips = args[i + 1].toInt();
    }
    singleItems = std::clamp(singleItems, 1, items);
    QElapsedTimer whole;
    whole.start();
    QTemporaryDir temp;
    const QString photos = temp.filePath(u"photos"_s);
    QDir().mkpath(photos);
    QStringList firstPhotos;
    for (int k = 0; k < items; ++k) {
        const QString path = photos + u"/p%1.jpg"_s.arg(k, 4, 10, QChar(u'0'));
        MediaFixtures::makeJpeg(path, 320, 240);
        if (k < singleItems)
            firstPhotos.append(path);
    }
    // One photo's preparation, as the run does it (after a first one that starts the decoder workers).
    AnalysisRun::prepare(fsPaths(firstPhotos.mid(0, 1)).front(), MediaKind::Photo, 4);
    QElapsedTimer timer;
    timer.start();
    for (const QString& path : firstPhotos)
        AnalysisRun::prepare(fsPaths({ path }).front(), MediaKind::Photo, 4);
    const double prepareMs = timer.nsecsElapsed() / 1e6 / double(firstPhotos.size());
    const QString settings = temp.filePath(u"settings.json"_s);
    std::printf("%d photos 320x240 (preparation %.1f ms each), servers with 8 slots, L = %d ms\n", items,
        prepareMs, latency);

    SlotServer one(8, latency);
    one.listen();
    const Outcome single = run(firstPhotos, settings, one.url(), 1);
    print(qPrintable(u"concurrency 1 (first %1 photos)"_s.arg(singleItems)), single);
    // No sequential client, the code before several requests in flight included, beats N·L plus the
    // first item's preparation.
    const double floorSeconds = singleItems * latency / 1000.0 + prepareMs / 1000.0;
    const double overFloor = single.seconds / floorSeconds;
    std::printf("  %-44s %8.1f s, strictly one after the other %.1f s\n", "fastest sequential client",
        floorSeconds, singleItems * (latency + prepareMs) / 1000.0);
    ratio("concurrency 1 against it", overFloor, "<= 1.03", overFloor <= 1.03);
    const Outcome eight = run({ photos }, settings, one.url(), 8);
    print("concurrency 8", eight);
    const double gain = eight.perMinute / single.perMinute;
    ratio("concurrency 8 against 1", gain, ">= 7", gain >= 7);

    SlotServer faulty(8, latency);
    faulty.listen();
    faulty.setFaults({ 0.20, 0.5, "1", 0.05 });
    const Outcome pushed = run({ photos }, settings, faulty.url(), 8);
    print("concurrency 8, 20 % 429 and 5 % 503", pushed);
    const double kept = pushed.perMinute / eight.perMinute;
    std::printf(
        "  refusals %lld, items failed %lld\n", qlonglong(faulty.refused()), qlonglong(pushed.failed));
    ratio("against the clean run", kept, ">= 0.85", kept >= 0.85 && pushed.failed == 0);

    nginxScenarios(photos, settings, temp.filePath(u"nginx"_s), latency, eight);
    preparationScenario(temp.filePath(u"videos"_s), settings, clips);
    std::printf("whole benchmark: %.0f s\n", whole.nsecsElapsed() / 1e9);
    return 0;
}
