// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/OnboardingWindow.h"

#include "core/AppModel.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/SetupSteps.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

const QString PullTitle = u"一键拉取视觉模型（约 5 GB）"_s;

} // namespace

QList<OnboardingWindow::Step> OnboardingWindow::steps()
{
    const QString start = SetupSteps::startCommand();
    const bool service = start.startsWith(u"systemctl");
    return {
        { u"1. 安装 Ollama（官网的 Linux 安装命令，会请你输入管理员密码）"_s, SetupSteps::installCommand() },
        { service ? u"2. 启动本地服务（安装时已设为系统服务，启动后即在后台运行）"_s
                  : u"2. 启动本地服务（在终端运行，用模型期间保持该终端开着）"_s,
            start },
        { u"3. 拉取视觉模型（或直接点下方「一键拉取」按钮）"_s, SetupSteps::pullCommand() },
    };
}

OnboardingWindow::OnboardingWindow(AppModel& model, QWidget* parent)
    : QDialog(parent)
    , m_model(model)
{
    setObjectName(u"onboardingWindow"_s);
    setWindowTitle(u"配置本地模型 Ollama"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(10);
    stack->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    stack->addWidget(FormParts::title(u"首次启动：配置本地免费的 Ollama 模型"_s, 3));
    stack->addWidget(FormParts::help(u"本应用使用你本机运行的 Ollama 视觉模型来分析视频内容，素材不会上传。"
                                     u"请按下面三步配置（点「复制」后到终端粘贴执行；安装只需一条命令）。"_s,
        ContentWidth));
    for (const Step& step : steps())
        stack->addWidget(stepRow(step));

    m_note = new QLabel;
    m_note->setObjectName(u"noteLabel"_s);
    m_note->setWordWrap(true);
    m_note->setFixedWidth(ContentWidth);
    QFont bold = m_note->font();
    bold.setBold(true);
    m_note->setFont(bold);
    stack->addWidget(m_note);

    m_pull = new QPushButton(PullTitle);
    m_pull->setObjectName(u"pullButton"_s);
    m_pull->setAutoDefault(false);
    connect(m_pull, &QPushButton::clicked, this, [this] {
        m_pull->setEnabled(false); // a second click before the model answers starts nothing
        m_model.pullVisionModel(m_model.settings().model());
    });
    stack->addWidget(m_pull, 0, Qt::AlignLeft);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* retry = new QPushButton(u"重试检测"_s);
    retry->setObjectName(u"retryButton"_s);
    retry->setAutoDefault(false);
    connect(retry, &QPushButton::clicked, &m_model, &AppModel::checkOllamaReadiness);
    auto* close = new QPushButton(u"关闭"_s);
    close->setObjectName(u"closeButton"_s);
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    buttons->addWidget(retry);
    buttons->addStretch(1);
    buttons->addWidget(close);
    stack->addLayout(buttons);

    // The window follows its content: a long error in the note makes it taller rather than cut off.
    stack->setSizeConstraint(QLayout::SetFixedSize);
    setMinimumSize(560, 300);
    connect(&model, &AppModel::readinessChanged, this, &OnboardingWindow::refresh);
    refresh();
}

QWidget* OnboardingWindow::stepRow(const Step& step)
{
    auto* row = new QWidget;
    row->setFixedWidth(ContentWidth);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    auto* mark = new QLabel(u"•"_s);
    mark->setObjectName(u"statusLabel"_s);
    QFont markFont = FormParts::font(mark, 4);
    markFont.setBold(true);
    mark->setFont(markFont);
    mark->setAlignment(Qt::AlignCenter);
    mark->setMinimumWidth(QFontMetrics(markFont).horizontalAdvance(u"✅"_s) + 4);
    m_marks.append(mark);
    layout->addWidget(mark);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(4);
    auto* title = new QLabel(step.title);
    QFont medium = title->font();
    medium.setWeight(QFont::Medium);
    title->setFont(medium);
    title->setWordWrap(true);
    m_titles.append(title);
    texts->addWidget(title);
    auto* command = new QLineEdit(step.command);
    command->setObjectName(u"commandEdit"_s);
    command->setReadOnly(true);
    command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    command->setFixedWidth(420);
    command->setCursorPosition(0);
    command->setAccessibleName(step.title);
    m_commands.append(command);
    texts->addWidget(command);
    layout->addLayout(texts, 1);

    auto* copy = new QPushButton(u"复制"_s);
    copy->setObjectName(u"copyButton"_s);
    copy->setAutoDefault(false);
    copy->setAccessibleDescription(step.title);
    // The field may have been refreshed since (step 2 follows how the server was installed).
    connect(copy, &QPushButton::clicked, command,
        [command] { QGuiApplication::clipboard()->setText(command->text(), QClipboard::Clipboard); });
    m_copyButtons.append(copy);
    layout->addWidget(copy, 0, Qt::AlignBottom);
    return row;
}

void OnboardingWindow::refresh()
{
    const AppModel::OllamaReadiness& readiness = m_model.readiness();
    const bool pulling = m_model.isPulling();
    const QString progress = m_model.pullProgress();

    const bool checks[] = { readiness.installed, readiness.running, readiness.hasModel };
    for (int i = 0; i < 3; ++i)
        m_marks.at(i)->setText(checks[i] ? u"✅"_s : u"❌"_s);
    // How to start the server depends on how it was installed, which may have changed since.
    const QList<Step> current = steps();
    for (int i = 0; i < 3; ++i) {
        m_titles.at(i)->setText(current.at(i).title);
        if (m_commands.at(i)->text() != current.at(i).command)
            m_commands.at(i)->setText(current.at(i).command);
        m_commands.at(i)->setAccessibleName(current.at(i).title);
    }

    m_pull->setEnabled(readiness.installed && readiness.running && !readiness.hasModel && !pulling);
    m_pull->setText(pulling ? u"下载中…"_s : PullTitle);

    if (pulling) {
        FormParts::setText(m_note, progress.isEmpty() ? u"正在下载模型…"_s : progress, FormParts::Tone::Busy);
    } else if (!progress.isEmpty() && !readiness.hasModel && progress.startsWith(u"❌")) {
        FormParts::setText(m_note, progress, FormParts::Tone::Failure);
    } else if (readiness.error) {
        FormParts::setText(m_note, *readiness.error, FormParts::Tone::Failure);
    } else if (readiness.installed && readiness.running && readiness.hasModel) {
        FormParts::setText(m_note, u"✅ 已全部就绪，可以开始使用！"_s, FormParts::Tone::Success);
        if (isVisible())
            close();
    } else {
        FormParts::setText(m_note, u"请完成上方未通过的检查项"_s, FormParts::Tone::Neutral);
    }
}
