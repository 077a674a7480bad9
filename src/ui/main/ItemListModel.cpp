// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/ItemListModel.h"

#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/Companions.h"
#include "naming/NameBuilder.h"
#include "naming/Renamer.h"

using namespace Qt::StringLiterals;

ItemListModel::ItemListModel(AppModel& model, QObject* parent)
    : QAbstractListModel(parent)
    , m_model(model)
    , m_rows(int(model.items().size()))
{
    connect(&model, &AppModel::itemsAboutToBeAppended, this,
        [this](qsizetype first, qsizetype last) { beginInsertRows({}, int(first), int(last)); });
    connect(&model, &AppModel::itemsAppended, this, [this] {
        m_rows = int(m_model.items().size());
        endInsertRows();
    });
    connect(&model, &AppModel::itemsAboutToBeRemoved, this,
        [this](qsizetype first, qsizetype last) { beginRemoveRows({}, int(first), int(last)); });
    connect(&model, &AppModel::itemsRemoved, this, [this] {
        m_rows = int(m_model.items().size());
        endRemoveRows();
    });
    connect(&model, &AppModel::itemsAboutToBeReset, this, [this] { beginResetModel(); });
    connect(&model, &AppModel::itemsReset, this, [this] {
        m_rows = int(m_model.items().size());
        endResetModel();
    });
    connect(&model, &AppModel::itemsChanged, this, [this](qsizetype first, qsizetype last) {
        if (first < m_rows)
            emit dataChanged(index(int(first)), index(int(std::min<qsizetype>(last, m_rows - 1))));
    });
}

int ItemListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

QString ItemListModel::statusText(const VideoItem& item)
{
    static const QString dot = u" · "_s;
    // A failed rename says why, also on an item that stays ready for another try.
    if (!item.renameFailure.isEmpty() && item.status != VideoItem::Status::Analyzing)
        return u"重命名失败"_s + dot + item.renameFailure;
    if (item.status != VideoItem::Status::Renamed && !item.keptName.isEmpty()
        && item.keptName == item.proposedName)
        return Messages::AlreadyNamed;
    switch (item.status) {
    case VideoItem::Status::Pending:
        return u"待分析"_s;
    case VideoItem::Status::Analyzing:
        return u"分析中"_s;
    case VideoItem::Status::Analyzed:
        return item.content.isEmpty() ? u"已分析"_s : u"已分析"_s + dot + item.content;
    case VideoItem::Status::Naming:
        return u"命名中"_s;
    case VideoItem::Status::Renamed:
        return item.content.isEmpty() ? u"已重命名"_s : u"已重命名"_s + dot + item.content;
    case VideoItem::Status::Error:
        return item.analysisText.isEmpty() ? u"出错"_s : u"出错 · "_s + item.analysisText;
    }
    return {};
}

QString ItemListModel::proposedFileName(const VideoItem& item)
{
    const QString name = NameBuilder::fileBaseName(item, item.proposedName);
    if (name.isEmpty())
        return {};
    const std::string extension = item.url.extension().native();
    return extension.size() > 1 ? name + u'.' + displayPath(extension.substr(1)) : name;
}

namespace {

QString newFileName(const VideoItem& item)
{
    // Only what the next batch will rename: a failed analysis may leave an older name behind.
    if (!Renamer::isEligible(item) || item.keptName == item.proposedName)
        return {};
    return ItemListModel::proposedFileName(item);
}

} // namespace

QVariant ItemListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows || index.row() >= m_model.items().size())
        return {};
    const VideoItem& item = m_model.items().at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return displayFileName(item.url);
    case Qt::ToolTipRole:
        return item.companions.empty() ? displayPath(item.url)
                                       : displayPath(item.url) + u'\n' + Companions::describe(item);
    case Qt::AccessibleTextRole: {
        const QString companions = Companions::describe(item);
        const QString newName = newFileName(item);
        return QString(displayFileName(item.url) + u"，"_s + statusText(item)
            + (newName.isEmpty()
                    ? QString()
                    : u"，新文件名："_s + newName + (item.nameByHand ? u"（手动）"_s : QString()))
            + (companions.isEmpty() ? QString() : u"，"_s + companions));
    }
    case StatusTextRole:
        return statusText(item);
    case IsErrorRole:
        return item.status == VideoItem::Status::Error
            || (!item.renameFailure.isEmpty() && item.status != VideoItem::Status::Analyzing);
    case ThumbnailRole:
        return item.thumbnail;
    case IdRole:
        return item.id;
    case MediaKindRole:
        return int(item.mediaKind);
    case PathRole:
        return QByteArray::fromStdString(item.url.native());
    case CompanionsRole:
        return Companions::describe(item);
    case StatusRole:
        return int(item.status);
    case ContentRole:
        return item.content;
    case LocationRole:
        return item.location;
    case ProposedNameRole:
        return item.proposedName;
    case NewFileNameRole:
        return newFileName(item);
    case NameByHandRole:
        return item.nameByHand;
    case CaptureDateRole:
        return item.creationDate ? *item.creationDate : QDateTime();
    default:
        return {};
    }
}

QHash<int, QByteArray> ItemListModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(StatusTextRole, "statusText");
    names.insert(IsErrorRole, "isError");
    names.insert(ThumbnailRole, "thumbnail");
    names.insert(IdRole, "id");
    return names;
}
