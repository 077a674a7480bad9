// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSortFilterProxyModel>
#include <QStringList>

#include <array>

// What the work list shows of the list model: the rows matching a search and a status group, in the
// chosen order. Lives on the main thread with the window that owns it.
class ItemFilterModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    // In the order the status filter offers them.
    enum class Group
    {
        All,
        Pending, // waiting for or in an analysis
        Analyzed, // analysed, or being renamed
        Renamed,
        Failed, // the analysis or the last rename failed
    };
    static constexpr int GroupCount = 5;

    enum class Order
    {
        Added,
        CaptureTime, // oldest first; rows without a date last
        FileName, // numbers in names compare as numbers
        Status, // failed first, then pending, analysed, renamed
    };

    explicit ItemFilterModel(QObject* parent = nullptr);

    // Words separated by spaces, each to be found (ignoring case) in the original name, the content,
    // the place or the new name. Plain text: no character is special.
    void setSearchText(const QString& text);
    void setGroup(Group group);
    void setOrder(Order order);
    bool isFiltering() const
    {
        return !m_words.isEmpty() || m_group != Group::All;
    }

    static Group groupOf(const QModelIndex& sourceIndex);
    // Rows of the whole list per group, All included.
    std::array<int, GroupCount> counts() const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QStringList m_words;
    Group m_group = Group::All;
    Order m_order = Order::Added;
};
