// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QListView>

#include <filesystem>
#include <vector>

class QLabel;

// The work list: takes dropped files (with an accent frame while a drag hovers), reports the delete
// keys, and shows a hint over itself while it is empty.
class ItemListView : public QListView
{
    Q_OBJECT

public:
    explicit ItemListView(QWidget* parent = nullptr);

    // The hint shown while the list is empty. A screen reader cannot reach the picture of it in the
    // viewport, so it is the list's accessible description while shown.
    void setHint(const QString& text, bool shown);
    QLabel* hintLabel() const
    {
        return m_hint;
    }
    bool isDropTarget() const
    {
        return m_dropTarget;
    }

signals:
    void deleteRequested();
    void revealRequested(); // Return on a row
    void filesDropped(const std::vector<std::filesystem::path>& paths);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setDropTarget(bool on);
    void placeHint();

    QLabel* m_hint = nullptr;
    bool m_dropTarget = false;
};
