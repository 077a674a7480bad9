// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/ItemDelegate.h"

#include "common/MediaKind.h"
#include "ui/main/ItemListModel.h"
#include "ui/widgets/Colours.h"
#include "ui/widgets/Icons.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QUuid>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr int NameHeight = 17;
constexpr int StatusHeight = 15;

QFont nameFont(const QFont& base)
{
    QFont font = base;
    font.setWeight(QFont::Medium);
    return font;
}

QFont statusFont(const QFont& base)
{
    QFont font = base;
    font.setPointSizeF(std::max(7.0, base.pointSizeF() - 2));
    return font;
}

} // namespace

ItemDelegate::ItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent)
{
    // Thumbnails of a few thousand rows at the largest size: well under 100 MB.
    m_thumbnails.setMaxCost(96 * 1024 * 1024);
}

void ItemDelegate::setThumbnailSize(int size)
{
    m_thumbnailSize = size;
}

QSize ItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    return { option.rect.width() > 0 ? option.rect.width() : 300, m_thumbnailSize + 16 };
}

ItemDelegate::Layout ItemDelegate::layout(const QRect& row, bool withNewName) const
{
    const int h = row.height();
    const int edge = std::min(m_thumbnailSize, std::max(h - 4, 16));
    Layout l;
    l.thumbnail = QRect(row.left() + LeftInset, row.top() + (h - edge) / 2, edge, edge);
    const int x = l.thumbnail.right() + 1 + Gap;
    const int textWidth = std::max(row.right() + 1 - x - RightInset, 40);
    // The name sits just above the middle of the row, the status right under it; a new name below
    // both moves the three lines up to stay centred together.
    const int nameTop = withNewName ? row.top() + (h - NameHeight - 2 * StatusHeight - 2) / 2
                                    : row.top() + h / 2 - NameHeight + 1;
    l.name = QRect(x, nameTop, textWidth, NameHeight);
    l.status = QRect(x, nameTop + NameHeight + 1, textWidth, StatusHeight);
    if (withNewName)
        l.newName = l.status.translated(0, StatusHeight + 1);
    return l;
}

QPixmap ItemDelegate::thumbnail(const QModelIndex& index, int edge, qreal ratio) const
{
    const QByteArray jpeg = index.data(ItemListModel::ThumbnailRole).toByteArray();
    const int pixels = int(edge * ratio);
    if (jpeg.isEmpty()) {
        // Drawn once a size: without an icon theme the placeholder is an SVG to be rendered.
        const bool photo = index.data(ItemListModel::MediaKindRole).toInt() == int(MediaKind::Photo);
        const QString key = (photo ? u"photo/"_s : u"video/"_s) + QString::number(pixels);
        if (const QPixmap* cached = m_thumbnails.object(key))
            return *cached;
        const QIcon icon = photo ? Icons::themed(u"image-x-generic"_s, u"photo"_s)
                                 : Icons::themed(u"video-x-generic"_s, u"video"_s);
        const QPixmap pixmap = icon.pixmap(QSize(edge, edge), ratio);
        m_thumbnails.insert(key, new QPixmap(pixmap), pixmap.width() * pixmap.height() * 4);
        return pixmap;
    }
    const QString key = index.data(ItemListModel::IdRole).toUuid().toString() + u'/' + QString::number(pixels)
        + u'/' + QString::number(qHash(jpeg));
    if (const QPixmap* cached = m_thumbnails.object(key))
        return *cached;
    QImage image;
    if (!image.loadFromData(jpeg, "JPEG"))
        return {};
    QPixmap pixmap
        = QPixmap::fromImage(image.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(ratio);
    m_thumbnails.insert(key, new QPixmap(pixmap), pixmap.width() * pixmap.height() * 4);
    return pixmap;
}

void ItemDelegate::paint(
    QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    const QString newName = index.data(ItemListModel::NewFileNameRole).toString();
    const Layout l = layout(option.rect, !newName.isEmpty());
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette::ColorGroup group
        = option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const QPixmap picture = thumbnail(index, l.thumbnail.width(), ratio);
    if (!picture.isNull()) {
        const QSizeF size = picture.deviceIndependentSize();
        const QRectF target(l.thumbnail.left() + (l.thumbnail.width() - size.width()) / 2,
            l.thumbnail.top() + (l.thumbnail.height() - size.height()) / 2, size.width(), size.height());
        QPainterPath clip;
        clip.addRoundedRect(target, 4, 4);
        painter->setClipPath(clip);
        painter->drawPixmap(target, picture, QRectF(picture.rect()));
        painter->setClipping(false);
    }

    const QColor text = option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
    painter->setFont(nameFont(option.font));
    painter->setPen(text);
    const QString name = index.data(Qt::DisplayRole).toString();
    painter->drawText(l.name, Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(painter->font()).elidedText(name, Qt::ElideMiddle, l.name.width()));

    const bool isError = index.data(ItemListModel::IsErrorRole).toBool();
    QColor statusColor
        = isError ? Colours::failure(option.palette) : option.palette.color(group, QPalette::PlaceholderText);
    if (selected && !isError)
        statusColor = text;
    painter->setFont(statusFont(option.font));
    painter->setPen(statusColor);
    QString status = index.data(ItemListModel::StatusTextRole).toString();
    if (const QString companions = index.data(ItemListModel::CompanionsRole).toString();
        !companions.isEmpty())
        status += u" · "_s + companions;
    painter->drawText(l.status, Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetrics(painter->font()).elidedText(status.simplified(), Qt::ElideRight, l.status.width()));

    if (!newName.isEmpty()) {
        painter->setPen(selected ? text : Colours::accent(option.palette, group));
        const QFontMetrics metrics(painter->font());
        // The mark of a typed name stays whole; the name gives way in its middle, keeping date and extension.
        const QString mark = index.data(ItemListModel::NameByHandRole).toBool() ? u"（手动）"_s : QString();
        const int markWidth = metrics.horizontalAdvance(mark);
        const QString shown
            = metrics.elidedText(u"→ "_s + newName, Qt::ElideMiddle, l.newName.width() - markWidth);
        painter->drawText(l.newName, Qt::AlignLeft | Qt::AlignVCenter, shown + mark);
    }
    painter->restore();
}
