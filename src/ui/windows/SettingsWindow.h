// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ui/windows/FormParts.h"

#include <QDialog>

class AppModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QVBoxLayout;

// Every setting in one window. Most values are stored only by "应用并关闭"; the engine and media-target
// popups and the model download act at once. Made once by SecondaryWindows and shown again with what
// its controls held when it was closed; lives on the main thread as long as the main window.
class SettingsWindow : public QDialog
{
    Q_OBJECT

public:
    static constexpr int ContentWidth = 428;
    static constexpr int FieldWidth = 300;

    explicit SettingsWindow(AppModel& model, QWidget* parent = nullptr);

    // Stores every control's value and closes; stays open and says why when a value is not usable.
    void apply();
    // Closes without reading a control (also Escape and the close button).
    void cancel();
    void reject() override;
    // Whether a model of this name is on the server (an empty name counts as there).
    bool isInstalled(const QString& name) const;
    // The reason the last apply was refused, empty when it was not.
    QString applyError() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildUI();
    QWidget* localOnly(QWidget* widget);
    QWidget* onlineOnly(QWidget* widget);
    void engineChanged(int index);
    void targetChanged(int index);
    void frameChanged(int value);
    void pullModel();
    void reloadModels();
    void refreshPullState();
    void updateEngineUI();
    void updateAttribution();
    void updateExample();
    void updatePlainKeyWarning();
    void updateFirstSteps();
    void resizeWindowToFit();
    void setNote(const QString& text, FormParts::Tone tone);
    void refuse(const QString& reason, QWidget* field);

    AppModel& m_model;
    QVBoxLayout* m_stack = nullptr;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_footer = nullptr;
    QComboBox* m_target = nullptr;
    QComboBox* m_engine = nullptr;
    QLineEdit* m_endpoint = nullptr;
    QLineEdit* m_apiBase = nullptr;
    QLineEdit* m_apiKey = nullptr;
    QLabel* m_plainKeyWarning = nullptr;
    QList<QWidget*> m_localOnly;
    QList<QWidget*> m_onlineOnly;
    QComboBox* m_modelCombo = nullptr;
    QPushButton* m_pull = nullptr;
    QLabel* m_pullNote = nullptr;
    QSpinBox* m_localConcurrency = nullptr;
    QSpinBox* m_onlineConcurrency = nullptr;
    QSpinBox* m_frames = nullptr;
    QLabel* m_frameLabel = nullptr;
    QCheckBox* m_date = nullptr;
    QCheckBox* m_location = nullptr;
    QCheckBox* m_content = nullptr;
    QCheckBox* m_original = nullptr;
    QLineEdit* m_separator = nullptr;
    QCheckBox* m_pathPlace = nullptr;
    QCheckBox* m_gpsGeocode = nullptr;
    QLineEdit* m_geocoder = nullptr;
    QLabel* m_attribution = nullptr;
    QLabel* m_example = nullptr;
    QCheckBox* m_update = nullptr;
    QLabel* m_firstStep = nullptr;
    QLabel* m_error = nullptr;
};
