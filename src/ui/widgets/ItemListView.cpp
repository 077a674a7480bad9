// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/ItemListView.h"

#include "ui/widgets/DragPayload.h"

#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int HintInset = 12;

} // namespace

ItemListView::ItemListView(QWidget* parent)
    : QListView(parent)
{
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformItemSizes(true);
    setAlternatingRowColors(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    // Over the list, not in a layout: clicks go through it to the list underneath.
    m_hint = new QLabel(viewport());
    m_hint->setAlignment(Qt::AlignCenter);
    m_hint->setWordWrap(true);
    m_hint->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_hint->setForegroundRole(QPalette::PlaceholderText);
    placeHint();
}

void ItemListView::setHint(const QString& text, bool shown)
{
    m_hint->setText(text);
    m_hint->setVisible(shown);
    const QString description = shown ? QString(text).replace(u'\n', u'，') : QString();
    if (accessibleDescription() != description)
        setAccessibleDescription(description);
}

void ItemListView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) {
        emit deleteRequested();
        event->accept();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
        emit revealRequested();
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

void ItemListView::setDropTarget(bool on)
{
    if (m_dropTarget == on)
        return;
    m_dropTarget = on;
    viewport()->update();
}

void ItemListView::dragEnterEvent(QDragEnterEvent* event)
{
    const bool hasFiles = !DragPayload::localPaths(event->mimeData()).empty();
    setDropTarget(hasFiles);
    if (hasFiles)
        event->acceptProposedAction();
    else
        event->ignore();
}

void ItemListView::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_dropTarget)
        event->acceptProposedAction();
    else
        event->ignore();
}

void ItemListView::dragLeaveEvent(QDragLeaveEvent* event)
{
    setDropTarget(false);
    event->accept();
}

void ItemListView::dropEvent(QDropEvent* event)
{
    setDropTarget(false);
    const std::vector<std::filesystem::path> paths = DragPayload::localPaths(event->mimeData());
    if (paths.empty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit filesDropped(paths);
}

void ItemListView::paintEvent(QPaintEvent* event)
{
    QListView::paintEvent(event);
    if (!m_dropTarget)
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(palette().color(QPalette::Highlight), 2);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(viewport()->rect()).adjusted(1, 1, -1, -1), 6, 6);
}

void ItemListView::resizeEvent(QResizeEvent* event)
{
    QListView::resizeEvent(event);
    placeHint();
}

void ItemListView::placeHint()
{
    m_hint->setGeometry(viewport()->rect().adjusted(HintInset, 0, -HintInset, 0));
}
