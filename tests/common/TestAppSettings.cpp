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
#include <unistd.h>

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
    void emptyStoreLoadsDefaults()
    {
        const AppSettings s(freshPath());
        QCOMPARE(s.engineRaw, u"ollama"_s);
        QCOMPARE(s.ollamaEndpoint, u"http://localhost:11434"_s);
        QCOMPARE(s.ollamaModel, u"qwen2.5vl:7b"_s);
        QCOMPARE(s.openAIModel, u"qwen-vl-max"_s);
        QCOMPARE(s.openAIURL().scheme(), u"https"_s);
        QCOMPARE(s.openAIURL().path(), u"/v1"_s);
        QCOMPARE(s.openAIKey, QString());
        QCOMPARE(s.frameCount, 4);
        QVERIFY(s.includeDate && s.includeLocation && s.includeContent && s.includeOriginal);
        QCOMPARE(s.separator, u"_"_s);
        QVERIFY(s.usePathPlace);
        QVERIFY(!s.useGPSGeocoding);
        QCOMPARE(s.mediaTargetRaw, u"videos"_s);
        QVERIFY(s.autoCheckUpdate);
        QCOMPARE(s.geocoderURL, u"https://nominatim.openstreetmap.org"_s);
        QVERIFY(!QFile::exists(s.storePath())); // loading never writes
    }

    void frameCountMapping_data()
    {
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<int>("loaded");
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 4;
        QTest::newRow("zero") << QJsonValue(0) << 4;
        QTest::newRow("negative") << QJsonValue(-3) << 1;
        QTest::newRow("one") << QJsonValue(1) << 1;
        QTest::newRow("six") << QJsonValue(6) << 6;
        QTest::newRow("seven") << QJsonValue(7) << 6;
        QTest::newRow("hundred") << QJsonValue(100) << 6;
        QTest::newRow("huge") << QJsonValue(1e300) << 6;
        QTest::newRow("fraction truncates") << QJsonValue(5.7) << 5;
        QTest::newRow("string is not a number") << QJsonValue(u"5"_s) << 4;
        QTest::newRow("boolean is not a number") << QJsonValue(true) << 4;
    }

    void frameCountMapping()
    {
        QFETCH(QJsonValue, stored);
        QFETCH(int, loaded);
        QJsonObject object;
        if (!stored.isUndefined())
            object.insert(u"frameCount"_s, stored);
        QCOMPARE(AppSettings(storeWith(object)).frameCount, loaded);
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
        }));
        QVERIFY(s.includeDate);
        QVERIFY(s.includeContent);
        QVERIFY(!s.includeLocation);
        QCOMPARE(s.ollamaModel, u"qwen2.5vl:7b"_s);
        QCOMPARE(s.separator, QString());
        QCOMPARE(s.engineRaw, u"ollama"_s);
    }

    void ollamaURL_data()
    {
        QTest::addColumn<QString>("endpoint");
        QTest::addColumn<QString>("url");
        QTest::newRow("default") << u"http://localhost:11434"_s << u"http://localhost:11434"_s;
        QTest::newRow("spaces and slash") << u"  http://10.0.0.2:11434/ \t"_s << u"http://10.0.0.2:11434/"_s;
        QTest::newRow("path prefix kept")
            << u"https://gpu.example/ollama"_s << u"https://gpu.example/ollama"_s;
        QTest::newRow("ideographic space trimmed") << u"\u3000http://h:1\u3000"_s << u"http://h:1"_s;
        QTest::newRow("empty") << QString() << u"http://localhost:11434"_s;
        QTest::newRow("spaces only") << u"   "_s << u"http://localhost:11434"_s;
        QTest::newRow("inner space does not parse")
            << u"http://local host:11434"_s << u"http://localhost:11434"_s;
    }

    void ollamaURL()
    {
        QFETCH(QString, endpoint);
        QFETCH(QString, url);
        AppSettings s(freshPath());
        s.ollamaEndpoint = endpoint;
        QCOMPARE(s.ollamaURL().toString(), url);
    }

    void openAIURL_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("url");
        QTest::newRow("as is") << u"https://dashscope.example/compatible-mode/v1"_s
                               << u"https://dashscope.example/compatible-mode/v1"_s;
        QTest::newRow("one slash removed") << u"https://h.example/v1/"_s << u"https://h.example/v1"_s;
        QTest::newRow("only one slash removed") << u"https://h.example/v1//"_s << u"https://h.example/v1/"_s;
        QTest::newRow("trimmed") << u" https://h.example/v1/ "_s << u"https://h.example/v1"_s;
        QTest::newRow("empty gives default") << QString() << AppSettings::DefaultOpenAIBaseURL;
        QTest::newRow("lone slash gives default") << u"/"_s << AppSettings::DefaultOpenAIBaseURL;
    }

    void openAIURL()
    {
        QFETCH(QString, base);
        QFETCH(QString, url);
        AppSettings s(freshPath());
        s.openAIBaseURL = base;
        QCOMPARE(s.openAIURL().toString(), url);
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
        QCOMPARE(s.model(), isOpenAI ? s.openAIModel : s.ollamaModel);
    }

    void settingModelTouchesOnlyTheSelectedEngine()
    {
        AppSettings s(freshPath());
        s.engineRaw = u"openai"_s;
        s.setModel(u"gpt-4o"_s);
        QCOMPARE(s.openAIModel, u"gpt-4o"_s);
        QCOMPARE(s.ollamaModel, u"qwen2.5vl:7b"_s);
        s.engineRaw = u"OpenAI"_s;
        s.setModel(u"llava:13b"_s);
        QCOMPARE(s.ollamaModel, u"llava:13b"_s);
        QCOMPARE(s.openAIModel, u"gpt-4o"_s);
    }

    void persistRoundTripKeepsTypes()
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
        s.includeDate = false;
        s.includeLocation = false;
        s.includeContent = false;
        s.includeOriginal = false;
        s.separator = u" - "_s;
        s.usePathPlace = false;
        s.useGPSGeocoding = true;
        s.mediaTargetRaw = u"both"_s;
        s.autoCheckUpdate = false;
        s.geocoderURL = u"https://geo.example/nominatim"_s;
        QVERIFY(s.persist());

        const QJsonObject stored = readStore(path);
        QCOMPARE(stored.size(), 17);
        QVERIFY(stored.value(u"includeDate"_s).isBool());
        QVERIFY(stored.value(u"frameCount"_s).isDouble());
        QCOMPARE(stored.value(u"frameCount"_s).toInteger(), 9);
        QVERIFY(stored.value(u"engine"_s).isString());
        QVERIFY(stored.value(u"mediaTarget"_s).isString());

        const AppSettings loaded(path);
        QCOMPARE(loaded.engineRaw, s.engineRaw);
        QCOMPARE(loaded.ollamaEndpoint, s.ollamaEndpoint);
        QCOMPARE(loaded.ollamaModel, s.ollamaModel);
        QCOMPARE(loaded.openAIModel, s.openAIModel);
        QCOMPARE(loaded.openAIBaseURL, s.openAIBaseURL);
        QCOMPARE(loaded.openAIKey, s.openAIKey);
        QCOMPARE(loaded.frameCount, 6);
        QCOMPARE(loaded.includeDate, false);
        QCOMPARE(loaded.includeLocation, false);
        QCOMPARE(loaded.includeContent, false);
        QCOMPARE(loaded.includeOriginal, false);
        QCOMPARE(loaded.separator, s.separator);
        QCOMPARE(loaded.usePathPlace, false);
        QCOMPARE(loaded.useGPSGeocoding, true);
        QCOMPARE(loaded.mediaTargetRaw, s.mediaTargetRaw);
        QCOMPARE(loaded.autoCheckUpdate, false);
        QCOMPARE(loaded.geocoderURL, s.geocoderURL);
    }

    void storeIsPrivate()
    {
        const QString path = freshPath();
        AppSettings s(path);
        s.openAIKey = u"sk-test"_s;
        QVERIFY(s.persist());
        struct stat st
        { };
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0700u);
        // A second write replaces the file and must keep the mode.
        s.openAIKey = u"sk-other"_s;
        QVERIFY(s.persist());
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void persistKeepsOtherKeys()
    {
        // The update checker's keys share the file; writing the settings must not drop or retype them.
        const QString path = storeWith(
            { { u"updateLastCheckAt"_s, 1790000000.25 }, { u"updateSkippedVersion"_s, u"1.4.0"_s } });
        QVERIFY(AppSettings(path).persist());
        const QJsonObject stored = readStore(path);
        QCOMPARE(stored.value(u"updateLastCheckAt"_s).toDouble(), 1790000000.25);
        QCOMPARE(stored.value(u"updateSkippedVersion"_s).toString(), u"1.4.0"_s);
    }

    void damagedStoreIsMovedAsideNotOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"engine\": \"openai\", \"openAIKey\": \"sk-");
        QTest::newRow("not an object") << QByteArray("[1, 2, 3]");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12);
    }

    void damagedStoreIsMovedAsideNotOverwritten()
    {
        QFETCH(QByteArray, content);
        const QString path = freshPath();
        QDir().mkpath(QFileInfo(path).path());
        for (int round = 0; round < 2; ++round) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
            file.close();

            AppSettings s(path);
            QCOMPARE(s.engineRaw, u"ollama"_s);
            const QString moved = SettingsStore::lastQuarantinePath();
            QCOMPARE(moved, round == 0 ? path + u".corrupt"_s : path + u".corrupt.1"_s);
            QVERIFY(s.persist());

            QFile kept(moved);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), content);
            QCOMPARE(readStore(path).value(u"engine"_s).toString(), u"ollama"_s);
        }
    }

    void unwritableStoreReportsFailure()
    {
        if (::geteuid() == 0)
            QSKIP("root can write anywhere");
        const QString path = freshPath();
        QDir().mkpath(QFileInfo(path).path());
        QFile::setPermissions(QFileInfo(path).path(), QFile::ReadOwner | QFile::ExeOwner);
        QVERIFY(!AppSettings(path).persist());
        QFile::setPermissions(QFileInfo(path).path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "TestAppSettings.moc"
