// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/UpdateAlert.h"

#include "update/Messages.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>

UpdateAlert::UpdateAlert(const QString& latest, const QString& current, QWidget* parent)
    : QMessageBox(parent)
{
    setObjectName(QStringLiteral("updateAlert"));
    setIcon(QMessageBox::Information);
    setWindowTitle(Update::Messages::AlertTitle);
    setText(Update::Messages::AlertTitle);
    setInformativeText(Update::Messages::alertText(latest, current));
    // The version comes from a web page: shown as text, never as markup with links to follow.
    setTextFormat(Qt::PlainText);
    for (QLabel* label : findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setOpenExternalLinks(false);
    }
    m_download = addButton(Update::Messages::DownloadButton, QMessageBox::AcceptRole);
    m_skip = addButton(Update::Messages::SkipButton, QMessageBox::DestructiveRole);
    QPushButton* later = addButton(Update::Messages::LaterButton, QMessageBox::RejectRole);
    setDefaultButton(qobject_cast<QPushButton*>(m_download));
    setEscapeButton(later);
}

UpdateChecker::Choice UpdateAlert::choice() const
{
    if (clickedButton() == m_download)
        return UpdateChecker::Choice::Download;
    if (clickedButton() == m_skip)
        return UpdateChecker::Choice::Skip;
    return UpdateChecker::Choice::Later;
}

UpdateChecker::Choice UpdateAlert::ask(
    const QString& latest, const UpdateChecker::Environment& environment, QWidget* parent)
{
    UpdateAlert alert(latest, environment.currentVersion, parent);
    alert.exec();
    const UpdateChecker::Choice choice = alert.choice();
    UpdateChecker::applyChoice(choice, latest, environment.storePath);
    if (choice == UpdateChecker::Choice::Download && !environment.pageURL.isEmpty())
        QDesktopServices::openUrl(environment.pageURL);
    return choice;
}
