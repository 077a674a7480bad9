// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class AppModel;
class MediaTargetWindow;
class OnboardingWindow;
class QWidget;
class SettingsWindow;
class SponsorWindow;

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
    // Asks whether to download a newer version, skip it, or decide later, and acts on the answer.
    void showUpdateAlert(const QString& latest);

    // The windows made so far; null before their first showing.
    OnboardingWindow* onboardingWindow() const;
    SettingsWindow* settingsWindow() const;
    MediaTargetWindow* mediaTargetWindow() const;
    SponsorWindow* sponsorWindow() const;

private:
    void present(QWidget* window);

    AppModel& m_model;
    QWidget* m_main = nullptr;
    QPointer<SettingsWindow> m_settings;
    QPointer<OnboardingWindow> m_onboarding;
    QPointer<MediaTargetWindow> m_mediaTarget;
    QPointer<SponsorWindow> m_sponsor;
};
