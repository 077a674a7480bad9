// SPDX-License-Identifier: GPL-3.0-or-later
// Analysis benchmark: 20 clips against a local fake model server that answers after a fixed delay L,
// the run as shipped (the next clip is prepared while the model answers) side by side with the
// strictly one-after-the-other order.
//
//   bench_analysis [--clips N] [--delay-ms L] [--photos N] [--keep DIR]
//
// Targets: with L = 2 s the run takes at most N·L plus one item's preparation plus 5 %; with L = 0
// it is no slower than the sequential order. Exit status 1 when a target is missed.

#include "core/AnalysisRun.h"
#include "core/AppModel.h"
#include "support/FakeHttpServer.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

bool makeClip(const QString& path, int index)
{
    QProcess ffmpeg;
    // 720p H.264 with B-frames and a 2-second key frame distance, as a phone or camera writes it.
    ffmpeg.start(u"ffmpeg"_s,
        { u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
            u"testsrc2=size=1280x720:rate=30"_s, u"-t"_s, u"8"_s, u"-vf"_s, u"hue=h=%1"_s.arg(index * 17),
            u"-c:v"_s, u"libx264"_s, u"-preset"_s, u"veryfast"_s, u"-g"_s, u"60"_s, u"-bf"_s, u"2"_s,
            u"-pix_fmt"_s, u"yuv420p"_s, path });
    return ffmpeg.waitForFinished(-1) && ffmpeg.exitCode() == 0;
}

Response modelReply(int delayMs)
{
    const QJsonObject body { { u"model"_s, u"qwen2.5vl:7b"_s },
        { u"created_at"_s, u"2026-09-18T06:03:12.983619Z"_s },
        { u"response"_s, uR"({"content": "测试画面", "location": ""})"_s }, { u"done"_s, true },
        { u"done_reason"_s, u"stop"_s } };
    Response response = Response::json(200, QJsonDocument(body).toJson(QJsonDocument::Compact));
    response.chunks = { { response.body, delayMs } };
    response.body.clear();
    return response;
}

// catalogue: where the run keeps its results; empty: nowhere.
double run(const QString& folder,
    const QString& settings,
    FakeHttpServer& server,
    bool prepareAhead,
    int* ok,
    const QString& catalogue = {})
{
    AppModel model(settings, AppModel::Storage { QFile::encodeName(catalogue).toStdString(), false });
    model.settings().ollamaEndpoint = server.url().toString();
    model.settings().usePathPlace = false;
    model.settings().mediaTargetRaw = u"both"_s;
    model.setPreparesAhead(prepareAhead);
    importAndWait(model, { std::filesystem::path(QFile::encodeName(folder).toStdString()) });
    QElapsedTimer timer;
    timer.start();
    QObject probe;
    if (qEnvironmentVariableIsSet("BENCH_TRACE")) {
        QObject::connect(&server, &FakeHttpServer::requestReceived, &probe,
            [&] { std::printf("    request at %.3f s\n", timer.nsecsElapsed() / 1e9); });
        QObject::connect(&model, &AppModel::changed, &probe, [&] {
            std::printf(
                "    %.3f s %s\n", timer.nsecsElapsed() / 1e9, qPrintable(model.statusMessage().left(12)));
        });
    }
    // A real event loop, as the program runs one: QTest::qWaitFor sleeps 10 ms between rounds, which
    // would add its own delay to every hand-over between the network thread and this one.
    QEventLoop loop;
    QObject::connect(&model, &AppModel::changed, &loop, [&] {
        if (!model.isBusy())
            loop.quit();
    });
    model.analyzeAll();
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *ok = int(std::count_if(model.items().cbegin(), model.items().cend(),
        [](const VideoItem& item) { return item.status == VideoItem::Status::Analyzed; }));
    return seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    int clips = 20;
    int photos = 0;
    QList<int> delays { 2000, 0 };
    QString keep;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--clips")
            clips = args[i + 1].toInt();
        else if (args[i] == u"--delay-ms")
            delays = { args[i + 1].toInt() };
        else if (args[i] == u"--photos")
            photos = args[i + 1].toInt();
        else if (args[i] == u"--keep")
            keep = args[i + 1];
    }

    QTemporaryDir temp;
    const QString root = keep.isEmpty() ? temp.path() : keep;
    const QString folder = root + u"/clips"_s;
    QDir().mkpath(folder);
    std::printf("preparing %d clips (1280x720 H.264, 8 s)...\n", clips);
    std::fflush(stdout);
    for (int i = 0; i < clips; ++i) {
        const QString path = folder + u"/clip%1.mp4"_s.arg(i, 2, 10, QChar(u'0'));
        if (!QFile::exists(path) && !makeClip(path, i))
            return 2;
    }

    // One item's preparation, measured alone: the budget the overlapped run may add to N·L.
    QElapsedTimer prepTimer;
    prepTimer.start();
    const auto prepared = AnalysisRun::prepare(
        std::filesystem::path(QFile::encodeName(folder + u"/clip00.mp4"_s).toStdString()), MediaKind::Video,
        4);
    const double preparation = prepTimer.nsecsElapsed() / 1e9;
    std::printf("one item's preparation        %7.3f s (%lld frames)\n", preparation,
        static_cast<long long>(prepared.frames.size()));

    bool met = true;
    for (const int delay : delays) {
        FakeHttpServer server;
        if (!server.listen())
            return 2;
        server.on(u"/api/generate"_s, modelReply(delay));
        int okOverlap = 0;
        int okSequential = 0;
        const double sequential = run(folder, root + u"/s.json"_s, server, false, &okSequential);
        const double overlapped = run(folder, root + u"/s.json"_s, server, true, &okOverlap);
        const double L = delay / 1000.0;
        std::printf("L = %.1f s\n", L);
        std::printf(
            "  one after the other         %7.3f s  (%d/%d analysed)\n", sequential, okSequential, clips);
        std::printf(
            "  prepared ahead              %7.3f s  (%d/%d analysed)\n", overlapped, okOverlap, clips);
        std::printf("  ratio ahead/sequential      %7.3f\n", overlapped / sequential);
        if (delay > 0) {
            const double budget = (clips * L + preparation) * 1.05;
            std::printf("  budget N·L + prep + 5%%      %7.3f s  %s\n", budget,
                overlapped <= budget ? "met" : "MISSED");
            met = met && overlapped <= budget;
        } else {
            std::printf(
                "  no slower than sequential   %s\n", overlapped <= sequential * 1.02 ? "met" : "MISSED");
            met = met && overlapped <= sequential * 1.02;
        }
        met = met && okOverlap == clips && okSequential == clips;
    }
    // Photos answered at once, with and without the catalogue writing every result.
    if (photos > 0) {
        const QString album = root + u"/photos"_s;
        QDir().mkpath(album);
        for (int i = 0; i < photos; ++i) {
            const QString path = album + u"/p%1.jpg"_s.arg(i, 5, 10, QChar(u'0'));
            if (!QFile::exists(path) && !MediaFixtures::makeJpeg(path, 320 + i % 97, 240 + i / 97))
                return 2;
        }
        FakeHttpServer server;
        if (!server.listen())
            return 2;
        server.on(u"/api/generate"_s, modelReply(0));
        const QString catalogue = root + u"/catalogue.sqlite"_s;
        // Alternated, best of two each: on a busy machine one run alone says little.
        int okWithout = 0, okWith = 0;
        double without = 1e9, with = 1e9;
        for (int round = 0; round < 2; ++round) {
            for (const QString& suffix : { u""_s, u"-wal"_s, u"-shm"_s })
                QFile::remove(catalogue + suffix);
            without = std::min(without, run(album, root + u"/p.json"_s, server, true, &okWithout));
            with = std::min(with, run(album, root + u"/p.json"_s, server, true, &okWith, catalogue));
        }
        const double bytes = double(QFileInfo(catalogue).size() + QFileInfo(catalogue + u"-wal"_s).size());
        std::printf("%d photos, L = 0\n  without the catalogue       %7.3f s  (%d analysed)\n", photos,
            without, okWithout);
        std::printf("  with it                     %7.3f s  (%d analysed)\n", with, okWith);
        std::printf("  ratio with/without          %7.3f    (target <= 1.03)\n", with / without);
        std::printf("  catalogue                   %7.0f bytes per item (target <= 8192)\n", bytes / photos);
        met = met && with <= without * 1.03 && okWith == photos && bytes / photos <= 8192;
    }
    std::printf("%s\n", met ? "targets met" : "TARGET MISSED");
    return met ? 0 : 1;
}
