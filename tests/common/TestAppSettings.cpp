// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/AppSettings.h"
#include "common/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

class TestAppSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_counter = 0;

    // A fresh store path per test; the folder does not exist yet, as on a first start.
    QString freshPath()
    {
        return m_dir.filePath(u"cfg%1/velmora/velmora.json"_s.arg(++m_counter));
    }

    QString storeWith(const QJsonObject& object)
    {
        const QString path = freshPath();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write the store");
        file.write(QJsonDocument(object).toJson());
        return path;
    }

    static QJsonObject readStore(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

private slots:
    // The defaults, and the keys and types they are stored under.
    void emptyStoreLoadsDefaults()
    {
        const QString path = freshPath();
        const AppSettings s(path);
        QVERIFY(!QFile::exists(path)); // loading never writes
        QVERIFY(s.persist());
        const QJsonObject defaults { { u"engine"_s, u"ollama"_s },
            { u"ollamaEndpoint"_s, u"http://localhost:11434"_s }, { u"ollamaModel"_s, u"qwen2.5vl:7b"_s },
            { u"openAIModel"_s, u"qwen-vl-max"_s }, { u"openAIBaseURL"_s, u"https://api.openai.com/v1"_s },
            { u"openAIKey"_s, u""_s }, { u"frameCount"_s, 4 }, { u"includeDate"_s, true },
            { u"includeLocation"_s, true }, { u"includeContent"_s, true }, { u"includeOriginal"_s, true },
            { u"separator"_s, u"_"_s }, { u"usePathPlace"_s, true }, { u"useGPSGeocoding"_s, false },
            { u"mediaTarget"_s, u"videos"_s }, { u"autoCheckUpdate"_s, true },
            { u"geocoderURL"_s, u"https://nominatim.openstreetmap.org"_s },
            { u"ollamaMaxConcurrentRequests"_s, 1 }, { u"openAIMaxConcurrentRequests"_s, 4 },
            { u"ollamaKeepAlive"_s, u"30m"_s } };
        QCOMPARE(readStore(path), defaults);
    }

    // Counts out of range load clamped; the local engine's concurrency is read through the engine.
    void countMapping_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<int>("loaded");
        const QString frames = u"frameCount"_s;
        QTest::newRow("absent") << frames << QJsonValue(QJsonValue::Undefined) << 4;
        QTest::newRow("zero") << frames << QJsonValue(0) << 4;
        QTest::newRow("negative") << frames << QJsonValue(-3) << 1;
        QTest::newRow("seven") << frames << QJsonValue(7) << 6;
        QTest::newRow("huge") << frames << QJsonValue(1e300) << 6;
        QTest::newRow("fraction truncates") << frames << QJsonValue(5.7) << 5;
        QTest::newRow("string is not a number") << frames << QJsonValue(u"5"_s) << 4;
        const QString local = u"ollamaMaxConcurrentRequests"_s;
        QTest::newRow("requests absent") << local << QJsonValue(QJsonValue::Undefined) << 1;
        QTest::newRow("requests negative") << local << QJsonValue(-8) << 1;
        QTest::newRow("requests too many") << local << QJsonValue(1000) << 32;
        QTest::newRow("requests garbage") << local << QJsonValue(u"lots"_s) << 1;
        QTest::newRow("requests kept") << local << QJsonValue(12) << 12;
    }

    void countMapping()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, stored);
        QFETCH(int, loaded);
        QJsonObject object;
        if (!stored.isUndefined())
            object.insert(key, stored);
        const AppSettings s(storeWith(object));
        QCOMPARE(key == u"frameCount" ? s.frameCount : s.maxConcurrentRequests(), loaded);
    }

    void illTypedValuesLoadDefaults()
    {
        const AppSettings s(storeWith({
            { u"includeDate"_s, u"false"_s }, // a string, not a boolean
            { u"includeContent"_s, 0 }, // a number, not a boolean
            { u"includeLocation"_s, false }, // a real boolean
            { u"ollamaModel"_s, 42 }, // a number, not a string
            { u"separator"_s, u""_s }, // an empty string stays empty
            { u"engine"_s, QJsonValue::Null },
            { u"ollamaKeepAlive"_s, u"half an hour"_s },
        }));
        QCOMPARE(s.ollamaKeepAlive, u"30m"_s);
        QVERIFY(s.includeDate);
        QVERIFY(s.includeContent);
        QVERIFY(!s.includeLocation);
        QCOMPARE(s.ollamaModel, u"qwen2.5vl:7b"_s);
        QCOMPARE(s.separator, QString());
        QCOMPARE(s.engineRaw, u"ollama"_s);
    }

    void urls_data()
    {
        QTest::addColumn<bool>("openAI");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("url");
        QTest::newRow("local, trimmed, slash kept")
            << false << u"\u3000 http://10.0.0.2:11434/ \t"_s << u"http://10.0.0.2:11434/"_s;
        QTest::newRow("local, path prefix")
            << false << u"https://gpu.example/ollama"_s << u"https://gpu.example/ollama"_s;
        QTest::newRow("local, blank") << false << u" \u3000"_s << u"http://localhost:11434"_s;
        QTest::newRow("local, inner space does not parse")
            << false << u"http://local host:11434"_s << u"http://localhost:11434"_s;
        QTest::newRow("online, trimmed, slash removed")
            << true << u" https://h.example/v1/ "_s << u"https://h.example/v1"_s;
        QTest::newRow("online, only one slash removed")
            << true << u"https://h.example/v1//"_s << u"https://h.example/v1/"_s;
        QTest::newRow("online, empty") << true << QString() << AppSettings::DefaultOpenAIBaseURL;
        QTest::newRow("online, lone slash") << true << u"/"_s << AppSettings::DefaultOpenAIBaseURL;
    }

    void urls()
    {
        QFETCH(bool, openAI);
        QFETCH(QString, text);
        QFETCH(QString, url);
        AppSettings s(freshPath());
        (openAI ? s.openAIBaseURL : s.ollamaEndpoint) = text;
        QCOMPARE((openAI ? s.openAIURL() : s.ollamaURL()).toString(), url);
    }

    void effectiveEnumerations_data()
    {
        QTest::addColumn<QString>("engineRaw");
        QTest::addColumn<QString>("targetRaw");
        QTest::addColumn<bool>("isOpenAI");
        QTest::addColumn<int>("target");
        QTest::newRow("openai, photos") << u"openai"_s << u"photos"_s << true << int(MediaTarget::Photos);
        QTest::newRow("OpenAI, Photos") << u"OpenAI"_s << u"Photos"_s << false << int(MediaTarget::Videos);
        QTest::newRow("empty, both") << QString() << u"both"_s << false << int(MediaTarget::Both);
        QTest::newRow("ollama, garbage") << u"ollama"_s << u"all"_s << false << int(MediaTarget::Videos);
    }

    // The model is the selected engine's, and setting it leaves the other engine's alone.
    void effectiveEnumerations()
    {
        QFETCH(QString, engineRaw);
        QFETCH(QString, targetRaw);
        QFETCH(bool, isOpenAI);
        QFETCH(int, target);
        AppSettings s(freshPath());
        s.engineRaw = engineRaw;
        s.mediaTargetRaw = targetRaw;
        QCOMPARE(s.engine() == VisionEngine::OpenAI, isOpenAI);
        QCOMPARE(int(s.mediaTarget()), target);
        s.setModel(u"chosen"_s);
        QCOMPARE(s.model(), u"chosen"_s);
        QCOMPARE(isOpenAI ? s.ollamaModel : s.openAIModel, isOpenAI ? u"qwen2.5vl:7b"_s : u"qwen-vl-max"_s);
    }

    // Every field comes back as written: persisting what was loaded gives the same store, other keys kept.
    void persistRoundTrip()
    {
        const QString path = freshPath();
        AppSettings s(path);
        s.engineRaw = u"openai"_s;
        s.ollamaEndpoint = u" http://box:11434/ "_s;
        s.ollamaModel = u"llava"_s;
        s.openAIModel = u"gpt-4o"_s;
        s.openAIBaseURL = u"https://h.example/v1/"_s;
        s.openAIKey = u"sk-秘密"_s;
        s.frameCount = 9; // written as held, clamped on the next load
        s.includeDate = s.includeLocation = s.includeContent = s.includeOriginal = s.usePathPlace = false;
        s.separator = u" - "_s;
        s.useGPSGeocoding = true;
        s.mediaTargetRaw = u"both"_s;
        s.autoCheckUpdate = false;
        s.geocoderURL = u"https://geo.example/nominatim"_s;
        QVERIFY(s.persist());
        QJsonObject stored = readStore(path);
        QCOMPARE(stored.value(u"frameCount"_s), QJsonValue(9));

        // The update checker's keys share the file: writing the settings must not drop or retype them.
        stored.insert(u"updateLastCheckAt"_s, 1790000000.25);
        stored.insert(u"updateSkippedVersion"_s, u"1.4.0"_s);
        const QString again = storeWith(stored);
        QVERIFY(AppSettings(again).persist());
        stored.insert(u"frameCount"_s, 6);
        QCOMPARE(readStore(again), stored);
    }

    void storeIsPrivate()
    {
        const QString path = freshPath();
        const auto mode = [](const QString& file) {
            struct stat st
            { };
            return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_mode & 0777 : 0u;
        };
        AppSettings s(path);
        s.openAIKey = u"sk-test"_s;
        QVERIFY(s.persist());
        QCOMPARE(mode(path), 0600u);
        QCOMPARE(mode(QFileInfo(path).path()), 0700u);
        // A second write replaces the file and must keep the mode.
        s.openAIKey = u"sk-other"_s;
        QVERIFY(s.persist());
        QCOMPARE(mode(path), 0600u);
    }

    void damagedStoreIsMovedAsideNotOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"engine\": \"openai\", \"openAIKey\": \"sk-");
        QTest::newRow("not an object") << QByteArray("[1, 2, 3]");
    }

    void damagedStoreIsMovedAsideNotOverwritten()
    {
        QFETCH(QByteArray, content);
        const QString path = freshPath();
        QDir().mkpath(QFileInfo(path).path());
        for (const QString& moved : QStringList { path + u".corrupt"_s, path + u".corrupt.1"_s }) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();

            AppSettings s(path);
            QCOMPARE(s.engineRaw, u"ollama"_s);
            QCOMPARE(SettingsStore::lastQuarantinePath(), moved);
            QVERIFY(s.persist());
            QFile kept(moved);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), content);
            QCOMPARE(readStore(path).value(u"engine"_s).toString(), u"ollama"_s);
        }
    }

    // A folder that cannot be made, even by root: a file stands in its way.
    void unwritableStoreReportsFailure()
    {
        const QString blocker = m_dir.filePath(u"blocker"_s);
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(!AppSettings(blocker + u"/velmora/velmora.json"_s).persist());
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "TestAppSettings.moc"
