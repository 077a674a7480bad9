// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "update/UpdateChecker.h"

#include <QMessageBox>

// Tells the user that a newer version is out and acts on the answer: open the download page in the
// browser, never mention this version again, or nothing. Main thread; modal while it asks.
class UpdateAlert : public QMessageBox
{
    Q_OBJECT

public:
    UpdateAlert(const QString& latest, const QString& current, QWidget* parent = nullptr);

    // Asks, records the answer in the environment's settings store and opens its download page in the
    // browser for a download. Closing the alert any other way counts as "later".
    static UpdateChecker::Choice ask(
        const QString& latest, const UpdateChecker::Environment& environment, QWidget* parent);

    UpdateChecker::Choice choice() const;

private:
    QAbstractButton* m_download = nullptr;
    QAbstractButton* m_skip = nullptr;
};
