// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>

#include <filesystem>
#include <vector>

class AppModel;
class DesktopNotifier;
class DetailPane;
class ElidedLabel;
class ItemDelegate;
class ItemFilterModel;
class ItemListModel;
class ItemListView;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QSplitter;
class QTimer;
class SecondaryWindows;

// The one main window: the toolbar, the work list with its bar, the detail pane and the status bar.
// Every gesture becomes an AppModel operation; the window follows the model's signals.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int ListMinimumWidth = 240;
    static constexpr int DetailMinimumWidth = 400;
    static constexpr int InitialDivider = 300;

    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    SecondaryWindows& windows() const
    {
        return *m_windows;
    }

    // The parts tests and the accessibility checks look at.
    ItemListView* listView() const
    {
        return m_list;
    }
    DetailPane* detailPane() const
    {
        return m_detail;
    }
    QSplitter* splitter() const
    {
        return m_splitter;
    }
    QSlider* previewSlider() const
    {
        return m_slider;
    }
    QAction* mediaTargetAction() const
    {
        return m_mediaTargetAction;
    }
    QPushButton* stopButton() const
    {
        return m_stop;
    }
    QLineEdit* searchField() const
    {
        return m_search;
    }
    QComboBox* groupFilter() const
    {
        return m_group;
    }
    QComboBox* orderBox() const
    {
        return m_order;
    }
    QString statusText() const;
    QString countText() const;
    int rowHeight() const;

    // The list's actions, as the toolbar, the buttons, the menu and the keys reach them.
    void addFiles();
    void addFolder();
    void deleteSelected();
    void clearList();
    // Checks the batch and renames at once when it is plain; otherwise asks first, in a window-modal
    // RenameConfirmWindow, and renames what is in the list when the user confirms.
    void renameChecked();
    // Writes the record of the newest rename batch as CSV to file; asks where when file is empty.
    void exportRenameRecord(QString file = {});
    void setThumbnailSize(int size);
    void importPaths(const std::vector<std::filesystem::path>& paths);
    // Makes the shown row this many rows further (negative: back) the current and only selected one.
    void step(int delta);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildToolbar();
    QWidget* buildListPane();
    QWidget* buildListBar();
    QWidget* buildFilterBar();
    void updateCounts();
    void noticeRunEnd();
    void buildStatusBar();
    void refresh();
    void showSelected();
    void revealRow(const QModelIndex& index);

    AppModel& m_model;
    SecondaryWindows* m_windows = nullptr;
    ItemListModel* m_items = nullptr;
    ItemFilterModel* m_filter = nullptr; // what the list shows of m_items
    ItemDelegate* m_delegate = nullptr;
    QSplitter* m_splitter = nullptr;
    ItemListView* m_list = nullptr;
    DetailPane* m_detail = nullptr;
    QSlider* m_slider = nullptr;
    QProgressBar* m_busy = nullptr;
    QPushButton* m_stop = nullptr;
    ElidedLabel* m_status = nullptr;
    QLabel* m_count = nullptr;
    QAction* m_mediaTargetAction = nullptr;
    QLineEdit* m_search = nullptr;
    QComboBox* m_group = nullptr;
    QComboBox* m_order = nullptr;
    QTimer* m_countsTimer = nullptr; // one count of the groups per burst of changes
    QTimer* m_showTimer = nullptr; // one refresh of a several-item pane per burst of changes
    bool m_showsMany = false;
    DesktopNotifier* m_notifier = nullptr;
    QElapsedTimer m_runClock; // valid while a run goes on
    QAction* m_undoAction = nullptr;
    bool m_didSetInitialSplit = false;
    bool m_dragHasFiles = false; // decided once per drag: a drag of 10,000 files is parsed once
};
