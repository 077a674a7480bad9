// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/ItemFilterModel.h"

#include "common/VideoItem.h"
#include "ui/main/ItemListModel.h"

#include <QDateTime>

namespace {

int statusRank(ItemFilterModel::Group group)
{
    switch (group) {
    case ItemFilterModel::Group::Failed:
        return 0;
    case ItemFilterModel::Group::Pending:
        return 1;
    case ItemFilterModel::Group::Analyzed:
        return 2;
    case ItemFilterModel::Group::Renamed:
    case ItemFilterModel::Group::All:
        break;
    }
    return 3;
}

// Runs of digits compare as numbers (IMG_9 before IMG_10), the rest ignoring case. Qt's collator does
// this only when built with ICU, and not in the C locale.
int naturalCompare(QStringView a, QStringView b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype startA = i, startB = j;
            while (i < a.size() && a[i].isDigit())
                ++i;
            while (j < b.size() && b[j].isDigit())
                ++j;
            QStringView x = a.sliced(startA, i - startA), y = b.sliced(startB, j - startB);
            while (x.size() > 1 && x.front() == u'0')
                x = x.sliced(1);
            while (y.size() > 1 && y.front() == u'0')
                y = y.sliced(1);
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y))
                return order;
            continue;
        }
        const qsizetype startA = i, startB = j;
        while (i < a.size() && !a[i].isDigit())
            ++i;
        while (j < b.size() && !b[j].isDigit())
            ++j;
        if (const int order
            = a.sliced(startA, i - startA).compare(b.sliced(startB, j - startB), Qt::CaseInsensitive))
            return order;
    }
    return int(a.size() - i) - int(b.size() - j);
}

} // namespace

ItemFilterModel::ItemFilterModel(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    // Edits and finished analyses move a row to where it now belongs, or out of a filter it left.
    setDynamicSortFilter(true);
}

void ItemFilterModel::setSearchText(const QString& text)
{
    const QStringList words = text.split(u' ', Qt::SkipEmptyParts);
    if (words == m_words)
        return;
    m_words = words;
    invalidateRowsFilter();
}

void ItemFilterModel::setGroup(Group group)
{
    if (group == m_group)
        return;
    m_group = group;
    invalidateRowsFilter();
}

void ItemFilterModel::setOrder(Order order)
{
    m_order = order;
    // The order they were added in is the list's own: no sorting at all, which keeps filtering cheap.
    if (order == Order::Added)
        sort(-1);
    else {
        invalidate();
        sort(0);
    }
}

ItemFilterModel::Group ItemFilterModel::groupOf(const QModelIndex& sourceIndex)
{
    if (sourceIndex.data(ItemListModel::IsErrorRole).toBool())
        return Group::Failed;
    switch (VideoItem::Status(sourceIndex.data(ItemListModel::StatusRole).toInt())) {
    case VideoItem::Status::Pending:
    case VideoItem::Status::Analyzing:
        return Group::Pending;
    case VideoItem::Status::Analyzed:
    case VideoItem::Status::Naming:
        return Group::Analyzed;
    case VideoItem::Status::Renamed:
        return Group::Renamed;
    case VideoItem::Status::Error:
        return Group::Failed;
    }
    return Group::Pending;
}

std::array<int, ItemFilterModel::GroupCount> ItemFilterModel::counts() const
{
    std::array<int, GroupCount> counts {};
    const QAbstractItemModel* source = sourceModel();
    if (!source)
        return counts;
    counts[0] = source->rowCount();
    for (int row = 0; row < counts[0]; ++row)
        ++counts[std::size_t(groupOf(source->index(row, 0)))];
    return counts;
}

bool ItemFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    if (m_group != Group::All && groupOf(index) != m_group)
        return false;
    if (m_words.isEmpty())
        return true;
    const QString fields[] = {
        index.data(Qt::DisplayRole).toString(),
        index.data(ItemListModel::ContentRole).toString(),
        index.data(ItemListModel::LocationRole).toString(),
        index.data(ItemListModel::ProposedNameRole).toString(),
    };
    return std::all_of(m_words.cbegin(), m_words.cend(), [&](const QString& word) {
        return std::any_of(std::cbegin(fields), std::cend(fields),
            [&](const QString& field) { return field.contains(word, Qt::CaseInsensitive); });
    });
}

bool ItemFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    int order = 0;
    switch (m_order) {
    case Order::Added:
        break;
    case Order::CaptureTime: {
        const QDateTime a = left.data(ItemListModel::CaptureDateRole).toDateTime();
        const QDateTime b = right.data(ItemListModel::CaptureDateRole).toDateTime();
        if (a.isValid() != b.isValid())
            return a.isValid();
        order = a < b ? -1 : b < a ? 1 : 0;
        break;
    }
    case Order::FileName:
        order = naturalCompare(left.data().toString(), right.data().toString());
        break;
    case Order::Status:
        order = statusRank(groupOf(left)) - statusRank(groupOf(right));
        break;
    }
    // Equal rows keep the order they were added in.
    return order != 0 ? order < 0 : left.row() < right.row();
}
