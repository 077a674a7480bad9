// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/DetailPane.h"

#include "core/AppModel.h"
#include "naming/Companions.h"
#include "naming/NameBuilder.h"
#include "ui/main/ItemListModel.h"
#include "ui/widgets/Colours.h"
#include "ui/widgets/GeocoderAttribution.h"
#include "ui/widgets/PictureView.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImage>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr int FrameWidth = 160;
constexpr int MontageMaxWidth = 480;

const QString Several = u"（多个值）"_s;

// A date says where it came from: the user may want to check one that is not the camera's own.
QString captureDateText(const VideoItem& item)
{
    if (!item.creationDate || !item.creationDate->isValid())
        return u"拍摄时间：未知"_s;
    const QString date = u"拍摄时间："_s + item.creationDate->toLocalTime().toString(u"yyyy-MM-dd HH:mm"_s);
    switch (item.dateSource) {
    case DateSource::Metadata:
        // Photos carry it in EXIF, videos in the QuickTime (or another container's) header.
        return date + (item.mediaKind == MediaKind::Photo ? u"（来自 EXIF）"_s : u"（来自 QuickTime）"_s);
    case DateSource::Xmp:
        return date + u"（来自 XMP）"_s;
    case DateSource::FileName:
        return date + u"（来自文件名）"_s;
    case DateSource::FileModified:
        return date + u"（来自文件修改时间）"_s;
    }
    return date;
}

// The place is the folder's, the GPS's or the model's, in that order, unless the user typed it.
QString placeSourceText(const VideoItem& item)
{
    if (item.location.trimmed().isEmpty())
        return {};
    if (item.locationByHand)
        return u"（手动）"_s;
    if (item.pathPlace && *item.pathPlace == item.location)
        return u"（来自目录名）"_s;
    if (item.geoPlace && *item.geoPlace == item.location)
        return u"（来自 GPS）"_s;
    return u"（来自模型）"_s;
}

// The one value all items give, or nothing when they differ.
std::optional<QString> shared(
    const QList<VideoItem>& items, const std::function<QString(const VideoItem&)>& of)
{
    const QString first = of(items.constFirst());
    for (const VideoItem& item : items) {
        if (of(item) != first)
            return std::nullopt;
    }
    return first;
}

QLabel* caption(const QString& text)
{
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() + 1);
    label->setFont(font);
    return label;
}

QFont monospace(qreal delta, bool medium)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(font.pointSizeF() + delta);
    if (medium)
        font.setWeight(QFont::Medium);
    return font;
}

} // namespace

DetailPane::DetailPane(AppModel& model, QWidget* parent)
    : QScrollArea(parent)
    , m_model(model)
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(8);
    column->setAlignment(Qt::AlignTop);

    column->addWidget(caption(u"预览帧"_s));
    m_framesStrip = new QWidget;
    m_frames = new QHBoxLayout(m_framesStrip);
    m_frames->setContentsMargins(0, 0, 0, 0);
    m_frames->setSpacing(8);
    m_frames->addStretch(0);
    column->addWidget(m_framesStrip);

    m_montageTitle = new QLabel(u"发送给模型的画面"_s);
    QFont bold = m_montageTitle->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() + 1);
    m_montageTitle->setFont(bold);
    column->addWidget(m_montageTitle);
    m_montage = new PictureView(MontageMaxWidth, 200, true);
    m_montage->setAccessibleName(u"发送给模型的画面"_s);
    column->addWidget(m_montage);

    column->addWidget(caption(u"素材信息"_s));
    m_original = new QLabel(u"未选择"_s);
    QFont medium = m_original->font();
    medium.setWeight(QFont::Medium);
    m_original->setFont(medium);
    m_original->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // File names, names and places are text, whatever markup they may look like.
    m_original->setTextFormat(Qt::PlainText);
    m_original->setWordWrap(true);
    column->addWidget(m_original);
    m_companions = new QLabel;
    m_companions->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_companions->setTextFormat(Qt::PlainText);
    m_companions->setWordWrap(true);
    column->addWidget(m_companions);
    m_captureDate = new QLabel;
    m_captureDate->setObjectName(u"captureDateLabel"_s);
    m_captureDate->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_captureDate);
    m_content = makeField(u"模型识别的内容"_s, u"内容描述"_s, Field::Content);
    m_location = makeField(u"模型推测的地点"_s, u"地点 / 场景"_s, Field::Location);
    column->addWidget(fieldRow(u"内容描述"_s, m_content));
    QWidget* locationRow = fieldRow(u"地点 / 场景"_s, m_location);
    m_placeSource = new QLabel;
    m_placeSource->setObjectName(u"placeSourceLabel"_s);
    m_placeSource->setForegroundRole(QPalette::PlaceholderText);
    locationRow->layout()->addWidget(m_placeSource);
    column->addWidget(locationRow);
    m_attribution = GeocoderAttribution::makeLabel();
    column->addWidget(m_attribution, 0, Qt::AlignRight);

    column->addWidget(caption(u"命名"_s));
    m_proposed = makeField(u"新文件名"_s, u"新文件名（可手动修改）"_s, Field::Proposed);
    column->addWidget(fieldRow(u"新文件名（可手动修改）"_s, m_proposed));
    m_result = new QLabel;
    m_result->setFont(monospace(0, true));
    QPalette accent = m_result->palette();
    accent.setColor(QPalette::WindowText, Colours::accent()); // as the list draws new names
    m_result->setPalette(accent);
    m_result->setWordWrap(true);
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_result->setTextFormat(Qt::PlainText);
    column->addWidget(m_result);
    m_failure = new QLabel;
    m_failure->setWordWrap(true);
    QPalette red = m_failure->palette();
    red.setColor(QPalette::WindowText, Colours::failure()); // as the list draws errors
    m_failure->setPalette(red);
    m_failure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_failure);

    column->addWidget(caption(u"模型原始返回"_s));
    m_analysis = new QPlainTextEdit;
    m_analysis->setReadOnly(true);
    m_analysis->setFont(monospace(-1, false));
    m_analysis->setFixedHeight(140);
    m_analysis->setAccessibleName(u"模型原始返回"_s);
    m_analysis->setTabChangesFocus(true);
    column->addWidget(m_analysis);

    setWidget(content);
    show(std::nullopt);
}

QLineEdit* DetailPane::makeField(const QString& placeholder, const QString& caption, Field field)
{
    auto* edit = new QLineEdit;
    edit->setPlaceholderText(placeholder);
    edit->setAccessibleName(caption);
    edit->setClearButtonEnabled(false);
    connect(edit, &QLineEdit::editingFinished, this, [this, field] { applyEdit(field); });
    edit->installEventFilter(this);
    m_placeholders.insert(edit, placeholder);
    return edit;
}

QWidget* DetailPane::fieldRow(const QString& text, QLineEdit* field)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // As wide as the longest caption, at least 120, so the fields line up.
    const int width
        = std::max(120, QFontMetrics(label->font()).horizontalAdvance(u"新文件名（可手动修改）"_s) + 4);
    label->setFixedWidth(width);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setBuddy(field);
    layout->addWidget(label);
    layout->addWidget(field, 1);
    return row;
}

int DetailPane::frameCount() const
{
    return m_frames->count() - 1; // the stretch at the end
}

void DetailPane::setFieldText(QLineEdit* field, const QString& text, bool sameItem)
{
    // What the user is typing into this item's field survives the item's other changes (a run
    // updating it, a rename) until the edit ends.
    if (sameItem && field->hasFocus() && field->isModified())
        return;
    if (field->text() != text)
        field->setText(text);
    field->setModified(false);
    field->setCursorPosition(0);
}

void DetailPane::clearPictures()
{
    while (m_frames->count() > 1)
        delete m_frames->takeAt(0)->widget();
    m_shownPictures.clear();
    m_montage->setImage(QImage());
    m_montageTitle->hide();
    m_montage->hide();
    m_framesStrip->hide();
}

void DetailPane::showMany(const QList<QUuid>& ids)
{
    QList<VideoItem> items;
    for (const QUuid& id : ids) {
        if (std::optional<VideoItem> item = m_model.itemSnapshot(id))
            items.append(std::move(*item));
    }
    if (items.size() <= 1) {
        show(items.isEmpty() ? std::nullopt : std::optional(items.constFirst().id));
        return;
    }
    const bool sameItems = !m_id && m_ids == ids;
    m_id.reset();
    m_ids = ids;
    clearPictures();
    m_original->setText(u"已选择 "_s + QString::number(items.size()) + u" 个素材"_s);
    m_companions->hide();
    m_captureDate->setText(shared(items, captureDateText).value_or(u"拍摄时间："_s + Several));
    const auto showField = [&](QLineEdit* field, const std::optional<QString>& value) {
        setFieldText(field, value.value_or(QString()), sameItems);
        field->setPlaceholderText(value ? m_placeholders.value(field) : Several);
    };
    showField(m_content, shared(items, [](const VideoItem& item) { return item.content; }));
    showField(m_location, shared(items, [](const VideoItem& item) { return item.location; }));
    showField(m_proposed, shared(items, [](const VideoItem& item) { return item.proposedName; }));
    m_content->setEnabled(true);
    m_location->setEnabled(true);
    // One name for many files would only clash: names are typed one at a time.
    m_proposed->setEnabled(false);
    const std::optional<QString> placeSource = shared(items, placeSourceText);
    m_placeSource->setText(placeSource.value_or(Several));
    m_placeSource->setVisible(!placeSource || !placeSource->isEmpty());
    m_attribution->hide();
    m_result->clear();
    m_failure->hide();
    m_analysis->clear();
}

void DetailPane::show(const std::optional<QUuid>& id)
{
    const bool sameItem = id && m_id == id;
    const std::optional<VideoItem> item = id ? m_model.itemSnapshot(*id) : std::nullopt;
    m_id = item ? id : std::nullopt;
    m_ids = m_id ? QList<QUuid> { *m_id } : QList<QUuid>();
    for (QLineEdit* field : { m_content, m_location, m_proposed }) {
        field->setPlaceholderText(m_placeholders.value(field));
        field->setEnabled(item.has_value());
    }
    if (!item) {
        clearPictures();
        m_original->setText(u"未选择"_s);
        m_companions->clear();
        m_companions->hide();
        m_captureDate->clear();
        m_placeSource->hide();
        for (QLineEdit* field : { m_content, m_location, m_proposed })
            setFieldText(field, QString(), false);
        m_result->clear();
        m_failure->hide();
        m_analysis->clear();
        m_attribution->hide();
        return;
    }
    showPictures(*id);
    m_original->setText(u"原始文件名："_s + displayFileName(item->url));
    m_companions->setText(Companions::describe(*item));
    m_companions->setVisible(!item->companions.empty());
    m_captureDate->setText(captureDateText(*item));
    setFieldText(m_content, item->content, sameItem);
    setFieldText(m_location, item->location, sameItem);
    m_placeSource->setText(placeSourceText(*item));
    m_placeSource->setVisible(!m_placeSource->text().isEmpty());
    m_attribution->setVisible(item->geoPlace && !item->geoPlace->isEmpty()
        && GeocoderAttribution::isPublicService(m_model.settings().geocoderURL));
    setFieldText(m_proposed, item->proposedName, sameItem);
    // The name the file will get: cleaned and, when too long for its folder, cut.
    const QString name = ItemListModel::proposedFileName(*item);
    m_result->setText(u"重命名后："_s + (name.isEmpty() ? u"（未命名）"_s : name));
    m_failure->setText(u"上次重命名失败："_s + item->renameFailure);
    m_failure->setVisible(!item->renameFailure.isEmpty());
    const QString reply = item->analysisText.isEmpty() ? u"（尚未分析）"_s : item->analysisText;
    if (m_analysis->toPlainText() != reply)
        m_analysis->setPlainText(reply);
}

void DetailPane::showPictures(const QUuid& id)
{
    const std::optional<VideoItem> item = m_model.itemSnapshot(id);
    // The frame count, the montage geometry and the thumbnail change whenever the pictures do.
    QByteArray identity = id.toRfc4122();
    if (item) {
        identity += QByteArray::number(item->frameCount) + '/' + QByteArray::number(item->frames.size());
        if (item->montage)
            identity += '/' + QByteArray::number(item->montage->width) + 'x'
                + QByteArray::number(item->montage->height);
        identity += QCryptographicHash::hash(item->thumbnail, QCryptographicHash::Md5);
    }
    if (identity == m_shownPictures)
        return;
    m_shownPictures = identity;

    while (m_frames->count() > 1)
        delete m_frames->takeAt(0)->widget();
    const AppModel::Pictures pictures = m_model.pictures(id);
    int index = 0;
    // Frames are shown small: decoded at the size drawn (the JPEG decoder scales as it decodes), not
    // at the model's 1280 pixels, so that walking the list with the arrow keys stays smooth.
    const int frameEdge = int(std::ceil(FrameWidth * devicePixelRatioF()));
    for (const QByteArray& jpeg : pictures.frames) {
        QBuffer buffer;
        buffer.setData(jpeg);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "JPEG");
        if (const QSize size = reader.size(); size.width() > frameEdge)
            reader.setScaledSize(QSize(frameEdge, std::max(1, size.height() * frameEdge / size.width())));
        const QImage image = reader.read();
        if (image.isNull())
            continue;
        auto* view = new PictureView(FrameWidth, 40, false);
        view->setImage(image);
        view->setAccessibleName(u"预览帧 "_s + QString::number(++index));
        m_frames->insertWidget(m_frames->count() - 1, view, 1);
    }
    m_framesStrip->setVisible(index > 0);

    QImage montage;
    if (!pictures.montage.isEmpty() && montage.loadFromData(pictures.montage, "JPEG")) {
        const int frames = item ? (item->frames.isEmpty() ? item->frameCount : int(item->frames.size())) : 0;
        m_montageTitle->setText(u"发送给模型的画面（"_s + QString::number(frames) + u" 帧拼成 1 张 "_s
            + QString::number(montage.width()) + u"×"_s + QString::number(montage.height()) + u"）"_s);
        m_montage->setImage(montage);
        m_montageTitle->show();
        m_montage->show();
    } else {
        m_montage->setImage(QImage());
        m_montageTitle->hide();
        m_montage->hide();
    }
}

void DetailPane::commitEdits()
{
    for (const Field field : { Field::Content, Field::Location, Field::Proposed })
        applyEdit(field);
}

void DetailPane::applyEdit(Field field)
{
    QLineEdit* edit = field == Field::Content ? m_content
        : field == Field::Location            ? m_location
                                              : m_proposed;
    // Only a real edit counts: tabbing through a field must not rebuild a name typed by hand.
    if (m_ids.isEmpty() || !edit->isModified())
        return;
    edit->setModified(false);
    const QString text = edit->text();
    const AppSettings& settings = m_model.settings();
    if (field == Field::Proposed && m_ids.size() > 1)
        return;
    // A copy: each change below may show the pane again.
    const QList<QUuid> ids = m_ids;
    for (const QUuid& id : ids) {
        m_model.mutateItem(id, [&](VideoItem& item) {
            item.hasTypedName = true;
            switch (field) {
            case Field::Content:
                item.content = text;
                item.contentByHand = true;
                item.nameByHand = false; // the latest edit wins: the name follows its parts again
                item.proposedName = NameBuilder::build(item, settings);
                break;
            case Field::Location:
                item.location = text;
                item.locationByHand = true;
                item.nameByHand = false; // the latest edit wins: the name follows its parts again
                item.proposedName = NameBuilder::build(item, settings);
                break;
            case Field::Proposed:
                item.proposedName = text; // as typed: the renamer cleans names
                item.nameByHand = true;
                break;
            }
        });
    }
}

bool DetailPane::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::ControlModifier
            && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up)) {
            commitEdits();
            emit stepRequested(key->key() == Qt::Key_Down ? 1 : -1);
            // The focus stays in the field; its new text is selected, ready to be typed over.
            if (auto* field = qobject_cast<QLineEdit*>(watched); field && field->hasFocus())
                field->selectAll();
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}
