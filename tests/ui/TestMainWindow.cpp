// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/QtTranslations.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "naming/NameBuilder.h"
#include "support/ImportWait.h"
#include "ui/main/DetailPane.h"
#include "ui/main/ItemListModel.h"
#include "ui/main/MainWindow.h"
#include "ui/widgets/ItemListView.h"
#include "ui/widgets/WindowPlacement.h"
#include "ui/windows/RenameConfirmWindow.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& path)
{
    fs::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    ::close(fd);
}

// A drag of these URLs, as a file manager sends it.
QMimeData* uriList(const QList<QUrl>& urls)
{
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

// Answers the next modal message box with the button that has this text.
void answerMessageBox(const QString& button)
{
    QTimer::singleShot(0, [button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == button) {
                b->click();
                return;
            }
        }
        QFAIL("no such button");
    });
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<MainWindow> m_window;

    fs::path file(const QString& name) const
    {
        return fs::path(QFile::encodeName(m_dir.filePath(name)).toStdString());
    }

    // A window over a list of these (empty) files, shown.
    MainWindow& window(const QStringList& names = {}, const QString& target = u"both"_s)
    {
        m_window.reset();
        m_model = std::make_unique<AppModel>(m_dir.filePath(u"settings.json"_s));
        m_model->settings().mediaTargetRaw = target;
        std::vector<fs::path> paths;
        for (const QString& name : names) {
            touch(file(name));
            paths.push_back(file(name));
        }
        if (!paths.empty() && !importAndWait(*m_model, paths))
            qFatal("import did not finish");
        m_window = std::make_unique<MainWindow>(*m_model);
        m_window->show();
        QCoreApplication::processEvents();
        return *m_window;
    }

    // Five items in every state, with dates, places and names to search and sort by.
    MainWindow& reviewList()
    {
        using S = VideoItem::Status;
        struct Row
        {
            S status;
            QString content, location, name;
            QDateTime date;
        };
        const QList<Row> rows {
            { S::Analyzed, u"古镇石桥"_s, u"上里古镇"_s, u"2026-02-08_上里古镇_古镇石桥"_s,
                QDateTime(QDate(2026, 2, 8), QTime(12, 0)) },
            { S::Pending, {}, {}, {}, {} },
            { S::Error, {}, {}, {}, QDateTime(QDate(2025, 1, 1), QTime(12, 0)) },
            { S::Renamed, u"喝茶"_s, u"1919茶楼"_s, u"x"_s, QDateTime(QDate(2024, 5, 1), QTime(12, 0)) },
            { S::Analyzing, {}, {}, {}, QDateTime(QDate(2026, 3, 1), QTime(12, 0)) },
        };
        MainWindow& w
            = window({ u"IMG_10.mp4"_s, u"IMG_9.mp4"_s, u"a+b(1).mp4"_s, u"DJI_0001.jpg"_s, u"clip.mp4"_s });
        for (int i = 0; i < rows.size(); ++i) {
            m_model->mutateItem(m_model->items().at(i).id, [&](VideoItem& item) {
                item.status = rows[i].status;
                item.content = rows[i].content;
                item.location = rows[i].location;
                item.proposedName = rows[i].name;
                item.creationDate = rows[i].date.isValid() ? std::optional(rows[i].date) : std::nullopt;
            });
        }
        return w;
    }

    QStringList shownNames() const
    {
        QStringList names;
        const QAbstractItemModel* shown = m_window->listView()->model();
        for (int row = 0; row < shown->rowCount(); ++row)
            names << shown->index(row, 0).data().toString().section(u'.', 0, 0);
        return names;
    }

    void select(int row)
    {
        ItemListView* list = m_window->listView();
        list->setCurrentIndex(list->model()->index(row, 0));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
    }

    void cleanup()
    {
        m_window.reset();
        m_model.reset();
    }

    void listModelFollowsTheWorkList()
    {
        window({ u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s });
        ItemListModel items(*m_model);
        QAbstractItemModelTester tester(&items, QAbstractItemModelTester::FailureReportingMode::QtTest);
        touch(file(u"e.mp4"_s));
        QVERIFY(importAndWait(*m_model, { file(u"e.mp4"_s) }));
        QCOMPARE(items.rowCount(), 4);
        m_model->removeItems({ 0, 2, 3 });
        QCOMPARE(items.rowCount(), 1);
        QCOMPARE(items.index(0).data().toString(), u"b.mp4"_s);
        m_model->clearItems();
        QCOMPARE(items.rowCount(), 0);
    }

    // Only local files and folders reach the list, from a drop on the list or anywhere on the window.
    void drops_data()
    {
        QTest::addColumn<bool>("onList");
        QTest::addColumn<QStringList>("urls"); // "@name" is a file of the test folder
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("accepted");
        const QStringList mixed { u"@drop/a.mp4"_s, u"https://example.com/b.mp4"_s, u"@drop/sub"_s };
        QTest::newRow("files on the list") << true << QStringList { u"@drop/a.mp4"_s, u"@drop/p.jpg"_s }
                                           << QStringList { u"a.mp4"_s, u"p.jpg"_s } << true;
        QTest::newRow("folder on the window")
            << false << QStringList { u"@drop/sub"_s } << QStringList { u"c.mp4"_s } << true;
        QTest::newRow("mixed on the list") << true << mixed << QStringList { u"a.mp4"_s, u"c.mp4"_s } << true;
        QTest::newRow("web link only")
            << true << QStringList { u"https://example.com/b.mp4"_s } << QStringList {} << false;
        QTest::newRow("name that is not UTF-8")
            << true << QStringList { u"@drop/%B0%A1.mp4"_s } << QStringList { u"\uFFFD\uFFFD.mp4"_s } << true;
        QTest::newRow("remote file URL")
            << false << QStringList { u"file://elsewhere.example/x.mp4"_s } << QStringList {} << false;
    }

    void drops()
    {
        QFETCH(bool, onList);
        QFETCH(QStringList, urls);
        QFETCH(QStringList, expected);
        QFETCH(bool, accepted);
        // "\xB0\xA1" is "啊" in GBK, as archives from elsewhere carry it.
        for (const char* name : { "a.mp4", "p.jpg", "sub/c.mp4", "\xB0\xA1.mp4" })
            touch(file(u"drop"_s) / name);
        MainWindow& w = window();
        const QByteArray folder = QUrl::fromLocalFile(m_dir.path()).toEncoded() + '/';
        QList<QUrl> list;
        for (const QString& url : urls)
            list << (url.startsWith(u'@')
                    ? QUrl::fromEncoded(folder + url.mid(1).toLatin1(), QUrl::StrictMode)
                    : QUrl(url));
        std::unique_ptr<QMimeData> mime(uriList(list));
        QWidget* target = onList ? w.listView()->viewport() : static_cast<QWidget*>(&w);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QCOMPARE(enter.isAccepted(), accepted);
        if (onList)
            QCOMPARE(w.listView()->isDropTarget(), accepted); // the accent frame shows
        QDropEvent drop(at, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
        QSignalSpy finished(m_model.get(), &AppModel::importFinished);
        QApplication::sendEvent(target, &drop);
        QVERIFY(!w.listView()->isDropTarget());
        if (accepted)
            QVERIFY(finished.wait(10'000));
        QStringList names;
        for (const VideoItem& item : m_model->items()) {
            names << displayFileName(item.url);
            QVERIFY(fs::exists(item.url)); // the path is the file's own bytes
        }
        QCOMPARE(names, expected);
    }

    // A damaged settings file was moved aside: the window says so where the user looks.
    void settingsMovedAside()
    {
        QFile damaged(m_dir.filePath(u"damaged.json"_s));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("{ not json");
        damaged.close();
        AppModel model(damaged.fileName());
        MainWindow w(model);
        QVERIFY(w.statusText().startsWith(u"设置文件已损坏，已另存为 "_s));
    }

    // Delete and Backspace take the selected rows off the list, never off the disk; clearing asks first.
    void removal_data()
    {
        QTest::addColumn<int>("key"); // 0: clear the list, answering with button
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("left");
        QTest::addColumn<QString>("status"); // empty: not checked
        const QStringList all { u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s };
        QTest::newRow("Delete") << int(Qt::Key_Delete) << QString() << QStringList { u"b.mp4"_s }
                                << QString();
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << QString() << QStringList { u"b.mp4"_s }
                                   << QString();
        QTest::newRow("Delete, nothing selected") << int(Qt::Key_Delete) << QString() << all
                                                  << u"请先在列表中选择要移除的条目（Ctrl / Shift 可多选）"_s;
        QTest::newRow("clear, cancelled") << 0 << u"取消"_s << all << QString();
        QTest::newRow("clear") << 0 << u"清空"_s << QStringList() << u"列表已清空，可导入新的素材或文件夹"_s;
    }

    void removal()
    {
        QFETCH(int, key);
        QFETCH(QString, button);
        QFETCH(QStringList, left);
        QFETCH(QString, status);
        MainWindow& w = window({ u"a.mp4"_s, u"b.mp4"_s, u"c.mp4"_s });
        if (key != 0 && left.size() == 1) { // a and c selected
            w.listView()->selectionModel()->select(
                w.listView()->model()->index(0, 0), QItemSelectionModel::Select);
            w.listView()->selectionModel()->select(
                w.listView()->model()->index(2, 0), QItemSelectionModel::Select);
        }
        if (key != 0) {
            QTest::keyClick(w.listView(), Qt::Key(key));
        } else {
            answerMessageBox(button);
            w.clearList();
        }
        QCoreApplication::processEvents();
        QStringList names;
        for (const VideoItem& item : m_model->items())
            names << displayFileName(item.url);
        QCOMPARE(names, left);
        QTRY_COMPARE(w.countText(), u"共 %1 个"_s.arg(left.size()));
        if (!status.isEmpty())
            QTRY_COMPARE(w.statusText(), status);
        QVERIFY(fs::exists(file(u"a.mp4"_s)));
    }

    // Content and place rebuild the name; the name field keeps what was typed; a field left without a
    // change leaves a typed name alone.
    void fieldEdits_data()
    {
        QTest::addColumn<int>("field"); // 0 content, 1 place, 2 name
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expectedName"); // "*" means what the name builder makes
        QTest::addColumn<bool>("byToolbar"); // ended by a toolbar button rather than Return
        QTest::newRow("content") << 0 << u"喝茶聊天"_s << u"*"_s << false;
        QTest::newRow("place") << 1 << u"茶楼"_s << u"*"_s << false;
        QTest::newRow("name as typed") << 2 << u"my:name?"_s << u"my:name?"_s << false;
        QTest::newRow("content left unchanged") << 0 << QString() << u"手写的名字"_s << false;
        QTest::newRow("name, then a toolbar button") << 2 << u"新名字"_s << u"新名字"_s << true;
    }

    void fieldEdits()
    {
        QFETCH(int, field);
        QFETCH(QString, typed);
        QFETCH(QString, expectedName);
        QFETCH(bool, byToolbar);
        MainWindow& w = window({ u"a.mp4"_s });
        const QUuid id = m_model->items().at(0).id;
        m_model->mutateItem(id, [](VideoItem& item) {
            item.status = VideoItem::Status::Analyzed;
            item.content = u"散步"_s;
            item.proposedName = u"手写的名字"_s;
        });
        select(0);
        DetailPane* pane = w.detailPane();
        QLineEdit* edit = field == 0 ? pane->contentField()
            : field == 1             ? pane->locationField()
                                     : pane->proposedField();
        edit->setFocus();
        if (!typed.isNull()) {
            // Chinese arrives from the input method, replacing the selection.
            edit->selectAll();
            QInputMethodEvent input;
            input.setCommitString(typed);
            QApplication::sendEvent(edit, &input);
        }
        if (byToolbar) // the button takes no focus: the field is still being edited when it acts
            w.findChild<QAction*>(u"undo"_s)->trigger();
        else
            QTest::keyClick(edit, Qt::Key_Return);
        const VideoItem item = *m_model->itemSnapshot(id);
        QCOMPARE(item.proposedName,
            expectedName == u"*" ? NameBuilder::build(item, m_model->settings()) : expectedName);
        QCOMPARE(item.status, VideoItem::Status::Analyzed);
        QCOMPARE(pane->proposedField()->text(), item.proposedName);
        QVERIFY(w.listView()
                    ->model()
                    ->index(0, 0)
                    .data(Qt::AccessibleTextRole)
                    .toString()
                    .endsWith(u"，新文件名："_s + ItemListModel::proposedFileName(item)
                        + (field == 2 ? u"（手动）"_s : u""_s)));
        if (field == 0 && !typed.isNull())
            QCOMPARE(item.content, typed);
    }

    // A name typed for a failed item is used; a file gone from disk is reported on its row and in the pane.
    void renameTypedAndVanished()
    {
        MainWindow& w = window({ u"failed.mp4"_s, u"vanished.mp4"_s });
        for (const VideoItem& item : m_model->items()) {
            m_model->mutateItem(item.id, [](VideoItem& it) {
                it.status = it.url.filename() == "failed.mp4" ? VideoItem::Status::Error
                                                              : VideoItem::Status::Analyzed;
                it.analysisText = u"{\"content\": \"\"}"_s;
                it.proposedName = u"模型的名字"_s;
            });
        }
        select(0);
        QLineEdit* edit = w.detailPane()->proposedField();
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_End);
        QTest::keyClicks(edit, u"-2"_s);
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(fs::remove(file(u"vanished.mp4"_s)));
        w.findChild<QAction*>(u"rename"_s)->trigger();
        w.findChild<RenameConfirmWindow*>()->renameButton()->click();
        QVERIFY(fs::exists(file(u"模型的名字-2.mp4"_s)));
        QCOMPARE(m_model->items().at(0).status, VideoItem::Status::Renamed);
        select(1);
        QCOMPARE(w.detailPane()->failureLabel()->text(), u"上次重命名失败：原文件已不存在"_s);
        QVERIFY(w.detailPane()->failureLabel()->isVisible());
        QVERIFY(w.listView()->model()->index(1, 0).data(ItemListModel::IsErrorRole).toBool());
    }

    // Files in the list all proposing 茶楼; "=" marks a file not in the list, "-" one removed before the
    // rename. The window lists what is not plain as "old|new|notes"; a plain batch renames at once.
    void confirmBeforeRenaming_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("count");
        QTest::newRow("plain") << QStringList { u"a.mp4"_s } << QStringList {} << 1;
        QTest::newRow("same name") << QStringList { u"a.mp4"_s, u"b.mp4"_s }
                                   << QStringList { u"a.mp4|茶楼.mp4|与 b.mp4 提议的名称相同，不加编号"_s,
                                          u"b.mp4|茶楼-2.mp4|与 a.mp4 提议的名称相同，编号为“-2”"_s }
                                   << 2;
        QTest::newRow("gone") << QStringList { u"a.mp4"_s, u"-b.mp4"_s }
                              << QStringList { u"b.mp4|（不重命名）|原文件已不存在"_s } << 1;
        QTest::newRow("taken and a sidecar")
            << QStringList { u"a.mp4"_s, u"=茶楼.mp4"_s, u"=a.srt"_s }
            << QStringList { u"a.mp4|茶楼-2.mp4|同名文件已存在，编号为“-2”"_s,
                   u"a.srt|茶楼-2.srt|随 a.mp4 一起改名"_s }
            << 1;
    }

    void confirmBeforeRenaming()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, rows);
        QFETCH(int, count);
        QTemporaryDir dir;
        m_dir.swap(dir); // a folder of its own for each row
        QStringList listed;
        for (const QString& name : files) {
            if (name.startsWith(u'='))
                touch(file(name.mid(1)));
            else
                listed.append(name.startsWith(u'-') ? name.mid(1) : name);
        }
        MainWindow& w = window(listed);
        for (const VideoItem& item : m_model->items()) {
            m_model->mutateItem(item.id, [](VideoItem& it) {
                it.status = VideoItem::Status::Analyzed;
                it.proposedName = u"茶楼"_s;
            });
        }
        for (const QString& name : files) {
            if (name.startsWith(u'-'))
                QVERIFY(fs::remove(file(name.mid(1))));
        }
        w.findChild<QAction*>(u"rename"_s)->trigger();
        auto* confirm = w.findChild<RenameConfirmWindow*>();
        QCOMPARE(confirm != nullptr, !rows.isEmpty());
        if (confirm) {
            QVERIFY(confirm->isVisible());
            QCOMPARE(confirm->windowTitle(), u"重命名前请确认"_s);
            QStringList shown;
            for (int i = 0; i < confirm->fileList()->topLevelItemCount(); ++i) {
                const QTreeWidgetItem* row = confirm->fileList()->topLevelItem(i);
                shown.append(row->text(0) + u'|' + row->text(1) + u'|' + row->text(2));
            }
            QCOMPARE(shown, rows);
            QCOMPARE(confirm->renameButton()->text(), u"重命名 %1 个"_s.arg(count));
            confirm->findChild<QPushButton*>(u"cancelButton"_s)->click();
            QVERIFY(fs::exists(file(listed.first())));
            QTRY_VERIFY(!w.findChild<RenameConfirmWindow*>());
            w.findChild<QAction*>(u"rename"_s)->trigger();
            w.findChild<RenameConfirmWindow*>()->renameButton()->click();
        }
        QCOMPARE(std::count_if(m_model->items().cbegin(), m_model->items().cend(),
                     [](const VideoItem& item) { return item.status == VideoItem::Status::Renamed; }),
            count);
        m_dir.swap(dir);
    }

    // The rename runs on the list as it is when the user confirms; its record can be exported.
    void listChangesWhileConfirming()
    {
        MainWindow& w = window({ u"x/a.mp4"_s, u"x/b.mp4"_s });
        for (const VideoItem& item : m_model->items()) {
            m_model->mutateItem(item.id, [](VideoItem& it) {
                it.status = VideoItem::Status::Analyzed;
                it.proposedName = u"茶楼"_s;
                it.content = u"喝茶"_s;
            });
        }
        w.findChild<QAction*>(u"rename"_s)->trigger();
        m_model->removeItems({ 1 });
        w.findChild<RenameConfirmWindow*>()->renameButton()->click();
        QVERIFY(fs::exists(file(u"x/茶楼.mp4"_s)));
        QVERIFY(fs::exists(file(u"x/b.mp4"_s)));

        // The record of the batch knows what the list knows of the file.
        QVERIFY(w.listView()->findChild<QAction*>(u"exportRecordAction"_s));
        w.exportRenameRecord(m_dir.filePath(u"record.csv"_s));
        QFile record(m_dir.filePath(u"record.csv"_s));
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QByteArray csv = record.readAll();
        QVERIFY(csv.contains("/x/茶楼.mp4,"_ba) && csv.contains(",喝茶,"_ba));
    }

    void companionsAndTheNameTheFileGets()
    {
        MainWindow& w = window({ u"p.CR3"_s, u"p.JPG"_s, u"p.xmp"_s });
        m_model->mutateItem(m_model->items().at(1).id, [](VideoItem& item) {
            item.status = VideoItem::Status::Analyzed;
            item.proposedName = QString(100, u'茶');
        });
        select(0);
        DetailPane* pane = w.detailPane();
        QCOMPARE(pane->companionsLabel()->text(), u"随附文件：p.JPG、p.xmp"_s);
        QVERIFY(pane->companionsLabel()->isVisible());
        // The RAW half took the picture's name; the file would get what fits in 255 bytes.
        QCOMPARE(pane->resultLabel()->text(), u"重命名后："_s + QString(82, u'茶') + u".CR3"_s);
        const QString tip = w.listView()->model()->index(0, 0).data(Qt::ToolTipRole).toString();
        QVERIFY(tip.endsWith(pane->companionsLabel()->text()));
        // A date that is not the camera's own says where it came from.
        m_model->mutateItem(m_model->items().at(0).id, [](VideoItem& item) {
            item.creationDate = QDateTime(QDate(2019, 10, 6), QTime(14, 30), Qt::UTC);
            item.dateSource = DateSource::FileName;
        });
        QTRY_COMPARE(pane->captureDateLabel()->text(), u"拍摄时间：2019-10-06 14:30（来自文件名）"_s);
    }

    void rowTexts_data()
    {
        using S = VideoItem::Status;
        QTest::addColumn<S>("status");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("analysis");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("renamable"); // the row shows the name the file will get
        QTest::newRow("pending") << S::Pending << u"x"_s << QString() << QString() << u"待分析"_s << false;
        QTest::newRow("analysing") << S::Analyzing << QString() << QString() << QString() << u"分析中"_s
                                   << false;
        QTest::newRow("analysed") << S::Analyzed << u"喝茶"_s << QString() << QString() << u"已分析 · 喝茶"_s
                                  << true;
        QTest::newRow("analysed, no content")
            << S::Analyzed << QString() << QString() << QString() << u"已分析"_s << true;
        QTest::newRow("renamed") << S::Renamed << u"喝茶"_s << QString() << QString() << u"已重命名 · 喝茶"_s
                                 << false;
        QTest::newRow("error") << S::Error << QString() << u"错误：超时"_s << QString()
                               << u"出错 · 错误：超时"_s << false;
        QTest::newRow("rename failed") << S::Analyzed << u"喝茶"_s << QString() << u"原文件已不存在"_s
                                       << u"重命名失败 · 原文件已不存在"_s << true;
        QTest::newRow("error, no text")
            << S::Error << QString() << QString() << QString() << u"出错"_s << false;
    }

    void rowTexts()
    {
        QFETCH(VideoItem::Status, status);
        QFETCH(QString, content);
        QFETCH(QString, analysis);
        QFETCH(QString, failure);
        QFETCH(QString, text);
        QFETCH(bool, renamable);
        MainWindow& w = window({ u"a.mp4"_s });
        m_model->mutateItem(m_model->items().at(0).id, [&](VideoItem& item) {
            item.status = status;
            item.content = content;
            item.analysisText = analysis;
            item.renameFailure = failure;
            item.proposedName = u"新名"_s; // left from an earlier analysis where the item failed since
        });
        const QModelIndex row = w.listView()->model()->index(0, 0);
        QCOMPARE(row.data(ItemListModel::StatusTextRole).toString(), text);
        QCOMPARE(row.data(ItemListModel::IsErrorRole).toBool(),
            status == VideoItem::Status::Error || !failure.isEmpty());
        QCOMPARE(row.data(Qt::AccessibleTextRole).toString(),
            u"a.mp4，"_s + text + (renamable ? u"，新文件名：新名.mp4"_s : QString()));
    }

    void filter_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<int>("group"); // 0 all, 1 pending, 2 analysed, 3 renamed, 4 failed
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("everything") << u""_s << 0
                                    << QStringList { u"IMG_10"_s, u"IMG_9"_s, u"a+b(1)"_s, u"DJI_0001"_s,
                                           u"clip"_s };
        QTest::newRow("original name, any case") << u"img_"_s << 0 << QStringList { u"IMG_10"_s, u"IMG_9"_s };
        QTest::newRow("content") << u"石桥"_s << 0 << QStringList { u"IMG_10"_s };
        QTest::newRow("place") << u"1919"_s << 0 << QStringList { u"DJI_0001"_s };
        QTest::newRow("new name") << u"2026-02-08"_s << 0 << QStringList { u"IMG_10"_s };
        QTest::newRow("each word somewhere") << u" 上里  img "_s << 0 << QStringList { u"IMG_10"_s };
        QTest::newRow("regex characters are plain") << u"a+b("_s << 0 << QStringList { u"a+b(1)"_s };
        QTest::newRow("no wildcard") << u".*"_s << 0 << QStringList {};
        QTest::newRow("pending includes analysing") << u""_s << 1 << QStringList { u"IMG_9"_s, u"clip"_s };
        QTest::newRow("failed") << u""_s << 4 << QStringList { u"a+b(1)"_s };
        QTest::newRow("group and search") << u"img"_s << 1 << QStringList { u"IMG_9"_s };
    }

    void filter()
    {
        QFETCH(QString, search);
        QFETCH(int, group);
        QFETCH(QStringList, shown);
        MainWindow& w = reviewList();
        w.groupFilter()->setCurrentIndex(group);
        w.searchField()->setText(search);
        QCOMPARE(shownNames(), shown);
        QCOMPARE(w.countText(), shown.size() == 5 ? u"共 5 个"_s : u"显示 %1 / 共 5 个"_s.arg(shown.size()));
        QCOMPARE(w.listView()->hintLabel()->isVisible(), shown.isEmpty());
        QStringList groups;
        for (int i = 0; i < w.groupFilter()->count(); ++i)
            groups << w.groupFilter()->itemText(i);
        QCOMPARE(groups,
            (QStringList {
                u"全部（5）"_s, u"待分析（2）"_s, u"已分析（1）"_s, u"已重命名（1）"_s, u"失败（1）"_s }));
    }

    void sort_data()
    {
        QTest::addColumn<int>("order");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("added") << 0
                               << QStringList { u"IMG_10"_s, u"IMG_9"_s, u"a+b(1)"_s, u"DJI_0001"_s,
                                      u"clip"_s };
        QTest::newRow("capture time, undated last")
            << 1 << QStringList { u"DJI_0001"_s, u"a+b(1)"_s, u"IMG_10"_s, u"clip"_s, u"IMG_9"_s };
        QTest::newRow("file name, numbers as numbers")
            << 2 << QStringList { u"a+b(1)"_s, u"clip"_s, u"DJI_0001"_s, u"IMG_9"_s, u"IMG_10"_s };
        QTest::newRow("status, failed first")
            << 3 << QStringList { u"a+b(1)"_s, u"IMG_9"_s, u"clip"_s, u"IMG_10"_s, u"DJI_0001"_s };
    }

    // Sorted and back; the selection follows its item, and removing it removes that item.
    void sort()
    {
        QFETCH(int, order);
        QFETCH(QStringList, shown);
        MainWindow& w = reviewList();
        select(4); // clip
        w.orderBox()->setCurrentIndex(order);
        QCOMPARE(shownNames(), shown);
        QCOMPARE(w.listView()->currentIndex().data().toString(), u"clip.mp4"_s);
        QCOMPARE(w.detailPane()->shownId(), m_model->items().at(4).id);
        w.orderBox()->setCurrentIndex(0);
        w.orderBox()->setCurrentIndex(order);
        w.deleteSelected();
        shown.removeOne(u"clip"_s);
        QCOMPARE(shownNames(), shown);
    }

    // Several rows: shared values show, differing ones say so; an edit reaches every selected item.
    void bulkEdit()
    {
        MainWindow& w = reviewList();
        m_model->mutateItem(m_model->items().at(4).id, [](VideoItem& item) {
            item.location = u"上里古镇"_s;
            item.nameByHand = true;
        });
        QItemSelectionModel* selection = w.listView()->selectionModel();
        for (int row : { 0, 4 })
            selection->select(w.listView()->model()->index(row, 0), QItemSelectionModel::Select);
        DetailPane* pane = w.detailPane();
        QCOMPARE(pane->locationField()->text(), u"上里古镇"_s);
        QCOMPARE(pane->contentField()->text(), QString());
        QCOMPARE(pane->contentField()->placeholderText(), u"（多个值）"_s);
        QVERIFY(!pane->proposedField()->isEnabled());
        pane->contentField()->setFocus();
        QTest::keyClicks(pane->contentField(), u"tea"_s);
        QTest::keyClick(pane->contentField(), Qt::Key_Return);
        for (int row : { 0, 4 }) {
            const VideoItem item = m_model->items().at(row);
            QCOMPARE(item.content, u"tea"_s);
            QVERIFY(item.contentByHand && !item.nameByHand);
            QCOMPARE(item.proposedName, NameBuilder::build(item, m_model->settings()));
        }
        QCOMPARE(m_model->items().at(1).content, QString());
        QTRY_COMPARE(pane->contentField()->text(), u"tea"_s);
    }

    // The list the last session left shows its selected item in the pane at once, not "未选择".
    void restoredSelectionShows()
    {
        m_window.reset();
        m_model.reset();
        const AppModel::Storage storage { file(u"catalogue.sqlite"_s) };
        const std::vector<fs::path> paths { file(u"a.mp4"_s), file(u"b.mp4"_s) };
        for (const fs::path& path : paths)
            touch(path);
        {
            AppModel first(m_dir.filePath(u"settings.json"_s), storage);
            QVERIFY(importAndWait(first, paths));
            first.mutateItem(first.items().at(1).id, [](VideoItem& item) { item.content = u"夜市"_s; });
            first.catalogue()->setSelection({ first.items().at(1).id });
            QVERIFY(first.catalogue()->flush(std::chrono::seconds(5)));
        }
        m_model = std::make_unique<AppModel>(m_dir.filePath(u"settings.json"_s), storage);
        QCOMPARE(m_model->items().size(), 2);
        m_window = std::make_unique<MainWindow>(*m_model);
        QCOMPARE(m_window->detailPane()->contentField()->text(), u"夜市"_s);
    }

    // Ctrl+Down / Ctrl+Up apply the edit, move between the rows shown and keep the field.
    void keyboardSteps()
    {
        MainWindow& w = reviewList();
        w.groupFilter()->setCurrentIndex(1); // IMG_9, clip
        select(0);
        QLineEdit* place = w.detailPane()->locationField();
        place->setFocus();
        QTest::keyClicks(place, u"tea house"_s);
        QTest::keyClick(place, Qt::Key_Down, Qt::ControlModifier);
        QCOMPARE(m_model->items().at(1).location, u"tea house"_s);
        QCOMPARE(w.detailPane()->shownId(), m_model->items().at(4).id);
        QCOMPARE(QApplication::focusWidget(), place);
        QCOMPARE(place->text(), QString());
        QTest::keyClick(place, Qt::Key_Down, Qt::ControlModifier); // the last row stays
        QCOMPARE(w.detailPane()->shownId(), m_model->items().at(4).id);
        QTest::keyClick(place, Qt::Key_Up, Qt::ControlModifier);
        QCOMPARE(place->text(), u"tea house"_s);
        QCOMPARE(w.listView()->selectionModel()->selectedRows().size(), 1);
    }

    // Where the date and the place came from.
    void sources_data()
    {
        QTest::addColumn<bool>("photo");
        QTest::addColumn<DateSource>("dateSource");
        QTest::addColumn<int>("place"); // 0 the folder's, 1 the GPS's, 2 the model's, 3 typed
        QTest::addColumn<QString>("dateText");
        QTest::addColumn<QString>("placeText");
        QTest::newRow("photo, folder")
            << true << DateSource::Metadata << 0 << u"（来自 EXIF）"_s << u"（来自目录名）"_s;
        QTest::newRow("video, GPS") << false << DateSource::Metadata << 1 << u"（来自 QuickTime）"_s
                                    << u"（来自 GPS）"_s;
        QTest::newRow("XMP, GPS") << true << DateSource::Xmp << 1 << u"（来自 XMP）"_s << u"（来自 GPS）"_s;
        QTest::newRow("name, model") << false << DateSource::FileName << 2 << u"（来自文件名）"_s
                                     << u"（来自模型）"_s;
        QTest::newRow("modified, typed")
            << true << DateSource::FileModified << 3 << u"（来自文件修改时间）"_s << u"（手动）"_s;
    }

    void sources()
    {
        QFETCH(bool, photo);
        QFETCH(DateSource, dateSource);
        QFETCH(int, place);
        QFETCH(QString, dateText);
        QFETCH(QString, placeText);
        MainWindow& w = window({ u"a.mp4"_s });
        m_model->mutateItem(m_model->items().at(0).id, [&](VideoItem& item) {
            item.mediaKind = photo ? MediaKind::Photo : MediaKind::Video;
            item.creationDate = QDateTime(QDate(2026, 9, 18), QTime(14, 3), Qt::UTC);
            item.dateSource = dateSource;
            item.location = u"茶楼"_s;
            item.pathPlace = place == 0 ? u"茶楼"_s : u"别处"_s;
            item.geoPlace = place == 1 ? u"茶楼"_s : u"别处"_s;
            item.locationByHand = place == 3;
        });
        select(0);
        QCOMPARE(w.detailPane()->captureDateLabel()->text(), u"拍摄时间：2026-09-18 14:03"_s + dateText);
        QCOMPARE(w.detailPane()->placeSourceLabel()->text(), placeText);
    }

    void countHintAndToolbar_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("shortName");
        QTest::newRow("videos") << u"videos"_s << u"视频"_s << u"仅视频"_s;
        QTest::newRow("photos") << u"photos"_s << u"照片"_s << u"仅照片"_s;
        QTest::newRow("both") << u"both"_s << u"视频或照片"_s << u"两者都处理"_s;
        QTest::newRow("unknown counts as videos") << u"films"_s << u"视频"_s << u"仅视频"_s;
    }

    void countHintAndToolbar()
    {
        QFETCH(QString, target);
        QFETCH(QString, word);
        QFETCH(QString, shortName);
        MainWindow& w = window({}, target);
        QCOMPARE(w.countText(), u"共 0 个"_s);
        QLabel* hint = w.listView()->hintLabel();
        QVERIFY(hint->isVisible());
        QCOMPARE(hint->text(), u"把"_s + word + u"文件或文件夹拖到这里\n也可以点「添加文件」"_s);
        QCOMPARE(w.listView()->accessibleDescription(),
            u"把"_s + word + u"文件或文件夹拖到这里，也可以点「添加文件」"_s);
        QCOMPARE(w.mediaTargetAction()->text(), u"处理对象"_s);
        m_model->notify();
        QTRY_COMPARE(w.mediaTargetAction()->text(), u"处理对象："_s + shortName);
        touch(file(u"one.mp4"_s));
        touch(file(u"one.jpg"_s));
        QVERIFY(importAndWait(*m_model, { file(u"one.mp4"_s), file(u"one.jpg"_s) }));
        QTRY_COMPARE(w.countText(), u"共 %1 个"_s.arg(m_model->items().size()));
        QCOMPARE(hint->isVisible(), m_model->items().isEmpty());
        QCOMPARE(w.listView()->accessibleDescription().isEmpty(), !m_model->items().isEmpty());
    }

    void sliderSetsRowHeight_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("height");
        QTest::newRow("smallest") << 34 << 50;
        QTest::newRow("below the range") << 20 << 50;
        QTest::newRow("largest") << 96 << 112;
        QTest::newRow("beyond the range") << 200 << 112;
    }

    void sliderSetsRowHeight()
    {
        QFETCH(int, value);
        QFETCH(int, height);
        MainWindow& w = window({ u"a.mp4"_s, u"b.mp4"_s });
        select(1);
        w.previewSlider()->setValue(value);
        QTRY_COMPARE(w.listView()->visualRect(w.listView()->model()->index(1, 0)).height(), height);
        QCOMPARE(w.listView()->currentIndex().row(), 1); // the selection survives
    }

    // The divider starts where it should and keeps both sides usable; the stop button shows only in a run.
    void layout()
    {
        MainWindow& w = window();
        QVERIFY(!w.stopButton()->isVisible());
        QTRY_COMPARE(w.splitter()->sizes().at(0), MainWindow::InitialDivider);
        w.splitter()->setSizes({ 10, 2000 });
        QVERIFY(w.splitter()->sizes().at(0) >= MainWindow::ListMinimumWidth);
        w.splitter()->setSizes({ 2000, 10 });
        QVERIFY(w.splitter()->sizes().at(1) >= MainWindow::DetailMinimumWidth);
        QVERIFY(w.minimumSizeHint().width() <= 720 || w.minimumWidth() == 720);
    }

    // Secondary windows sit centred over the main window and at least 8 pixels inside the screen.
    void placement_data()
    {
        QTest::addColumn<QRect>("parent");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("centred") << QRect(100, 100, 1000, 600) << QSize(400, 300) << QPoint(400, 250);
        QTest::newRow("near the right edge")
            << QRect(1000, 100, 400, 300) << QSize(400, 300) << QPoint(872, 100);
        QTest::newRow("near the top left") << QRect(-200, -100, 300, 200) << QSize(400, 300) << QPoint(8, 8);
        QTest::newRow("larger than the screen") << QRect(0, 0, 1280, 800) << QSize(1400, 900) << QPoint(8, 8);
        QTest::newRow("below the bottom") << QRect(100, 700, 400, 300) << QSize(400, 300) << QPoint(100, 492);
    }

    void placement()
    {
        QFETCH(QRect, parent);
        QFETCH(QSize, size);
        QFETCH(QPoint, expected);
        QCOMPARE(WindowPlacement::centredOver(parent, size, QRect(0, 0, 1280, 800), 0), expected);
    }

    // Over ssh or in a script there is no display: the program answers or says why, and never aborts.
    void programWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << QStringList { u"--version"_s } << 0
                                 << u"velmora "_s + QStringLiteral(APP_VERSION);
        QTest::newRow("help") << QStringList { u"-h"_s } << 0 << u"用法：velmora"_s;
        QTest::newRow("window") << QStringList { u"/tmp"_s } << 1 << u"velmora-cli"_s;
        QTest::newRow("a file named --version")
            << QStringList { u"--"_s, u"--version"_s } << 1 << u"velmora-cli"_s;
    }

    void programWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& name : { u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s })
            environment.remove(name);
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(qEnvironmentVariable("VELMORA_APP"), arguments);
        QVERIFY(program.waitForFinished(10'000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        QVERIFY(QString::fromUtf8(program.readAllStandardOutput() + program.readAllStandardError())
                    .contains(output));
    }

    // Last: from here on Qt's own texts are Chinese.
    void standardDialogsInChinese()
    {
        QVERIFY(QtTranslations::install(*QCoreApplication::instance()));
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        QCOMPARE(dialog.findChild<QLabel*>(u"lookInLabel"_s)->text(), u"查找范围："_s);
        QCOMPARE(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->text(), u"取消"_s);
    }
};

QTEST_MAIN(TestMainWindow)
#include "TestMainWindow.moc"
