// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/RenameConfirmWindow.h"

#include "common/VideoItem.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

RenameConfirmWindow::RenameConfirmWindow(const RenamePlan::Plan& plan, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(u"renameConfirmWindow"_s);
    setWindowTitle(u"重命名前请确认"_s);
    const qsizetype count = plan.renameCount();
    qsizetype listed = 0;

    m_files = new QTreeWidget;
    m_files->setObjectName(u"planList"_s);
    m_files->setAccessibleName(u"需要留意的文件"_s);
    m_files->setRootIsDecorated(false);
    m_files->setUniformRowHeights(true);
    m_files->setHeaderLabels({ u"文件"_s, u"新名称"_s, u"说明"_s });
    m_files->header()->setSectionResizeMode(QHeaderView::Interactive);
    for (const RenamePlan::File& file : plan.files) {
        if (file.isPlain())
            continue;
        ++listed;
        const QString to = file.to.empty() ? u"（不重命名）"_s : displayFileName(file.to);
        auto* row = new QTreeWidgetItem(
            m_files, { displayFileName(file.from), to, RenamePlan::notes(file).join(u"；"_s) });
        row->setToolTip(0, displayPath(file.from));
        row->setToolTip(2, row->text(2));
    }
    for (int column = 0; column < 2; ++column)
        m_files->resizeColumnToContents(column);

    auto* summary = new QLabel(u"将重命名 "_s + QString::number(count) + u" 个文件，其中 "_s
        + QString::number(listed) + u" 个文件需要留意："_s);
    summary->setObjectName(u"summaryLabel"_s);
    summary->setWordWrap(true);

    auto* buttons = new QDialogButtonBox;
    m_rename
        = buttons->addButton(u"重命名 "_s + QString::number(count) + u" 个"_s, QDialogButtonBox::AcceptRole);
    m_rename->setObjectName(u"renameButton"_s);
    m_rename->setEnabled(count > 0);
    QPushButton* cancel = buttons->addButton(u"取消"_s, QDialogButtonBox::RejectRole);
    cancel->setObjectName(u"cancelButton"_s);
    // A slip of the Return key must not start the batch.
    m_rename->setAutoDefault(false);
    cancel->setDefault(true);
    cancel->setFocus();
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* column = new QVBoxLayout(this);
    column->addWidget(summary);
    column->addWidget(m_files, 1);
    column->addWidget(buttons);
    resize(720, 420);
}
