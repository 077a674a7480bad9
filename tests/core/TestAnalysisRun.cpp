// SPDX-License-Identifier: GPL-3.0-or-later
// Analysis runs end to end: real clips and photos made here, a fake local model server and a fake
// OpenAI-compatible service on loopback answering as the real ones do.

#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Companions.h"
#include "naming/NameBuilder.h"
#include "support/FakeHttpServer.h"
#include "support/ImportWait.h"
#include "support/MediaFixtures.h"
#include "support/SlotServer.h"
#include "vision/PromptBuilder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;
using Response = FakeHttpServer::Response;
using MediaFixtures::fsPath;

Q_DECLARE_METATYPE(Response)

namespace {

// /api/generate with "stream": false, as the server sends it.
Response generateReply(const QString& text, int delayMs = 0)
{
    const QJsonObject body { { u"model"_s, u"qwen2.5vl:7b"_s },
        { u"created_at"_s, u"2026-09-18T06:03:12.983619Z"_s }, { u"response"_s, text }, { u"done"_s, true },
        { u"done_reason"_s, u"stop"_s }, { u"total_duration"_s, 1075509083 }, { u"eval_count"_s, 16 } };
    Response response = Response::json(200, QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (delayMs > 0) {
        response.chunks = { { response.body, delayMs } };
        response.body.clear();
    }
    return response;
}

Response chatReply(const QString& content)
{
    const QJsonObject message { { u"role"_s, u"assistant"_s }, { u"content"_s, content },
        { u"refusal"_s, QJsonValue::Null } };
    const QJsonObject choice { { u"index"_s, 0 }, { u"message"_s, message },
        { u"finish_reason"_s, u"stop"_s } };
    const QJsonObject body { { u"id"_s, u"chatcmpl-1"_s }, { u"object"_s, u"chat.completion"_s },
        { u"created"_s, 1741570283 }, { u"model"_s, u"qwen-vl-max"_s },
        { u"choices"_s, QJsonArray { choice } } };
    return Response::json(200, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

const QString TeaHouse = uR"({"content": "喝茶聊天", "location": "茶馆"})"_s;

} // namespace

class TestAnalysisRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    FakeHttpServer* m_server = nullptr;
    std::unique_ptr<AppModel> m_model;
    QStringList m_messages; // every status line the user saw, in order, after the import's

    // Media in a folder six unnamed levels deep, so no folder place interferes unless a test wants one.
    QString media(const QString& name) const
    {
        return m_dir.filePath(u"m/1/2/3/4/5/6/"_s + name);
    }

    // A short clip (.mp4, .MOV), a photo (.jpg, .JPG), or junk for "broken" names and the rest.
    void make(const QString& name)
    {
        const QString path = media(name);
        if (name.startsWith(u"broken") || name.endsWith(u".AAE"))
            QVERIFY(MediaFixtures::place(path, "this is no media file\n"));
        else if (!QFile::exists(path) && name.endsWith(u".jpg", Qt::CaseInsensitive))
            QVERIFY(MediaFixtures::makeJpeg(path, 320, 240));
        else if (!QFile::exists(path))
            QVERIFY(MediaFixtures::makeClip(path, 0.6));
    }

    AppModel& model(const QStringList& names, const QString& engine = u"ollama"_s)
    {
        m_model = std::make_unique<AppModel>(m_dir.filePath(u"settings.json"_s));
        AppSettings& s = m_model->settings();
        s.engineRaw = engine;
        s.ollamaEndpoint = m_server->url().toString();
        s.openAIBaseURL = m_server->url(u"/v1"_s).toString();
        s.openAIKey = u"sk-test"_s;
        s.mediaTargetRaw = u"both"_s;
        s.usePathPlace = false;
        s.frameCount = 3;
        std::vector<fs::path> paths;
        for (const QString& name : names)
            paths.push_back(fsPath(media(name)));
        if (!importAndWait(*m_model, paths))
            qFatal("the import did not finish");
        QCoreApplication::processEvents();
        m_messages = { m_model->statusMessage() };
        connect(m_model.get(), &AppModel::changed, this, [this] {
            if (m_messages.isEmpty() || m_messages.last() != m_model->statusMessage())
                m_messages.append(m_model->statusMessage());
        });
        return *m_model;
    }

    // All items, or only these ones again.
    bool runToEnd(AppModel& m, const QList<QUuid>& ids = {})
    {
        ids.isEmpty() ? m.analyzeAll() : m.analyzeItems(ids);
        return QTest::qWaitFor([&] { return !m.isBusy(); }, 60'000);
    }

private slots:
    void initTestCase()
    {
        if (!MediaFixtures::hasTool(u"ffmpeg"_s))
            QSKIP("ffmpeg makes the test media");
        QDir().mkpath(media(QString()));
        for (const QString& name : { u"a.mp4"_s, u"b.mp4"_s, u"c.jpg"_s, u"broken.mp4"_s, u"broken.jpg"_s })
            make(name);
    }

    void init()
    {
        m_server = new FakeHttpServer(this);
        QVERIFY(m_server->listen());
    }

    void cleanup()
    {
        m_model.reset();
        delete m_server;
    }

    // A renamed item is passed over, a second start while busy does nothing, and a failed second run
    // keeps what the first one found.
    void localServerRun()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse));
        AppModel& m = model({ u"a.mp4"_s, u"b.mp4"_s, u"c.jpg"_s });
        m.mutateItem(m.items().at(1).id, [](VideoItem& item) { item.status = VideoItem::Status::Renamed; });
        m.analyzeAll();
        QVERIFY(m.isBusy());
        QVERIFY(runToEnd(m)); // starts nothing while busy

        QCOMPARE(m.items().at(1).status, VideoItem::Status::Renamed);
        for (const int i : { 0, 2 }) {
            const VideoItem& item = m.items().at(i);
            QCOMPARE(item.status, VideoItem::Status::Analyzed);
            QCOMPARE(item.content, u"喝茶聊天"_s);
            QCOMPARE(item.location, u"茶馆"_s);
            QCOMPARE(item.analysisText, TeaHouse);
            QCOMPARE(item.proposedName, NameBuilder::build(item, m.settings()));
            QVERIFY(item.montage.has_value());
        }
        // The pictures wait on disk; the item keeps their count and a thumbnail.
        QCOMPARE(m.items().at(0).frameCount, 3);
        QCOMPARE(m.items().at(2).frameCount, 1);
        QVERIFY(m.items().at(0).frames.isEmpty() && m.items().at(0).montage->jpeg.isEmpty());
        QVERIFY(!m.items().at(0).thumbnail.isEmpty());
        const AppModel::Pictures pictures = m.pictures(m.items().at(0).id);
        QCOMPARE(pictures.frames.size(), 3);

        // One image per request: the montage, described by the prompt.
        QCOMPARE(m_server->count(u"/api/generate"_s), 2);
        const QJsonObject video = m_server->requests().at(0).json();
        const Montage& montage = *m.items().at(0).montage;
        QCOMPARE(video.value(u"prompt"_s).toString(),
            PromptBuilder::build(montage.columns, montage.rows, MediaKind::Video));
        QCOMPARE(video.value(u"images"_s).toArray().size(), 1);
        QCOMPARE(video.value(u"images"_s).toArray().at(0).toString().toLatin1(), pictures.montage.toBase64());
        QCOMPARE(video.value(u"model"_s).toString(), u"qwen2.5vl:7b"_s);
        const QJsonObject photo = m_server->requests().at(1).json();
        QCOMPARE(photo.value(u"prompt"_s).toString(), PromptBuilder::build(1, 1, MediaKind::Photo));

        QCOMPARE(m_messages.at(1), u"分析中 1/3：a.mp4"_s);
        QVERIFY(m_messages.at(2).startsWith(u"分析中 3/3：c.jpg\u3000·\u3000平均 "_s));
        QVERIFY(m_messages.last().startsWith(u"分析完成：成功 2/3 个，用时 "_s));
        QVERIFY(m_messages.last().contains(u"，平均 "_s));

        const VideoItem before = m.items().at(0);
        m_server->on(u"/api/generate"_s, Response::json(500, R"({"error":"busy"})"));
        // Analysed with the current settings: asked again only on request.
        QVERIFY(runToEnd(m));
        QCOMPARE(m_server->count(u"/api/generate"_s), 2);
        QVERIFY(runToEnd(m, { before.id }));
        const VideoItem& after = m.items().at(0);
        QCOMPARE(after.status, VideoItem::Status::Error);
        QCOMPARE(after.content, before.content);
        QCOMPARE(after.location, before.location);
        QCOMPARE(after.proposedName, before.proposedName);
    }

    void livePhotoIsAnalysedOnce()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse));
        // A clip of 0.6 s: the moving half of a Live Photo.
        for (const QString& name : { u"IMG_0042.JPG"_s, u"IMG_0042.MOV"_s, u"IMG_0042.AAE"_s })
            make(name);
        AppModel& m = model({ u"IMG_0042.JPG"_s, u"IMG_0042.MOV"_s, u"IMG_0042.AAE"_s });
        QCOMPARE(m.items().size(), 2);
        QVERIFY(runToEnd(m));
        QCOMPARE(m_server->count(u"/api/generate"_s), 1);
        QVERIFY(m.statusMessage().startsWith(u"分析完成：成功 1/1 个，用时 "_s));
        QVERIFY(!m.statusMessage().contains(u"增删"_s));
        const VideoItem& motion = m.items().at(1);
        QCOMPARE(motion.status, VideoItem::Status::Analyzed);
        QCOMPARE(motion.content, u"喝茶聊天"_s);
        QCOMPARE(motion.proposedName, m.items().at(0).proposedName);

        m.renameAll();
        const QString name = m.items().at(0).proposedName;
        QCOMPARE(displayFileName(m.items().at(0).url), name + u".JPG"_s);
        QCOMPARE(displayFileName(m.items().at(1).url), name + u".MOV"_s);
        QCOMPARE(m.items().at(0).companions.size(), size_t(2));
        QVERIFY(QFile::exists(media(name + u".AAE"_s)));

        m.undoLast();
        QVERIFY(m.statusMessage().startsWith(Messages::undone(3)));
        QCOMPARE(displayFileName(m.items().at(1).url), u"IMG_0042.MOV"_s);
        QCOMPARE(Companions::describe(m.items().at(0)), u"随附文件：IMG_0042.MOV、IMG_0042.AAE"_s);
    }

    void emptyList()
    {
        AppModel& m = model({});
        QVERIFY(runToEnd(m));
        QCOMPARE(m.statusMessage(), u"分析完成：成功 0/0 个，用时 1 秒"_s);
    }

    // Every way an item can fail; the run goes on with the next one.
    void failures()
    {
        m_server->onSequence(u"/api/generate"_s,
            { generateReply(TeaHouse),
                Response::json(500, R"({"error":"model runner has unexpectedly stopped"})") });
        make(u"gone.jpg"_s);
        AppModel& m = model({ u"broken.mp4"_s, u"broken.jpg"_s, u"a.mp4"_s, u"b.mp4"_s, u"gone.jpg"_s });
        QVERIFY(QFile::remove(media(u"gone.jpg"_s))); // deleted by another program after it was listed
        QVERIFY(runToEnd(m));
        QCOMPARE(m.items().at(4).analysisText, Messages::FileGone);
        QCOMPARE(m.items().at(0).status, VideoItem::Status::Error);
        QCOMPARE(m.items().at(0).analysisText, Messages::NoFrames);
        QCOMPARE(m.items().at(1).analysisText, Messages::UnreadablePhoto);
        QCOMPARE(m.items().at(2).status, VideoItem::Status::Analyzed);
        QCOMPARE(m.items().at(3).status, VideoItem::Status::Error);
        QVERIFY(m.items().at(3).analysisText.startsWith(Messages::ErrorPrefix));
        QVERIFY(m.items().at(3).analysisText.contains(u"500"_s));
        QVERIFY(m.statusMessage().startsWith(u"分析完成：成功 1/5 个"_s));
        // Broken files never reach the model.
        QCOMPARE(m_server->count(u"/api/generate"_s), 2);
    }

    // The list changes while the model is answering: a removed item is dropped, an added one waits.
    void listChangesDuringRun()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse, 200));
        AppModel& m = model({ u"a.mp4"_s, u"b.mp4"_s, u"c.jpg"_s });
        const QUuid b = m.items().at(1).id;
        connect(m_server, &FakeHttpServer::requestReceived, &m, [&] {
            if (m_server->count(u"/api/generate"_s) == 1) {
                m.removeItems({ 1 }); // b, while a is with the model (and b may be prepared already)
                m.addFiles({ fsPath(media(u"broken.jpg"_s)) });
            }
        });
        QVERIFY(runToEnd(m));
        QVERIFY(!m.itemSnapshot(b));
        QCOMPARE(m_server->count(u"/api/generate"_s), 2); // a and c
        QTRY_COMPARE(m.items().size(), 3);
        QCOMPARE(m.items().last().status, VideoItem::Status::Pending);
        QVERIFY(m.statusMessage().startsWith(u"分析完成：成功 2/3 个"_s));
        // One removed, one added: the count is the same, so no note.
        QVERIFY(!m.statusMessage().contains(u"（列表中途有增删，已自动跳过）"_s));

        m_server->on(u"/api/generate"_s, generateReply(TeaHouse, 200));
        AppModel& m2 = model({ u"a.mp4"_s, u"b.mp4"_s });
        connect(m_server, &FakeHttpServer::requestReceived, &m2, [&] {
            if (m2.items().size() == 2)
                m2.removeItems({ 0 }); // the item with the model right now
        });
        QVERIFY(runToEnd(m2));
        QVERIFY(m2.statusMessage().startsWith(u"分析完成：成功 1/2 个"_s));
        QVERIFY(m2.statusMessage().endsWith(u"（列表中途有增删，已自动跳过）"_s));
    }

    void placeChoice()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse));
        // A folder place wins over the model's guess.
        const QString inPlace = m_dir.filePath(u"上里古镇/1/2/3/4/5/x.jpg"_s);
        QDir().mkpath(QFileInfo(inPlace).path());
        QVERIFY(MediaFixtures::makeJpeg(inPlace, 320, 240));
        AppModel& m = model({});
        m.settings().usePathPlace = true;
        QVERIFY(importAndWait(m, { fsPath(inPlace) }));
        QVERIFY(runToEnd(m));
        QCOMPARE(m.items().first().location, u"上里古镇"_s);

        // Imported without a folder place and analysed with folder places on: derived at step two.
        AppModel& late = model({});
        QVERIFY(importAndWait(late, { fsPath(inPlace) }));
        QVERIFY(!late.items().first().pathPlace);
        late.settings().usePathPlace = true;
        QVERIFY(runToEnd(late));
        QCOMPARE(late.items().first().pathPlace, u"上里古镇"_s);
        QCOMPARE(late.items().first().location, u"上里古镇"_s);
    }

    void gpsAndGeocoding()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse));
        const QByteArray nominatim
            = R"({"place_id": 1, "lat": "30.65", "lon": "104.05", "category": "tourism",
            "name": "武侯祠", "address": {"tourism": "武侯祠", "suburb": "武侯区", "city": "成都市",
            "country": "中国", "country_code": "cn"}})";
        m_server->on(u"/reverse"_s, Response::json(200, nominatim));
        const QString photo = media(u"gps.jpg"_s);
        QVERIFY(MediaFixtures::makeJpeg(photo, 320, 240));
        QVERIFY(MediaFixtures::setExif(photo,
            { u"Exif.GPSInfo.GPSLatitudeRef N"_s, u"Exif.GPSInfo.GPSLatitude 30/1 39/1 0/1"_s,
                u"Exif.GPSInfo.GPSLongitudeRef E"_s, u"Exif.GPSInfo.GPSLongitude 104/1 3/1 0/1"_s }));

        // Geocoding off: the position is stored, the service is never asked.
        AppModel& off = model({ u"gps.jpg"_s });
        QVERIFY(runToEnd(off));
        QVERIFY(off.items().first().coordinate.has_value());
        QCOMPARE(off.items().first().coordinate->latitude, 30.65);
        QVERIFY(!off.items().first().geoPlace);
        QCOMPARE(off.items().first().location, u"茶馆"_s);
        QCOMPARE(m_server->count(u"/reverse"_s), 0);

        // On: the geocoded place wins over the model's guess.
        AppModel& on = model({ u"gps.jpg"_s });
        on.settings().useGPSGeocoding = true;
        on.settings().geocoderURL = m_server->url().toString();
        QVERIFY(runToEnd(on));
        const VideoItem& item = on.items().first();
        QCOMPARE(m_server->count(u"/reverse"_s), 1);
        QVERIFY(item.geoPlace && item.geoPlace->contains(u"武侯"_s));
        QCOMPARE(item.location, *item.geoPlace);
    }

    // The service's reply as bare JSON, in a code fence, or as prose. Its JSON-mode fallback is the
    // client's own.
    void onlineService_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("content");
        const QString prose = u"画面里是一条木栈道穿过绿色的草地。"_s;
        QTest::newRow("bare JSON") << TeaHouse << u"喝茶聊天"_s;
        QTest::newRow("JSON in a code fence") << u"```json\n"_s + TeaHouse + u"\n```"_s << u"喝茶聊天"_s;
        QTest::newRow("prose") << prose << PromptBuilder::parse(prose).content;
    }

    void onlineService()
    {
        QFETCH(QString, reply);
        QFETCH(QString, content);
        m_server->on(u"/v1/chat/completions"_s, chatReply(reply));
        AppModel& m = model({ u"c.jpg"_s }, u"openai"_s);
        QVERIFY(runToEnd(m));
        QCOMPARE(m.items().first().status, VideoItem::Status::Analyzed);
        QCOMPARE(m.items().first().content, content);
        QCOMPARE(m_server->count(u"/v1/chat/completions"_s), 1);
        QCOMPARE(
            m_server->last(u"/v1/chat/completions"_s).header("authorization"), QByteArray("Bearer sk-test"));
        QCOMPARE(m_server->count(u"/api/generate"_s), 0);
    }

    // Stopping ends the run at once, wherever it is: the item in flight goes back to pending, the one
    // already analysed keeps its result, and the summary says the run was stopped.
    void stop_data()
    {
        QTest::addColumn<bool>("whileAsking");
        QTest::newRow("while the model answers") << true;
        QTest::newRow("while the pictures are prepared") << false;
    }

    void stop()
    {
        QFETCH(bool, whileAsking);
        Response stall;
        stall.silent = true;
        m_server->onSequence(u"/api/generate"_s, { generateReply(TeaHouse), stall });
        AppModel& m = model({ u"a.mp4"_s, u"b.mp4"_s, u"c.jpg"_s });
        connect(m_server, &FakeHttpServer::requestReceived, &m, [&] {
            if (whileAsking && m_server->count(u"/api/generate"_s) == 2)
                m.stopAnalysis();
        });
        connect(&m, &AppModel::changed, this, [&] {
            if (!whileAsking && m.items().at(1).status == VideoItem::Status::Analyzing)
                m.stopAnalysis();
        });
        m.analyzeAll();
        QVERIFY(QTest::qWaitFor([&] { return !m.isBusy(); }, 60'000));
        QCOMPARE(m.items().at(0).status, VideoItem::Status::Analyzed);
        QCOMPARE(m.items().at(1).status, VideoItem::Status::Pending);
        QCOMPARE(m.items().at(2).status, VideoItem::Status::Pending);
        QVERIFY(m.statusMessage().startsWith(u"分析已停止：成功 1/3 个，用时 "_s));
        QTest::qWait(100); // the aborted request's answer must change nothing
        QCOMPARE(m.items().at(1).status, VideoItem::Status::Pending);
        QCOMPARE(m_server->count(u"/api/generate"_s), whileAsking ? 2 : 1);
    }

    // Requests in flight at once, past the six connections one network manager opens to a host: the
    // server's slots take what they can and queue the rest, every row in flight reads 分析中, and
    // stopping aborts them all and puts their items back.
    void severalInFlight()
    {
        QStringList names;
        for (int k = 0; k < 10; ++k) {
            names.append(u"many-%1.jpg"_s.arg(k));
            make(names.last());
        }
        SlotServer batching(6, 3000); // long enough that preparation never holds a request back
        QVERIFY(batching.listen());
        AppModel& m = model(names.mid(0, 8));
        m.settings().ollamaEndpoint = batching.url().toString();
        m.settings().setMaxConcurrentRequests(7);
        QVERIFY(runToEnd(m));
        QVERIFY(m.statusMessage().startsWith(u"分析完成：成功 8/8 个"_s));
        QCOMPARE(batching.mostOutstanding(), 7);
        QCOMPARE(batching.mostActive(), 6);
        QVERIFY(batching.connections() < 8); // kept alive

        SlotServer slow(32, 60'000);
        QVERIFY(slow.listen());
        AppModel& s = model(names);
        s.settings().ollamaEndpoint = slow.url().toString();
        s.settings().setMaxConcurrentRequests(8);
        s.analyzeAll();
        QTRY_COMPARE_WITH_TIMEOUT(slow.mostOutstanding(), 8, 30'000);
        const auto analysing = [&] {
            return std::count_if(s.items().begin(), s.items().end(),
                [](const VideoItem& item) { return item.status == VideoItem::Status::Analyzing; });
        };
        QCOMPARE(analysing(), 8);
        s.stopAnalysis();
        QVERIFY(!s.isBusy());
        QCOMPARE(analysing(), 0);
        QVERIFY(s.statusMessage().startsWith(u"分析已停止：成功 0/10 个"_s));
    }

    // The server pushes back: each item is retried on its own, up to five times, after the wait the
    // server asks for; what waiting cannot mend fails at once with the server's words.
    void pushback_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QList<Response>>("answers"); // in turn, the last one repeating
        QTest::addColumn<bool>("analysed");
        QTest::addColumn<int>("requests"); // for both items together
        QTest::addColumn<QString>("says");
        const auto wait = [](int status, const QByteArray& body, const QByteArray& retryAfter) {
            Response response = Response::json(status, body);
            if (!retryAfter.isEmpty())
                response.headers.append({ "Retry-After", retryAfter });
            return response;
        };
        const QByteArray busy
            = R"({"error":"server busy, please try again.  maximum pending requests exceeded"})";
        Response cut = generateReply(TeaHouse);
        cut.declaredLength = cut.body.size() + 10;
        cut.ending = Response::Ending::Close;
        QTest::newRow("429, 503 and a cut connection, then answered")
            << u"ollama"_s
            << QList<Response> { wait(429, busy, "0.02"), wait(503, busy, "0.02"), cut,
                   generateReply(TeaHouse) }
            << true << 5 << QString();
        QTest::newRow("429 for ever")
            << u"ollama"_s << QList<Response> { wait(429, busy, "0.02") } << false << 12 << u"429"_s;
        QTest::newRow("an hour is too long")
            << u"ollama"_s << QList<Response> { wait(429, busy, "3600") } << false << 2 << u"server busy"_s;
        QTest::newRow("a spent quota")
            << u"openai"_s
            << QList<Response> { Response::json(
                   429, FakeHttpServer::sample(u"vision/peers/openai/error.429-insufficient-quota.json"_s)) }
            << false << 2 << u"quota"_s;
    }

    void pushback()
    {
        QFETCH(QString, engine);
        QFETCH(QList<Response>, answers);
        QFETCH(bool, analysed);
        QFETCH(int, requests);
        QFETCH(QString, says);
        const QString path = engine == u"openai" ? u"/v1/chat/completions"_s : u"/api/generate"_s;
        m_server->onSequence(path, answers);
        AppModel& m = model({ u"a.mp4"_s, u"c.jpg"_s }, engine);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(runToEnd(m));
        QVERIFY(clock.elapsed() < 20'000);
        for (const VideoItem& item : m.items()) {
            QCOMPARE(item.status, analysed ? VideoItem::Status::Analyzed : VideoItem::Status::Error);
            QVERIFY2(item.analysisText.contains(says), qPrintable(item.analysisText));
        }
        QCOMPARE(m_server->count(path), requests);
        if (requests > 2)
            QVERIFY(m_messages.contains(Messages::serverBusy(1)));
    }

    // Destroying the model in the middle of a request: the request is aborted and nothing calls back.
    void shutdownDuringRequest()
    {
        Response stall;
        stall.silent = true;
        m_server->on(u"/api/generate"_s, stall);
        AppModel& m = model({ u"a.mp4"_s, u"b.mp4"_s });
        m.analyzeAll();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->count(u"/api/generate"_s), 1, 30'000);
        m_model.reset();
        QTest::qWait(50); // pending continuations and the prepared next item must find nothing
    }

    void shutdownWhilePreparing()
    {
        m_server->on(u"/api/generate"_s, generateReply(TeaHouse));
        AppModel& m = model({ u"a.mp4"_s, u"b.mp4"_s, u"c.jpg"_s });
        m.analyzeAll();
        QCoreApplication::processEvents(); // the first item is being decoded now
        m_model.reset();
        QTest::qWait(500);
    }
};

QTEST_GUILESS_MAIN(TestAnalysisRun)
#include "TestAnalysisRun.moc"
