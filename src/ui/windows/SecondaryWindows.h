// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class AppModel;
class QWidget;

// The windows the main window opens: each is made on first use, then kept and shown again, centred
// over the main window and above it.
class SecondaryWindows : public QObject
{
    Q_OBJECT

public:
    SecondaryWindows(AppModel& model, QWidget* mainWindow);
    ~SecondaryWindows() override;

    void showSettings();
    void showOnboarding();
    void showMediaTarget();
    void showSponsor();
    // Asks whether to download a newer version, skip it, or decide later.
    void showUpdateAlert(const QString& latest);

    QWidget* onboardingWindow() const
    {
        return m_onboarding;
    }

private:
    void present(QWidget* window);
    QWidget* placeholder(const QString& title, int width, int height);

    AppModel& m_model;
    QWidget* m_main = nullptr;
    QPointer<QWidget> m_settings;
    QPointer<QWidget> m_onboarding;
    QPointer<QWidget> m_mediaTarget;
    QPointer<QWidget> m_sponsor;
};
