// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "naming/RenamePlan.h"

#include <QDialog>

class QPushButton;
class QTreeWidget;

// Shows the files of a rename batch that are not plain (a name proposed twice, cut short, taken on
// disk, companions that go along, files that would fail) before anything moves; accepted means
// "rename". Main thread; owned by the main window, which opens it window-modal.
class RenameConfirmWindow : public QDialog
{
    Q_OBJECT

public:
    explicit RenameConfirmWindow(const RenamePlan::Plan& plan, QWidget* parent = nullptr);

    QTreeWidget* fileList() const
    {
        return m_files;
    }
    QPushButton* renameButton() const
    {
        return m_rename;
    }

private:
    QTreeWidget* m_files = nullptr;
    QPushButton* m_rename = nullptr;
};
