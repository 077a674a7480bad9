// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QList>

class AppModel;
class QLabel;
class QLineEdit;
class QPushButton;

// Leads a new user to a working local model server: three set-up steps with commands to copy, a mark
// per readiness check, a one-click model download and a re-check. Follows every readiness report, also
// while closed, and closes itself once everything is ready. Made once by SecondaryWindows; main thread.
class OnboardingWindow : public QDialog
{
    Q_OBJECT

public:
    static constexpr int ContentWidth = 528;

    explicit OnboardingWindow(AppModel& model, QWidget* parent = nullptr);

    // The marks, commands and copy buttons of the three steps, in step order.
    const QList<QLabel*>& statusLabels() const
    {
        return m_marks;
    }
    const QList<QPushButton*>& copyButtons() const
    {
        return m_copyButtons;
    }
    QLabel* noteLabel() const
    {
        return m_note;
    }
    QPushButton* pullButton() const
    {
        return m_pull;
    }

    // Marks, button and note from the model's readiness and download state.
    void refresh();

private:
    struct Step
    {
        QString title;
        QString command;
    };
    static QList<Step> steps();
    QWidget* stepRow(const Step& step);

    AppModel& m_model;
    QList<QLabel*> m_marks;
    QList<QLabel*> m_titles;
    QList<QLineEdit*> m_commands;
    QList<QPushButton*> m_copyButtons;
    QLabel* m_note = nullptr;
    QPushButton* m_pull = nullptr;
};
