// SPDX-License-Identifier: GPL-3.0-or-later
// The settings, onboarding, media-target and update windows against a fake local model server.

#include "common/SettingsStore.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "support/FakeHttpServer.h"
#include "ui/widgets/Colours.h"
#include "ui/windows/MediaTargetWindow.h"
#include "ui/windows/OnboardingWindow.h"
#include "ui/windows/SecondaryWindows.h"
#include "ui/windows/SettingsWindow.h"
#include "ui/windows/SetupSteps.h"
#include "ui/windows/UpdateAlert.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using Response = FakeHttpServer::Response;

namespace {

QByteArray tags(const QStringList& names)
{
    QByteArrayList models;
    for (const QString& name : names)
        models.append("{\"name\":\"" + name.toUtf8() + "\",\"size\":1}");
    return "{\"models\":[" + models.join(',') + "]}";
}

} // namespace

class TestSecondaryWindows : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl& url)
    {
        m_opened.append(url);
    }

private:
    QTemporaryDir m_dir;
    FakeHttpServer* m_server = nullptr;
    std::unique_ptr<AppModel> m_model;
    QList<QUrl> m_opened;

    QString storePath() const
    {
        return m_dir.filePath(u"settings.json"_s);
    }

    // A model over a fresh settings store holding these values, talking to the fake server.
    AppModel& model(const QVariantMap& stored = {})
    {
        m_model.reset();
        QFile::remove(storePath());
        const auto store = SettingsStore::open(storePath());
        store->setValue(u"ollamaEndpoint"_s, m_server->url().toString());
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            store->setValue(it.key(), it.value());
        SettingsStore::sync(*store);
        m_model = std::make_unique<AppModel>(storePath());
        return *m_model;
    }

    QVariant stored(const QString& key) const
    {
        return SettingsStore::open(storePath())->value(key);
    }

    // Puts an executable named ollama on PATH, as an installation would.
    void install(bool installed)
    {
        const QString bin = m_dir.filePath(installed ? u"bin"_s : u"empty"_s);
        QDir().mkpath(bin);
        QFile program(bin + u"/ollama"_s);
        if (installed && program.open(QIODevice::WriteOnly)) {
            program.write("#!/bin/sh\nexit 0\n");
            program.close();
            program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(bin));
    }

    template <typename T> static T* child(QWidget& window, const QString& name)
    {
        T* found = window.findChild<T*>(name);
        if (!found)
            qFatal("no %s", qPrintable(name));
        return found;
    }

    static void choose(QComboBox* combo, int index)
    {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("HOME", QFile::encodeName(m_dir.filePath(u"home"_s)));
        QDesktopServices::setUrlHandler(u"https"_s, this, "openUrl");
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(u"https"_s);
    }

    void init()
    {
        m_server = new FakeHttpServer(this);
        QVERIFY(m_server->listen());
        install(false);
    }

    void cleanup()
    {
        m_model.reset();
        delete m_server;
    }

    // What apply stores from what a control holds, or from a value stored before when there is no control;
    // a value that cannot be used (no expected value) keeps the window open and stores nothing.
    void apply_data()
    {
        QTest::addColumn<QVariantMap>("before");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("expected");
        const auto row = [](const char* tag, const char* control, const QVariant& typed, const char* key,
                             const QVariant& expected, bool online = false) {
            QVariantMap before;
            if (!*control)
                before.insert(QString::fromLatin1(key), typed);
            if (online)
                before.insert(u"engine"_s, u"openai"_s);
            QTest::newRow(tag) << before << QString::fromLatin1(control) << typed.toString()
                               << QString::fromLatin1(key) << expected;
        };
        row("empty separator", "separatorEdit", u""_s, "separator", u"_"_s);
        row("single blank separator", "separatorEdit", u" "_s, "separator", u" "_s);
        row("tab separator", "separatorEdit", u"\t"_s, "separator", {});
        row("slash separator", "separatorEdit", u"/"_s, "separator", {});
        row("frame count 9", "", 9, "frameCount", 6);
        row("unknown engine", "", u"gpu"_s, "engine", u"ollama"_s);
        row("unknown target", "", u"films"_s, "mediaTarget", u"videos"_s);
        row("endpoint trimmed", "endpointEdit", u" http://h:1 "_s, "ollamaEndpoint", u"http://h:1"_s);
        row("endpoint not a URL", "endpointEdit", u"localhost 11434"_s, "ollamaEndpoint", {});
        row("hidden base URL not a URL", "apiBaseEdit", u"::"_s, "openAIBaseURL",
            u"https://api.openai.com/v1"_s);
        row("base URL not a URL", "apiBaseEdit", u"ftp://x"_s, "openAIBaseURL", {}, true);
        row("key with a line break", "apiKeyEdit", u"sk-a\nb"_s, "openAIKey", {}, true);
        row("key trimmed", "apiKeyEdit", u" sk-ab "_s, "openAIKey", u"sk-ab"_s, true);
        row("model with a space", "model", u"qwen 7b"_s, "ollamaModel", {});
        row("empty model keeps the name", "model", u" "_s, "ollamaModel", u"qwen2.5vl:7b"_s);
        row("geocoder not a URL", "geocoderEdit", u"nominatim"_s, "geocoderURL", {});
    }

    // The example follows the switches and the separator as they change, before anything is applied.
    void namingExample()
    {
        SettingsWindow window(model({}));
        window.show();
        QLabel* example = child<QLabel>(window, u"exampleLabel"_s);
        QCOMPARE(example->text(), u"示例：2026-09-18_上里古镇_石桥流水孩童_IMG_0234"_s);
        child<QCheckBox>(window, u"dateCheck"_s)->setChecked(false);
        child<QLineEdit>(window, u"separatorEdit"_s)->setText(u" - "_s);
        QCOMPARE(example->text(), u"示例：上里古镇 - 石桥流水孩童 - IMG_0234"_s);
        child<QLineEdit>(window, u"separatorEdit"_s)->setText(u"/"_s); // refused on apply: shown as "_"
        QCOMPARE(example->text(), u"示例：上里古镇_石桥流水孩童_IMG_0234"_s);
        for (const char* box : { "locationCheck", "contentCheck", "originalCheck" })
            child<QCheckBox>(window, QString::fromLatin1(box))->setChecked(false);
        QCOMPARE(example->text(), u"示例：（没有勾选任何部分，文件名不变）"_s);
    }

    void apply()
    {
        QFETCH(QVariantMap, before);
        QFETCH(QString, control);
        QFETCH(QString, typed);
        QFETCH(QString, key);
        QFETCH(QVariant, expected);
        const bool refused = !expected.isValid();
        SettingsWindow window(model(before));
        window.show();
        if (control == u"model")
            child<QComboBox>(window, u"modelCombo"_s)->setEditText(typed);
        else if (!control.isEmpty())
            child<QLineEdit>(window, control)->setText(typed);
        const QVariant original = stored(key);
        window.apply();
        QCOMPARE(window.isVisible(), refused);
        QCOMPARE(window.applyError().isEmpty(), !refused);
        QCOMPARE(stored(key), refused ? original : expected);
        // The key is read out masked, never as typed.
        QAccessibleInterface* keyField
            = QAccessible::queryAccessibleInterface(child<QLineEdit>(window, u"apiKeyEdit"_s));
        for (QAccessible::Text text : { QAccessible::Name, QAccessible::Description, QAccessible::Value })
            QVERIFY(!keyField->text(text).contains(u"sk-a"_s));
    }

    // The engine popup acts at once: rows, placeholder and the engine in memory, kept after cancel.
    void engineSwitch()
    {
        AppModel& m = model();
        m_server->on(u"/v1/models"_s, Response::json(200, R"({"data":[{"id":"gpt-4o"}]})"));
        m.settings().openAIBaseURL = m_server->url(u"/v1"_s).toString();
        SettingsWindow window(m);
        window.show();
        QComboBox* combo = child<QComboBox>(window, u"modelCombo"_s);
        choose(child<QComboBox>(window, u"engineCombo"_s), 1);
        QVERIFY(!child<QLineEdit>(window, u"endpointEdit"_s)->isVisible());
        QVERIFY(child<QLineEdit>(window, u"apiKeyEdit"_s)->isVisible());
        QVERIFY(!child<QLabel>(window, u"firstStepLabel"_s)->isVisible());
        QCOMPARE(combo->lineEdit()->placeholderText(), u"例如 gpt-4o / qwen-vl-max"_s);
        QCOMPARE(combo->currentText(), u"qwen-vl-max"_s);
        QTRY_COMPARE(combo->count(), 1); // the online service's list
        // A key over plain http:// is warned about, unless it stays on this machine.
        QLabel* warning = child<QLabel>(window, u"plainKeyWarningLabel"_s);
        child<QLineEdit>(window, u"apiKeyEdit"_s)->setText(u"sk-a"_s);
        QVERIFY(!warning->isVisible());
        child<QLineEdit>(window, u"apiBaseEdit"_s)->setText(u"http://gpu.lan:8000/v1"_s);
        QVERIFY(warning->isVisible());
        QVERIFY(warning->text().startsWith(u"API 密钥将以明文发送到 gpu.lan"_s));
        window.cancel();
        QCOMPARE(m.settings().engine(), VisionEngine::OpenAI);
    }

    // Both windows store and report a media target at once.
    void mediaTarget_data()
    {
        QTest::addColumn<bool>("fromSettings");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("name");
        QTest::newRow("settings: photos") << true << 1 << u"photos"_s << u"仅照片"_s;
        QTest::newRow("settings: both") << true << 2 << u"both"_s << u"两者都处理"_s;
        QTest::newRow("radio: photos") << false << 1 << u"photos"_s << u"仅照片"_s;
        QTest::newRow("radio: the one already on") << false << 0 << u"videos"_s << u"仅视频"_s;
        QTest::newRow("radio: toggled by a screen reader") << false << -2 << u"both"_s << u"两者都处理"_s;
        QTest::newRow("radio: no such target") << false << 3 << QString() << QString();
    }

    void mediaTarget()
    {
        QFETCH(bool, fromSettings);
        QFETCH(int, index);
        QFETCH(QString, raw);
        QFETCH(QString, name);
        AppModel& m = model();
        const QString welcome = m.statusMessage();
        QSignalSpy changed(&m, &AppModel::changed);
        if (fromSettings) {
            SettingsWindow window(m);
            choose(child<QComboBox>(window, u"targetCombo"_s), index);
        } else {
            MediaTargetWindow window(m);
            window.show();
            if (index == -2) {
                index = 2;
                window.radios().at(index)->toggle();
            } else if (index < window.radios().size()) {
                QTest::mouseClick(window.radios().at(index), Qt::LeftButton, {}, QPoint(4, 4));
            } else {
                window.picked(index);
            }
            for (int i = 0; i < window.radios().size(); ++i)
                QCOMPARE(window.radios().at(i)->isChecked(), i == (raw.isEmpty() ? 0 : index));
            QVERIFY(window.isVisible());
        }
        QCOMPARE(stored(u"mediaTarget"_s).toString(), raw);
        QCOMPARE(m.statusMessage(), raw.isEmpty() ? welcome : u"处理对象已设为「"_s + name + u"」"_s);
        QCOMPARE(changed.count() > 0 || changed.wait(1000), !raw.isEmpty());
    }

    // A settings window closed and opened again shows what another window chose meanwhile, so that its
    // apply does not put the old value back.
    void reopenedWindowsShowCurrentSettings()
    {
        AppModel& m = model();
        QWidget main;
        SecondaryWindows windows(m, &main);
        windows.showSettings();
        windows.settingsWindow()->close();
        windows.showMediaTarget();
        windows.mediaTargetWindow()->picked(1);
        windows.mediaTargetWindow()->close();
        windows.showSettings();
        QCOMPARE(child<QComboBox>(*windows.settingsWindow(), u"targetCombo"_s)->currentIndex(), 1);
        choose(child<QComboBox>(*windows.settingsWindow(), u"targetCombo"_s), 2);
        windows.settingsWindow()->close();
        windows.showMediaTarget();
        QVERIFY(windows.mediaTargetWindow()->radios().at(2)->isChecked());
    }

    // After apply, a local model that the server does not list is reported; the online engine is not checked.
    void modelCheckAfterApply_data()
    {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("reported");
        QTest::newRow("listed") << u"ollama"_s << u"a:1"_s << false;
        QTest::newRow("not downloaded") << u"ollama"_s << u"b:2"_s << true;
        QTest::newRow("online") << u"openai"_s << u"b:2"_s << false;
    }

    void modelCheckAfterApply()
    {
        QFETCH(QString, engine);
        QFETCH(QString, name);
        QFETCH(bool, reported);
        m_server->on(u"/api/tags"_s, Response::json(200, tags({ u"a:1"_s })));
        AppModel& m = model({ { u"engine"_s, engine } });
        m.settings().engineRaw = u"ollama"_s;
        QSignalSpy listed(&m, &AppModel::modelsChanged);
        m.refreshModels();
        QVERIFY(listed.wait(10'000));
        m.settings().engineRaw = engine;
        SettingsWindow window(m);
        window.show();
        child<QComboBox>(window, u"modelCombo"_s)->setEditText(name);
        window.apply();
        QVERIFY(!window.isVisible());
        QCOMPARE(m.statusMessage().startsWith(u"已切换到 "_s + name), reported);
    }

    // The download button and note follow the download; a finished one refills the list.
    void download_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("note");
        QTest::newRow("done") << u" new:1 "_s << QByteArray("{\"status\":\"success\"}\n") << u"✅ 下载完成"_s;
        QTest::newRow("failed") << u"new:1"_s
                                << QByteArray("{\"error\":\"pull model manifest: file does not exist\"}\n")
                                << u"❌ 下载失败："_s;
        QTest::newRow("no name") << u" "_s << QByteArray() << u"请先填写模型名，例如 qwen2.5vl:7b"_s;
        QTest::newRow("name with a blank") << u"new 1"_s << QByteArray() << u"❌ 模型名里不能有空格"_s;
    }

    void download()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, stream);
        QFETCH(QString, note);
        install(true);
        m_server->on(
            u"/api/pull"_s, Response::ndjson("{\"status\":\"pulling manifest\"}\n" + stream, 0, 300));
        m_server->on(u"/api/tags"_s, Response::json(200, tags({ u"new:1"_s })));
        SettingsWindow window(model());
        window.show();
        auto* button = child<QPushButton>(window, u"pullButton"_s);
        auto* label = child<QLabel>(window, u"pullNoteLabel"_s);
        child<QComboBox>(window, u"modelCombo"_s)->setEditText(typed);
        QTest::mouseClick(button, Qt::LeftButton);
        if (!stream.isEmpty()) {
            QCOMPARE(button->text(), u"下载中…"_s);
            QVERIFY(!button->isEnabled());
            QTest::mouseClick(button, Qt::LeftButton); // a second click starts nothing
        }
        QTRY_VERIFY_WITH_TIMEOUT(label->text().startsWith(note), 10'000);
        const QColor red = Colours::failure();
        QCOMPARE(label->palette().color(label->foregroundRole()) == red, note.startsWith(u"❌"));
        QVERIFY(button->isEnabled());
        QCOMPARE(m_server->count(u"/api/pull"_s), stream.isEmpty() ? 0 : 1);
        if (note.startsWith(u"✅"))
            QTRY_COMPARE(child<QComboBox>(window, u"modelCombo"_s)->count(), 1);
    }

    // Marks, button and note per readiness; all ready closes the window.
    void onboarding_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::addColumn<int>("status"); // of the model list; 0: not running
        QTest::addColumn<QStringList>("models");
        QTest::addColumn<QString>("marks");
        QTest::addColumn<bool>("pullEnabled");
        QTest::addColumn<QString>("note");
        QTest::newRow("not installed")
            << false << 0 << QStringList() << u"❌❌❌"_s << false << Messages::NotInstalledHint;
        QTest::newRow("not running") << true << 0 << QStringList() << u"✅❌❌"_s << false
                                     << Messages::NotRunningHint;
        QTest::newRow("no model") << true << 200 << QStringList() << u"✅✅❌"_s << true
                                  << Messages::NoModelHint;
        QTest::newRow("ready") << true << 200 << QStringList { u"a:1"_s } << u"✅✅✅"_s << false
                               << u"✅ 已全部就绪，可以开始使用！"_s;
    }

    void onboarding()
    {
        QFETCH(bool, installed);
        QFETCH(int, status);
        QFETCH(QStringList, models);
        QFETCH(QString, marks);
        QFETCH(bool, pullEnabled);
        QFETCH(QString, note);
        if (!installed && QFile::exists(u"/usr/local/bin/ollama"_s))
            QSKIP("a real server program is installed on this machine");
        install(installed);
        m_server->on(u"/api/tags"_s, Response::json(status, tags(models)));
        AppModel& m = model();
        if (status == 0)
            m.settings().ollamaEndpoint = u"http://127.0.0.1:1"_s; // nothing listens there
        OnboardingWindow window(m);
        window.show();
        QSignalSpy spy(&m, &AppModel::readinessChanged);
        QTest::mouseClick(child<QPushButton>(window, u"retryButton"_s), Qt::LeftButton);
        QVERIFY(spy.wait(20'000));
        QString shown;
        for (QLabel* mark : window.statusLabels())
            shown += mark->text();
        QCOMPARE(shown, marks);
        QCOMPARE(window.pullButton()->isEnabled(), pullEnabled);
        QCOMPARE(window.noteLabel()->text(), note);
        QCOMPARE(window.isVisible(), models.isEmpty());
    }

    void copiedCommands()
    {
        OnboardingWindow window(model());
        const QStringList expected { Messages::InstallCommand, SetupSteps::startCommand(),
            u"ollama pull qwen2.5vl:7b"_s };
        for (int i = 0; i < 3; ++i) {
            QGuiApplication::clipboard()->clear();
            QTest::mouseClick(window.copyButtons().at(i), Qt::LeftButton);
            QCOMPARE(QGuiApplication::clipboard()->text(), expected.at(i));
        }
        QVERIFY(Messages::NotInstalledHint.contains(Messages::InstallCommand));
        const QString unit = m_dir.filePath(u"ollama.service"_s);
        QCOMPARE(SetupSteps::startCommand({ unit }), u"ollama serve"_s);
        QFile(unit).open(QIODevice::WriteOnly);
        QCOMPARE(SetupSteps::startCommand({ unit }), u"systemctl start ollama"_s);
    }

    void updateAlert_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("choice");
        QTest::addColumn<bool>("skipped");
        QTest::addColumn<bool>("opened");
        QTest::newRow("download") << u"去下载"_s << int(UpdateChecker::Choice::Download) << false << true;
        QTest::newRow("skip") << u"跳过此版本"_s << int(UpdateChecker::Choice::Skip) << true << false;
        QTest::newRow("later") << u"稍后再说"_s << int(UpdateChecker::Choice::Later) << false << false;
        QTest::newRow("closed") << QString() << int(UpdateChecker::Choice::Later) << false << false;
    }

    void updateAlert()
    {
        QFETCH(QString, button);
        QFETCH(int, choice);
        QFETCH(bool, skipped);
        QFETCH(bool, opened);
        model();
        m_opened.clear();
        UpdateChecker::Environment environment;
        environment.storePath = storePath();
        environment.pageURL = QUrl(u"https://downloads.example/ondrel/index.html"_s);
        environment.currentVersion = u"1.0"_s;
        QTimer::singleShot(0, [button] {
            auto* alert = qobject_cast<UpdateAlert*>(QApplication::activeModalWidget());
            QVERIFY(alert);
            QCOMPARE(alert->informativeText(),
                u"网站上已发布 Velmora 1.4，你当前使用的是 1.0。\n更新后可用上新功能与修复。"_s);
            for (const QLabel* label : alert->findChildren<QLabel*>())
                QVERIFY(label->textFormat() == Qt::PlainText && !label->openExternalLinks());
            for (QAbstractButton* b : alert->buttons()) {
                if (b->text() == button)
                    return b->click();
            }
            alert->close();
        });
        QCOMPARE(int(UpdateAlert::ask(u"1.4"_s, environment, nullptr)), choice);
        QCOMPARE(stored(u"updateSkippedVersion"_s).toString() == u"1.4", skipped);
        QCOMPARE(m_opened, opened ? QList<QUrl> { environment.pageURL } : QList<QUrl>());
    }
};

QTEST_MAIN(TestSecondaryWindows)
#include "TestSecondaryWindows.moc"
