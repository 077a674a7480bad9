// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SecondaryWindows.h"

#include "core/AppModel.h"
#include "ui/widgets/WindowPlacement.h"
#include "ui/windows/MediaTargetWindow.h"
#include "ui/windows/OnboardingWindow.h"
#include "ui/windows/SettingsWindow.h"
#include "ui/windows/SponsorWindow.h"
#include "ui/windows/UpdateAlert.h"

SecondaryWindows::SecondaryWindows(AppModel& model, QWidget* mainWindow)
    : QObject(mainWindow)
    , m_model(model)
    , m_main(mainWindow)
{ }

SecondaryWindows::~SecondaryWindows() = default;

void SecondaryWindows::present(QWidget* window)
{
    WindowPlacement::attachTo(window, m_main);
    window->show();
    window->raise();
    window->activateWindow();
}

namespace {

// A settings window shows the settings as they were when it was built; one that was closed is built
// anew, so that it never shows (and applies) values another window has changed since.
template <typename Window> void dropIfClosed(QPointer<Window>& window)
{
    if (window && !window->isVisible())
        delete window.data();
}

} // namespace

void SecondaryWindows::showSettings()
{
    dropIfClosed(m_settings);
    if (!m_settings)
        m_settings = new SettingsWindow(m_model, m_main);
    present(m_settings);
}

void SecondaryWindows::showOnboarding()
{
    if (!m_onboarding)
        m_onboarding = new OnboardingWindow(m_model, m_main);
    present(m_onboarding);
}

void SecondaryWindows::showMediaTarget()
{
    dropIfClosed(m_mediaTarget);
    if (!m_mediaTarget)
        m_mediaTarget = new MediaTargetWindow(m_model, m_main);
    present(m_mediaTarget);
}

void SecondaryWindows::showSponsor()
{
    if (!m_sponsor)
        m_sponsor = new SponsorWindow(m_main);
    present(m_sponsor);
}

void SecondaryWindows::showUpdateAlert(const QString& latest)
{
    UpdateChecker::Environment environment;
    environment.storePath = m_model.settings().storePath();
    UpdateAlert::ask(latest, environment, m_main);
}

OnboardingWindow* SecondaryWindows::onboardingWindow() const
{
    return m_onboarding;
}

SettingsWindow* SecondaryWindows::settingsWindow() const
{
    return m_settings;
}

MediaTargetWindow* SecondaryWindows::mediaTargetWindow() const
{
    return m_mediaTarget;
}

SponsorWindow* SecondaryWindows::sponsorWindow() const
{
    return m_sponsor;
}
