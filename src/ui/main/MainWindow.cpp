// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/MainWindow.h"

#include "common/AppSettings.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "media/FileKinds.h"
#include "naming/Messages.h"
#include "naming/RenameRecord.h"
#include "naming/Renamer.h"
#include "ui/main/DetailPane.h"
#include "ui/main/ItemDelegate.h"
#include "ui/main/ItemFilterModel.h"
#include "ui/main/ItemListModel.h"
#include "ui/widgets/DesktopNotifier.h"
#include "ui/widgets/DragPayload.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/FileManager.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/ItemListView.h"
#include "ui/windows/RenameConfirmWindow.h"
#include "ui/windows/SecondaryWindows.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSlider>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

QList<QUuid> selectedIds(const QAbstractItemView* list)
{
    QList<QUuid> ids;
    for (const QModelIndex& index : list->selectionModel()->selectedRows())
        ids.append(index.data(ItemListModel::IdRole).toUuid());
    return ids;
}

constexpr int StatusBarHeight = 28;
constexpr int MinThumbnail = 34; // rows fit the name, the status and the new name
// A run this long is worth a notification when it ends unseen.
constexpr qint64 LongRunMs = 30'000;
constexpr int MaxThumbnail = 96;

QString mediaWord(MediaTarget target)
{
    switch (target) {
    case MediaTarget::Videos:
        return u"视频"_s;
    case MediaTarget::Photos:
        return u"照片"_s;
    case MediaTarget::Both:
        return u"视频或照片"_s;
    }
    return u"视频"_s;
}

// "*.mp4 *.MP4 …": the dialog's patterns match letter case exactly, cameras write either.
QString patterns(const QStringList& extensions)
{
    QStringList all;
    for (const QString& extension : extensions)
        all << u"*."_s + extension << u"*."_s + extension.toUpper();
    return all.join(u' ');
}

QFont smaller(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(std::max(7.0, base.pointSizeF() - 1));
    return font;
}

} // namespace

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent)
    , m_model(model)
{
    setObjectName(u"mainWindow"_s);
    resize(1000, 680);
    setMinimumSize(720, 520);
    setAcceptDrops(true);
    m_windows = new SecondaryWindows(model, this);
    m_notifier = new DesktopNotifier(this);
    m_countsTimer = new QTimer(this);
    m_countsTimer->setSingleShot(true);
    m_countsTimer->setInterval(0);
    connect(m_countsTimer, &QTimer::timeout, this, &MainWindow::updateCounts);
    m_showTimer = new QTimer(this);
    m_showTimer->setSingleShot(true);
    m_showTimer->setInterval(0);
    connect(m_showTimer, &QTimer::timeout, this, &MainWindow::showSelected);

    m_splitter = new QSplitter(Qt::Horizontal);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setHandleWidth(1);
    m_splitter->addWidget(buildListPane());
    m_detail = new DetailPane(model);
    m_detail->setMinimumWidth(DetailMinimumWidth);
    m_splitter->addWidget(m_detail);
    // A wider window widens the detail pane; the list keeps its width.
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    setCentralWidget(m_splitter);
    buildStatusBar();

    connect(&model, &AppModel::changed, this, &MainWindow::refresh);
    connect(&model, &AppModel::itemsChanged, this, [this](qsizetype first, qsizetype last) {
        m_countsTimer->start();
        if (m_showsMany) {
            m_showTimer->start();
            return;
        }
        const QModelIndex current = m_filter->mapToSource(m_list->currentIndex());
        if (current.isValid() && current.row() >= first && current.row() <= last)
            showSelected();
    });
    connect(m_filter, &QAbstractItemModel::rowsRemoved, this, &MainWindow::showSelected);
    connect(m_filter, &QAbstractItemModel::modelReset, this, &MainWindow::showSelected);
    for (const auto signal : { &QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved })
        connect(m_filter, signal, m_countsTimer, qOverload<>(&QTimer::start));
    connect(m_filter, &QAbstractItemModel::modelReset, m_countsTimer, qOverload<>(&QTimer::start));
    connect(m_detail, &DetailPane::stepRequested, this, &MainWindow::step);
    // The selection is part of the list that the next start brings back.
    if (CatalogueLink* link = m_model.catalogue()) {
        for (const QUuid& id : link->selection()) {
            if (const auto position = m_model.positionOf(id)) {
                const QModelIndex row = m_filter->mapFromSource(m_items->index(int(*position)));
                m_list->selectionModel()->select(row, QItemSelectionModel::Select);
                // The current row too, so that an edit of it shows in the pane at once.
                m_list->selectionModel()->setCurrentIndex(row, QItemSelectionModel::NoUpdate);
            }
        }
        connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, link] { link->setSelection(selectedIds(m_list)); });
    }
    connect(
        m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::showSelected);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this, &MainWindow::showSelected);
    // A selection brought back from the last session shows in the pane as if just clicked.
    if (m_list->selectionModel()->hasSelection())
        showSelected();

    refresh();
    // Built after the first refresh: the target's name joins its label with the next change.
    buildToolbar();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildToolbar()
{
    QToolBar* bar = addToolBar(u"工具栏"_s);
    bar->setObjectName(u"main"_s);
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(24, 24));
    bar->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);

    struct Item
    {
        const char* id;
        QString label;
        const char* themeIcon;
        const char* fallback;
        std::function<void()> action;
    };
    const std::vector<Item> items {
        { "sponsor", u"赞助作者"_s, "emblem-favorite", "heart", [this] { m_windows->showSponsor(); } },
        { "addFiles", u"添加文件"_s, "document-new", "add-file", [this] { addFiles(); } },
        { "addFolder", u"添加文件夹"_s, "folder-new", "add-folder", [this] { addFolder(); } },
        { "settings", u"设置"_s, "preferences-system", "settings", [this] { m_windows->showSettings(); } },
        { "onboarding", u"Ollama 引导"_s, "help-contents", "guide", [this] { m_windows->showOnboarding(); } },
        { "mediaTarget", u"处理对象"_s, "view-dual", "media-target",
            [this] { m_windows->showMediaTarget(); } },
        { "analyze", u"分析全部"_s, "system-run", "analyze", [this] { m_model.analyzeAll(); } },
        { "rename", u"执行重命名"_s, "edit-rename", "rename", [this] { renameChecked(); } },
        { "undo", u"撤销"_s, "edit-undo", "undo", [this] { m_model.undoLast(); } },
    };
    for (const Item& item : items) {
        QAction* action = bar->addAction(
            Icons::themed(QString::fromLatin1(item.themeIcon), QString::fromLatin1(item.fallback)),
            item.label);
        action->setObjectName(QString::fromLatin1(item.id));
        connect(action, &QAction::triggered, this, [this, run = item.action] {
            m_detail->commitEdits();
            run();
        });
        if (QWidget* button = bar->widgetForAction(action)) {
            button->setFocusPolicy(Qt::TabFocus); // the toolbar is reachable with Tab, pressed with Space
        }
        if (qstrcmp(item.id, "mediaTarget") == 0)
            m_mediaTargetAction = action;
        if (qstrcmp(item.id, "undo") == 0)
            m_undoAction = action;
        if (qstrcmp(item.id, "addFiles") == 0)
            action->setShortcut(QKeySequence::Open);
        if (qstrcmp(item.id, "addFolder") == 0)
            action->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    }
}

QWidget* MainWindow::buildListPane()
{
    m_items = new ItemListModel(m_model, this);
    m_filter = new ItemFilterModel(this);
    m_filter->setSourceModel(m_items);
    m_delegate = new ItemDelegate(this);
    m_list = new ItemListView;
    m_list->setObjectName(u"itemList"_s);
    m_list->setModel(m_filter);
    m_list->setItemDelegate(m_delegate);
    m_list->setAccessibleName(u"素材列表"_s);
    connect(m_list, &ItemListView::deleteRequested, this, &MainWindow::deleteSelected);
    connect(m_list, &ItemListView::filesDropped, this, &MainWindow::importPaths);
    connect(m_list, &QAbstractItemView::doubleClicked, this, &MainWindow::revealRow);
    connect(m_list, &ItemListView::revealRequested, this, [this] { revealRow(m_list->currentIndex()); });

    auto* removeAction = new QAction(u"从列表移除所选…"_s, m_list);
    connect(removeAction, &QAction::triggered, this, &MainWindow::deleteSelected);
    auto* clearAction = new QAction(u"清空整个列表…"_s, m_list);
    connect(clearAction, &QAction::triggered, this, &MainWindow::clearList);
    m_list->addAction(removeAction);
    m_list->addAction(clearAction);
    auto* exportAction = new QAction(u"导出重命名记录…"_s, m_list);
    exportAction->setObjectName(u"exportRecordAction"_s);
    connect(exportAction, &QAction::triggered, this, [this] { exportRenameRecord(); });
    m_list->addAction(exportAction);
    auto* reanalyseAction = new QAction(u"重新分析所选"_s, m_list);
    connect(
        reanalyseAction, &QAction::triggered, this, [this] { m_model.analyzeItems(selectedIds(m_list)); });
    m_list->addAction(reanalyseAction);

    auto* pane = new QWidget;
    pane->setMinimumWidth(ListMinimumWidth);
    auto* column = new QVBoxLayout(pane);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildFilterBar());
    column->addWidget(m_list, 1);
    column->addWidget(buildListBar());
    return pane;
}

QWidget* MainWindow::buildFilterBar()
{
    auto* bar = new QWidget;
    auto* column = new QVBoxLayout(bar);
    column->setContentsMargins(8, 8, 8, 6);
    column->setSpacing(6);
    m_search = new QLineEdit;
    m_search->setObjectName(u"searchEdit"_s);
    m_search->setPlaceholderText(u"搜索文件名、内容或地点"_s);
    m_search->setAccessibleName(u"搜索文件名、内容或地点"_s);
    m_search->setClearButtonEnabled(true);
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_filter->setSearchText(text);
        updateCounts();
    });
    column->addWidget(m_search);

    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    m_group = new QComboBox;
    m_group->setObjectName(u"groupCombo"_s);
    m_group->setAccessibleName(u"按状态筛选"_s);
    for (int i = 0; i < ItemFilterModel::GroupCount; ++i)
        m_group->addItem(QString());
    connect(m_group, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_filter->setGroup(ItemFilterModel::Group(index));
        updateCounts();
    });
    m_order = new QComboBox;
    m_order->setObjectName(u"orderCombo"_s);
    m_order->setAccessibleName(u"排序"_s);
    m_order->addItems({ u"添加顺序"_s, u"拍摄时间"_s, u"原文件名"_s, u"状态"_s });
    connect(m_order, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_filter->setOrder(ItemFilterModel::Order(index));
        if (const QModelIndex current = m_list->currentIndex(); current.isValid())
            m_list->scrollTo(current);
    });
    row->addWidget(m_group, 1);
    row->addWidget(m_order, 1);
    column->addLayout(row);
    return bar;
}

QWidget* MainWindow::buildListBar()
{
    auto* bar = new QFrame;
    bar->setObjectName(u"listBar"_s);
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Button);
    bar->setFrameShape(QFrame::NoFrame);
    auto* column = new QVBoxLayout(bar);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    column->addWidget(line);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(12, 7, 12, 7);
    row->setSpacing(8);
    auto* remove = new QPushButton(u"删除所选"_s);
    connect(remove, &QPushButton::clicked, this, &MainWindow::deleteSelected);
    auto* clear = new QPushButton(u"清空列表"_s);
    connect(clear, &QPushButton::clicked, this, &MainWindow::clearList);
    for (QPushButton* button : { remove, clear }) {
        button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        button->setAutoDefault(false);
        row->addWidget(button);
    }
    row->addStretch(1);
    auto* label = new QLabel(u"预览大小"_s);
    label->setFont(smaller(label->font()));
    label->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(label);
    m_slider = new QSlider(Qt::Horizontal);
    m_slider->setObjectName(u"previewSize"_s);
    m_slider->setRange(MinThumbnail, MaxThumbnail);
    m_slider->setValue(m_delegate->thumbnailSize());
    // Gives way first when the list is narrow, so the buttons keep their texts.
    m_slider->setMinimumWidth(40);
    m_slider->setMaximumWidth(100);
    m_slider->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    m_slider->setToolTip(u"预览缩略图大小"_s);
    m_slider->setAccessibleName(u"预览大小"_s);
    m_slider->setAccessibleDescription(u"预览缩略图大小"_s);
    label->setBuddy(m_slider);
    connect(m_slider, &QSlider::valueChanged, this, &MainWindow::setThumbnailSize);
    row->addWidget(m_slider);
    column->addLayout(row);
    return bar;
}

void MainWindow::buildStatusBar()
{
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(false);
    bar->setFixedHeight(StatusBarHeight);
    auto* content = new QWidget;
    auto* row = new QHBoxLayout(content);
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(8);

    m_busy = new QProgressBar;
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busy->setFixedSize(60, 10);
    m_busy->setAccessibleName(u"正在处理"_s);
    m_busy->hide();
    row->addWidget(m_busy);
    m_stop = new QPushButton(u"停止"_s);
    m_stop->setObjectName(u"stop"_s);
    m_stop->setFont(smaller(m_stop->font()));
    m_stop->setAutoDefault(false);
    m_stop->setFixedHeight(StatusBarHeight - 6);
    m_stop->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_stop->hide();
    connect(m_stop, &QPushButton::clicked, &m_model, &AppModel::stopAnalysis);
    row->addWidget(m_stop);

    m_status = new ElidedLabel;
    m_status->setObjectName(u"status"_s);
    m_status->setFont(smaller(m_status->font()));
    m_status->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(m_status, 1);
    m_count = new QLabel;
    m_count->setObjectName(u"count"_s);
    m_count->setFont(smaller(m_count->font()));
    m_count->setForegroundRole(QPalette::PlaceholderText);
    m_count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(m_count);
    bar->addWidget(content, 1);
}

QString MainWindow::statusText() const
{
    return m_status->text();
}

QString MainWindow::countText() const
{
    return m_count->text();
}

int MainWindow::rowHeight() const
{
    return m_delegate->thumbnailSize() + 16;
}

void MainWindow::refresh()
{
    m_status->setFullText(m_model.statusMessage());
    updateCounts();
    if (m_mediaTargetAction)
        m_mediaTargetAction->setText(u"处理对象："_s + displayTitle(m_model.settings().mediaTarget()));
    if (m_undoAction)
        m_undoAction->setEnabled(m_model.canUndo());
    const bool working = m_model.isBusy() || m_model.isImporting();
    m_busy->setVisible(working);
    m_stop->setVisible(m_model.isBusy());
    noticeRunEnd();
}

void MainWindow::updateCounts()
{
    const qsizetype total = m_model.items().size();
    const int shown = m_filter->rowCount();
    const QString all = u"共 "_s + QString::number(total) + u" 个"_s;
    m_count->setText(shown == total ? all : u"显示 "_s + QString::number(shown) + u" / "_s + all);
    const std::array<int, ItemFilterModel::GroupCount> counts = m_filter->counts();
    static const QString names[] = { u"全部"_s, u"待分析"_s, u"已分析"_s, u"已重命名"_s, u"失败"_s };
    for (int i = 0; i < ItemFilterModel::GroupCount; ++i)
        m_group->setItemText(i, names[i] + u"（"_s + QString::number(counts[std::size_t(i)]) + u"）"_s);

    const QString whole = u"作用于整个列表（共 "_s + QString::number(total) + u" 个），不只是显示的 "_s
        + QString::number(shown) + u" 个"_s;
    if (total == 0) {
        m_list->setHint(u"把"_s + mediaWord(m_model.settings().mediaTarget())
                + u"文件或文件夹拖到这里\n也可以点「添加文件」"_s,
            true);
    } else {
        // A filter that hides everything says so, and what the toolbar would still act on.
        m_list->setHint(u"没有符合筛选条件的素材\n「分析全部」与「执行重命名」仍"_s + whole, shown == 0);
    }
    for (const char* id : { "analyze", "rename" }) {
        if (auto* action = findChild<QAction*>(QString::fromLatin1(id)))
            action->setToolTip(shown == total ? action->text() : action->text() + u"："_s + whole);
    }
}

void MainWindow::noticeRunEnd()
{
    if (m_model.isBusy()) {
        if (!m_runClock.isValid())
            m_runClock.start();
        return;
    }
    if (!m_runClock.isValid())
        return;
    const qint64 took = m_runClock.elapsed();
    m_runClock.invalidate();
    if (took > LongRunMs && !isActiveWindow())
        m_notifier->notify(m_model.statusMessage());
}

void MainWindow::step(int delta)
{
    const int rows = m_filter->rowCount();
    if (rows == 0)
        return;
    const QModelIndex current = m_list->currentIndex();
    const int row = std::clamp(current.isValid() ? current.row() + delta : 0, 0, rows - 1);
    const QModelIndex target = m_filter->index(row, 0);
    m_list->selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
    m_list->scrollTo(target);
}

void MainWindow::showSelected()
{
    const QModelIndex current = m_list->currentIndex();
    QModelIndexList selected = m_list->selectionModel()->selectedRows();
    m_showsMany = selected.size() > 1;
    if (m_showsMany) {
        std::sort(selected.begin(), selected.end());
        QList<QUuid> ids;
        ids.reserve(selected.size());
        for (const QModelIndex& index : std::as_const(selected))
            ids.append(index.data(ItemListModel::IdRole).toUuid());
        m_detail->showMany(ids);
        return;
    }
    QModelIndex shown;
    if (current.isValid() && m_list->selectionModel()->isSelected(current))
        shown = current;
    else if (!selected.isEmpty())
        shown = selected.constLast();
    m_detail->show(
        shown.isValid() ? std::optional(shown.data(ItemListModel::IdRole).toUuid()) : std::nullopt);
}

void MainWindow::revealRow(const QModelIndex& index)
{
    if (!index.isValid())
        return;
    const QByteArray path = index.data(ItemListModel::PathRole).toByteArray();
    FileManager::showInFolder(std::filesystem::path(path.toStdString()));
}

void MainWindow::importPaths(const std::vector<std::filesystem::path>& paths)
{
    if (!paths.empty())
        m_model.addFiles(paths);
}

void MainWindow::addFiles()
{
    QString filter;
    if (m_model.settings().mediaTarget() == MediaTarget::Videos)
        filter = u"视频文件 ("_s + patterns(FileKinds::VideoExtensions) + u')';
    const QStringList chosen = QFileDialog::getOpenFileNames(this, u"添加文件"_s, QString(), filter);
    std::vector<std::filesystem::path> paths;
    for (const QString& path : chosen)
        paths.push_back(DragPayload::fromDialog(path));
    importPaths(paths);
}

void MainWindow::addFolder()
{
    const QString chosen = QFileDialog::getExistingDirectory(this, u"添加文件夹"_s);
    if (!chosen.isEmpty())
        importPaths({ DragPayload::fromDialog(chosen) });
}

void MainWindow::deleteSelected()
{
    const QModelIndexList rows = m_list->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        m_model.setStatusMessage(u"请先在列表中选择要移除的条目（Ctrl / Shift 可多选）"_s);
        m_model.notify();
        return;
    }
    QList<int> positions;
    positions.reserve(rows.size());
    for (const QModelIndex& index : rows)
        positions.append(m_filter->mapToSource(index).row());
    m_model.removeItems(positions);
}

void MainWindow::clearList()
{
    if (m_model.items().isEmpty()) {
        m_model.clearItems(); // says the list is already empty
        return;
    }
    QMessageBox box(this);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(u"清空整个列表？"_s);
    box.setText(u"清空整个列表？"_s);
    box.setInformativeText(u"会移除列表里的全部 "_s + QString::number(m_model.items().size())
        + u" 个素材，已完成的「分析 / 命名」结果也会一起丢。"_s
        + u"磁盘上的源文件不会被删除。清空后即可导入新的目录或文件。"_s);
    QPushButton* cancel = box.addButton(u"取消"_s, QMessageBox::RejectRole);
    QPushButton* clear = box.addButton(u"清空"_s, QMessageBox::DestructiveRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == clear)
        m_model.clearItems();
}

void MainWindow::renameChecked()
{
    const RenamePlan::Plan plan = Renamer::check(m_model.items());
    if (plan.isPlain()) {
        m_model.renameAll();
        return;
    }
    auto* confirm = new RenameConfirmWindow(plan, this);
    confirm->setAttribute(Qt::WA_DeleteOnClose);
    // The list may have changed meanwhile: the batch is planned again as it stands, and a name taken
    // since is never overwritten.
    connect(confirm, &QDialog::accepted, this, [this] { m_model.renameAll(); });
    confirm->open();
}

void MainWindow::exportRenameRecord(QString file)
{
    const auto log = Renamer::latestLog();
    const auto csv = log ? RenameRecord::csvOf(*log, m_model.items()) : std::nullopt;
    if (!csv) {
        m_model.setStatusMessage(
            log ? Renamer::Messages::unreadableLog(displayPath(*log)) : u"还没有可导出的重命名记录"_s);
        m_model.notify();
        return;
    }
    if (file.isEmpty()) {
        file = QFileDialog::getSaveFileName(this, u"导出重命名记录"_s,
            QDir::home().filePath(RenameRecord::defaultFileName(RenameRecord::batchTime(*log))),
            u"CSV 表格 (*.csv)"_s);
    }
    if (file.isEmpty())
        return;
    QSaveFile out(file);
    const bool written = out.open(QIODevice::WriteOnly) && out.write(*csv) == csv->size() && out.commit();
    m_model.setStatusMessage(
        (written ? u"已导出重命名记录："_s : u"无法写入 "_s) + QDir::toNativeSeparators(file));
    m_model.notify();
}

void MainWindow::setThumbnailSize(int size)
{
    size = std::clamp(size, MinThumbnail, MaxThumbnail);
    if (m_slider->value() != size)
        m_slider->setValue(size);
    if (m_delegate->thumbnailSize() == size)
        return;
    m_delegate->setThumbnailSize(size);
    // Rows are all as high as the first; telling the view about it lays them out again, keeping the
    // selection and the scroll position.
    if (m_filter->rowCount() > 0)
        emit m_delegate->sizeHintChanged(m_filter->index(0, 0));
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_didSetInitialSplit)
        return;
    m_didSetInitialSplit = true;
    const int total = m_splitter->width() - m_splitter->handleWidth();
    m_splitter->setSizes({ InitialDivider, std::max(DetailMinimumWidth, total - InitialDivider) });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The main window is the application: closing it ends the program, whatever else is open.
    event->accept();
    QCoreApplication::quit();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    m_dragHasFiles = !DragPayload::localPaths(event->mimeData()).empty();
    if (m_dragHasFiles)
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_dragHasFiles)
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    std::vector<std::filesystem::path> paths = DragPayload::localPaths(event->mimeData());
    if (paths.empty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    importPaths(paths);
}
