// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>
#include <QList>

class AppModel;
class QRadioButton;

// Three radio buttons that choose which media an import takes; a choice is stored and reported at
// once. Made once by SecondaryWindows; main thread.
class MediaTargetWindow : public QDialog
{
    Q_OBJECT

public:
    explicit MediaTargetWindow(AppModel& model, QWidget* parent = nullptr);

    // The formats the photo target takes, as the help texts name them.
    static QString helpText();

    const QList<QRadioButton*>& radios() const
    {
        return m_radios;
    }
    // Chooses the target of this radio (0 videos, 1 photos, 2 both); other numbers are ignored.
    void picked(int tag);

private:
    AppModel& m_model;
    QList<QRadioButton*> m_radios;
    int m_toggled = -1; // the radio just switched on by the click under way
};
