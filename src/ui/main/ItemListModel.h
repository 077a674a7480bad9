// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractListModel>

class AppModel;
struct VideoItem;

// The work list as a Qt list model, one row per item in list order. Follows AppModel's row-level
// signals, so a change to one item touches only its row and views keep their selection and scroll
// position through every change.
class ItemListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role
    {
        StatusTextRole = Qt::UserRole + 1, // "待分析", "已分析 · 茶楼喝茶" …
        IsErrorRole, // bool: the status text is an error
        ThumbnailRole, // QByteArray: small JPEG of the first frame, empty before analysis
        IdRole, // QUuid
        MediaKindRole, // int: MediaKind
        PathRole, // QByteArray: the native path
        CompanionsRole, // "随附文件：IMG_0042.CR3、IMG_0042.xmp", empty when nothing travels with it
    };

    explicit ItemListModel(AppModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The one-line status of a row.
    static QString statusText(const VideoItem& item);

private:
    AppModel& m_model;
    int m_rows = 0;
};
