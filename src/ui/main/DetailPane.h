// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QList>
#include <QScrollArea>
#include <QUuid>

#include <optional>

class AppModel;
struct VideoItem;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class PictureView;

// The right half of the main window: the selected item's preview frames, the montage sent to the
// model, its original name, the three editable fields and the model's raw reply.
class DetailPane : public QScrollArea
{
    Q_OBJECT

public:
    explicit DetailPane(AppModel& model, QWidget* parent = nullptr);

    // Shows this item (nothing: the empty pane). Fields being edited keep what the user typed when
    // the same item is shown again.
    void show(const std::optional<QUuid>& id);
    // Shows several items at once: the fields they share, "（多个值）" where they differ. An edit of the
    // content or the place applies to all of them. One id is the same as show(id).
    void showMany(const QList<QUuid>& ids);
    // Applies what is typed into a field not yet left, before an action that reads the items: a toolbar
    // button takes no focus, so the field would otherwise apply its text after the action.
    void commitEdits();
    std::optional<QUuid> shownId() const
    {
        return m_id;
    }

    QLineEdit* contentField() const
    {
        return m_content;
    }
    QLineEdit* locationField() const
    {
        return m_location;
    }
    QLineEdit* proposedField() const
    {
        return m_proposed;
    }
    QLabel* originalLabel() const
    {
        return m_original;
    }
    QLabel* attributionLabel() const
    {
        return m_attribution;
    }
    QLabel* companionsLabel() const
    {
        return m_companions;
    }
    QLabel* captureDateLabel() const
    {
        return m_captureDate;
    }
    QLabel* placeSourceLabel() const
    {
        return m_placeSource;
    }
    QLabel* resultLabel() const
    {
        return m_result;
    }
    QLabel* failureLabel() const
    {
        return m_failure;
    }
    QLabel* montageTitle() const
    {
        return m_montageTitle;
    }
    QPlainTextEdit* analysisView() const
    {
        return m_analysis;
    }
    int frameCount() const;

signals:
    // Ctrl+Down (+1) or Ctrl+Up (-1) in a field, after its edit was applied: show the next or previous row.
    void stepRequested(int delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Field
    {
        Content,
        Location,
        Proposed,
    };

    QLineEdit* makeField(const QString& placeholder, const QString& caption, Field field);
    QWidget* fieldRow(const QString& caption, QLineEdit* field);
    void applyEdit(Field field);
    void showPictures(const QUuid& id);
    void setFieldText(QLineEdit* field, const QString& text, bool sameItem);
    void showShared(const QList<VideoItem>& items, bool sameItems);
    void clearPictures();

    AppModel& m_model;
    std::optional<QUuid> m_id;
    QList<QUuid> m_ids; // every item shown: more than one when several rows are selected
    QWidget* m_framesStrip = nullptr;
    QHBoxLayout* m_frames = nullptr;
    QLabel* m_montageTitle = nullptr;
    PictureView* m_montage = nullptr;
    QLabel* m_original = nullptr;
    QLabel* m_companions = nullptr;
    QLabel* m_captureDate = nullptr;
    QLabel* m_placeSource = nullptr;
    QLineEdit* m_content = nullptr;
    QLineEdit* m_location = nullptr;
    QLabel* m_attribution = nullptr; // credits the public geocoder when it named the place
    QLineEdit* m_proposed = nullptr;
    QLabel* m_result = nullptr;
    QLabel* m_failure = nullptr;
    QPlainTextEdit* m_analysis = nullptr;
    QHash<QLineEdit*, QString> m_placeholders; // each field's own, in place of "（多个值）"
    QByteArray m_shownPictures; // identifies the pictures on screen, so they are decoded only when new
};
