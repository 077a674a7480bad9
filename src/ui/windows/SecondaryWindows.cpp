// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SecondaryWindows.h"

#include "core/AppModel.h"
#include "ui/widgets/WindowPlacement.h"
#include "update/Messages.h"
#include "update/UpdateChecker.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

using namespace Qt::StringLiterals;

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

QWidget* SecondaryWindows::placeholder(const QString& title, int width, int height)
{
    auto* window = new QWidget(m_main, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setWindowTitle(title);
    window->resize(width, height);
    auto* layout = new QVBoxLayout(window);
    auto* label = new QLabel(title);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    return window;
}

void SecondaryWindows::showSettings()
{
    if (!m_settings)
        m_settings = placeholder(u"设置"_s, 460, 620);
    present(m_settings);
}

void SecondaryWindows::showOnboarding()
{
    if (!m_onboarding)
        m_onboarding = placeholder(u"配置本地模型 Ollama"_s, 560, 520);
    present(m_onboarding);
}

void SecondaryWindows::showMediaTarget()
{
    if (!m_mediaTarget)
        m_mediaTarget = placeholder(u"处理对象"_s, 420, 320);
    present(m_mediaTarget);
}

void SecondaryWindows::showSponsor()
{
    if (!m_sponsor)
        m_sponsor = placeholder(u"赞助作者"_s, 460, 580);
    present(m_sponsor);
}

void SecondaryWindows::showUpdateAlert(const QString& latest)
{
    QMessageBox box(m_main);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(Update::Messages::AlertTitle);
    box.setText(Update::Messages::AlertTitle);
    box.setInformativeText(Update::Messages::alertText(latest, UpdateChecker::currentVersion()));
    QPushButton* download = box.addButton(Update::Messages::DownloadButton, QMessageBox::AcceptRole);
    QPushButton* skip = box.addButton(Update::Messages::SkipButton, QMessageBox::DestructiveRole);
    QPushButton* later = box.addButton(Update::Messages::LaterButton, QMessageBox::RejectRole);
    box.setDefaultButton(download);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == download) {
        UpdateChecker::applyChoice(UpdateChecker::Choice::Download, latest);
        QDesktopServices::openUrl(UpdateChecker::downloadPageURL());
    } else if (box.clickedButton() == skip) {
        UpdateChecker::applyChoice(UpdateChecker::Choice::Skip, latest);
    }
}
