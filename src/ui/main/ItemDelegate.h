// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QCache>
#include <QPixmap>
#include <QStyledItemDelegate>

// Paints one row of the work list: thumbnail, file name, the status in its colour and the name a rename
// would give. Thumbnails are decoded once per size and kept.
class ItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    static constexpr int LeftInset = 10;
    static constexpr int RightInset = 10;
    static constexpr int Gap = 10;

    explicit ItemDelegate(QObject* parent = nullptr);

    // The largest thumbnail edge; rows are this plus 16 high.
    void setThumbnailSize(int size);
    int thumbnailSize() const
    {
        return m_thumbnailSize;
    }

    void paint(
        QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The rectangles of a row's parts for a row rect, as laid out by paint().
    struct Layout
    {
        QRect thumbnail;
        QRect name;
        QRect status;
        QRect newName; // empty when the row has no new name to show
    };
    Layout layout(const QRect& row, bool withNewName = false) const;

private:
    QPixmap thumbnail(const QModelIndex& index, int edge, qreal ratio) const;

    int m_thumbnailSize = 40;
    mutable QCache<QString, QPixmap> m_thumbnails;
};
