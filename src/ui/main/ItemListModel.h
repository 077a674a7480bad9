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
        StatusRole, // int: VideoItem::Status
        ContentRole,
        LocationRole,
        ProposedNameRole, // the name as proposed or typed, without extension
        // The file name a rename would give ("2026-02-08_茶楼_喝茶.mp4"); empty when there is nothing to
        // rename to (no proposal, already renamed or already so named).
        NewFileNameRole,
        NameByHandRole, // bool: the whole proposed name was typed
        CaptureDateRole, // QDateTime, invalid when unknown
    };

    explicit ItemListModel(AppModel& model, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The one-line status of a row.
    static QString statusText(const VideoItem& item);
    // The file name the proposed name gives: cleaned, cut to fit its folder, with the file's extension.
    static QString proposedFileName(const VideoItem& item);

private:
    AppModel& m_model;
    int m_rows = 0;
};
