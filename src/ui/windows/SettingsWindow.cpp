// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SettingsWindow.h"

#include "common/AppSettings.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "core/Messages.h"
#include "naming/NameBuilder.h"
#include "ui/widgets/GeocoderAttribution.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/MediaTargetWindow.h"
#include "ui/windows/SetupSteps.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int MinimumWidth = 460;
constexpr int MinimumHeight = 320;

const QList<MediaTarget> Targets { MediaTarget::Videos, MediaTarget::Photos, MediaTarget::Both };

QString frameText(int frames)
{
    return QString::number(frames) + u" 张（多帧拼成一张发送，不影响速度）"_s;
}

QString modelPlaceholder(VisionEngine engine)
{
    return engine == VisionEngine::OpenAI ? u"例如 gpt-4o / qwen-vl-max"_s : u"例如 qwen2.5vl:7b"_s;
}

QLineEdit* field(const char* name, const QString& text, const QString& placeholder)
{
    auto* edit = new QLineEdit(text);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setPlaceholderText(placeholder);
    edit->setFixedWidth(SettingsWindow::FieldWidth);
    return edit;
}

QCheckBox* toggle(const char* name, const QString& text, bool on)
{
    auto* box = new QCheckBox(text);
    box->setObjectName(QString::fromLatin1(name));
    box->setChecked(on);
    return box;
}

QString addressError(const QString& caption, const QString& example)
{
    return u"「"_s + caption + u"」不是有效的网址，请填写例如 "_s + example + u" 这样的地址"_s;
}

} // namespace

SettingsWindow::SettingsWindow(AppModel& model, QWidget* parent)
    : QDialog(parent)
    , m_model(model)
{
    setObjectName(u"settingsWindow"_s);
    setWindowTitle(u"设置"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(false);
    resize(MinimumWidth, 620);
    buildUI();

    connect(&model, &AppModel::modelsChanged, this, &SettingsWindow::reloadModels);
    connect(&model, &AppModel::readinessChanged, this, &SettingsWindow::refreshPullState);

    updateEngineUI();
    reloadModels();
    resizeWindowToFit();
}

QWidget* SettingsWindow::localOnly(QWidget* widget)
{
    m_localOnly.append(widget);
    return widget;
}

QWidget* SettingsWindow::onlineOnly(QWidget* widget)
{
    m_onlineOnly.append(widget);
    return widget;
}

namespace {

// How many analyses the catalogue keeps, and a button that forgets them once the user confirms.
QWidget* storedResults(AppModel& model, CatalogueLink& link, QWidget* window)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel;
    label->setObjectName(u"storedResultsLabel"_s);
    auto* forget = new QPushButton(u"清除…"_s);
    forget->setObjectName(u"forgetButton"_s);
    forget->setAutoDefault(false);
    layout->addWidget(label);
    layout->addWidget(forget);
    auto show = [label, forget, &link] {
        const Catalogue::Usage usage = link.usage();
        label->setText(Messages::storedResults(usage.analyses, usage.bytes));
        forget->setEnabled(usage.analyses > 0);
    };
    show();
    QObject::connect(forget, &QPushButton::clicked, row, [show, window, &model, &link] {
        const qint64 count = link.usage().analyses;
        QMessageBox box(window);
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(u"清除保存的分析结果？"_s);
        box.setText(Messages::forgetQuestion(count));
        box.addButton(u"取消"_s, QMessageBox::RejectRole);
        QPushButton* confirm = box.addButton(u"清除"_s, QMessageBox::DestructiveRole);
        box.exec();
        if (box.clickedButton() != confirm)
            return;
        link.forgetAll();
        link.flush(std::chrono::seconds(1));
        show();
        model.setStatusMessage(Messages::forgotten(count));
        model.notify();
    });
    return row;
}

} // namespace

void SettingsWindow::buildUI()
{
    const AppSettings& s = m_model.settings();

    auto* content = new QWidget;
    m_stack = new QVBoxLayout(content);
    m_stack->setContentsMargins(16, 16, 16, 8);
    m_stack->setSpacing(10);
    m_stack->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto add = [this](QWidget* widget) { m_stack->addWidget(widget, 0, Qt::AlignLeft); };
    auto help = [](const QString& text) { return FormParts::help(text, ContentWidth); };

    add(FormParts::heading(u"处理对象（照片 / 视频）"_s));
    m_target = new QComboBox;
    m_target->setObjectName(u"targetCombo"_s);
    m_target->setFixedWidth(FieldWidth);
    for (MediaTarget target : Targets)
        m_target->addItem(displayTitle(target));
    m_target->setCurrentIndex(int(Targets.indexOf(s.mediaTarget())));
    connect(m_target, &QComboBox::activated, this, &SettingsWindow::targetChanged);
    add(FormParts::row(u"导入范围"_s, m_target));
    add(help(MediaTargetWindow::helpText()));

    add(FormParts::heading(u"识别引擎"_s));
    m_engine = new QComboBox;
    m_engine->setObjectName(u"engineCombo"_s);
    m_engine->setFixedWidth(FieldWidth);
    m_engine->addItem(displayTitle(VisionEngine::Ollama));
    m_engine->addItem(displayTitle(VisionEngine::OpenAI));
    m_engine->setCurrentIndex(s.engine() == VisionEngine::OpenAI ? 1 : 0);
    connect(m_engine, &QComboBox::activated, this, &SettingsWindow::engineChanged);
    add(FormParts::row(u"引擎"_s, m_engine));

    m_endpoint = field("endpointEdit", s.ollamaEndpoint, AppSettings::DefaultOllamaEndpoint);
    add(localOnly(FormParts::row(u"Ollama 地址"_s, m_endpoint)));
    m_pull = new QPushButton(u"下载该模型"_s);
    m_pull->setObjectName(u"pullButton"_s);
    m_pull->setAutoDefault(false);
    connect(m_pull, &QPushButton::clicked, this, &SettingsWindow::pullModel);
    add(localOnly(FormParts::row(QString(), m_pull)));
    add(localOnly(
        help(u"下拉里列出的只是本机已下载的模型。想换别的视觉模型，直接在上面输入名字再点「下载该模型」即可，"
             u"不用去终端敲 ollama pull。常用的有：qwen2.5vl:7b（默认，约 5 "
             u"GB）、qwen2.5vl:32b（更准但很吃内存）、"
             u"llama3.2-vision:11b、minicpm-v:8b。换成更大的模型会明显变慢，抽帧数可以相应调低。"_s)));

    m_apiBase = field("apiBaseEdit", s.openAIBaseURL, AppSettings::DefaultOpenAIBaseURL);
    add(onlineOnly(FormParts::row(u"接口地址"_s, m_apiBase)));
    m_apiKey = field("apiKeyEdit", s.openAIKey, u"sk-…（留空则不带鉴权头）"_s);
    m_apiKey->setEchoMode(QLineEdit::Password);
    add(onlineOnly(FormParts::row(u"API 密钥"_s, m_apiKey)));
    // In a box of its own: the engine shows and hides the box, the address and key this label.
    m_plainKeyWarning = FormParts::help(QString(), ContentWidth);
    m_plainKeyWarning->setObjectName(u"plainKeyWarningLabel"_s);
    m_plainKeyWarning->setTextFormat(Qt::PlainText);
    auto* warningBox = new QWidget;
    auto* warningLayout = new QVBoxLayout(warningBox);
    warningLayout->setContentsMargins(0, 0, 0, 0);
    warningLayout->addWidget(m_plainKeyWarning);
    add(onlineOnly(warningBox));
    connect(m_apiBase, &QLineEdit::textChanged, this, &SettingsWindow::updatePlainKeyWarning);
    connect(m_apiKey, &QLineEdit::textChanged, this, &SettingsWindow::updatePlainKeyWarning);
    add(onlineOnly(
        help(u"⚠️ "
             u"选联网接口后，画面会被上传到该服务商，不再是「全程本地」。只填支持视觉（识图）的模型，"
             u"例如 gpt-4o、qwen-vl-max、glm-4v、doubao-vision。接口地址填到 /v1 这一级即可（程序会自己拼 "
             u"/chat/completions）。通义千问兼容模式："_s
            + u"https://dashscope.aliyuncs.com/compatible-mode/v1"_s
            + u"。密钥保存在本机设置里，不会写进文件名或日志。"_s)));

    // Each engine keeps its own count; the row of the selected one shows.
    auto concurrency = [](const char* name, int value) {
        auto* spin = new QSpinBox;
        spin->setObjectName(QString::fromLatin1(name));
        spin->setRange(1, AppSettings::MaxConcurrentRequests);
        spin->setValue(std::clamp(value, 1, AppSettings::MaxConcurrentRequests));
        spin->setAccessibleName(u"同时发送的请求数"_s);
        return spin;
    };
    m_localConcurrency = concurrency("localConcurrencySpin", s.ollamaConcurrency);
    add(localOnly(FormParts::row(u"同时发送的请求数"_s, m_localConcurrency)));
    add(localOnly(help(u"Ollama 默认一次只处理一个请求（1）。要调大，先在服务器上设置环境变量 "
                       u"OLLAMA_NUM_PARALLEL（例如 4）并重启 Ollama，再把这里设成同样的数；"
                       u"超出的请求只会在服务器上排队。"_s)));
    m_onlineConcurrency = concurrency("onlineConcurrencySpin", s.openAIConcurrency);
    add(onlineOnly(FormParts::row(u"同时发送的请求数"_s, m_onlineConcurrency)));
    add(onlineOnly(
        help(u"vLLM、llama.cpp 等自建服务器能同时处理多个请求：填它的并发槽数（多台服务器在同一地址后面时"
             u"填各台之和）。服务器忙或限流时会自动减少，之后再慢慢加回。"_s)));

    m_modelCombo = new QComboBox;
    m_modelCombo->setObjectName(u"modelCombo"_s);
    m_modelCombo->setEditable(true);
    m_modelCombo->setInsertPolicy(QComboBox::NoInsert);
    m_modelCombo->setMaxVisibleItems(12);
    m_modelCombo->setFixedWidth(FieldWidth);
    add(FormParts::row(u"视觉模型"_s, m_modelCombo));
    m_pullNote = FormParts::help(QString(), ContentWidth);
    m_pullNote->setObjectName(u"pullNoteLabel"_s);
    m_pullNote->hide();
    add(m_pullNote);

    auto* frames = new QWidget;
    auto* framesRow = new QHBoxLayout(frames);
    framesRow->setContentsMargins(0, 0, 0, 0);
    framesRow->setSpacing(8);
    m_frames = new QSpinBox;
    m_frames->setObjectName(u"framesSpin"_s);
    m_frames->setRange(1, 6);
    m_frames->setValue(std::clamp(s.frameCount, 1, 6));
    m_frames->setAccessibleName(u"每视频抽帧数"_s);
    m_frameLabel = new QLabel(frameText(m_frames->value()));
    m_frameLabel->setObjectName(u"framesLabel"_s);
    connect(m_frames, &QSpinBox::valueChanged, this, &SettingsWindow::frameChanged);
    framesRow->addWidget(m_frames);
    framesRow->addWidget(m_frameLabel);
    add(FormParts::row(u"每视频抽帧数"_s, frames));

    add(FormParts::heading(u"命名规则（按顺序拼接）"_s));
    m_date = toggle("dateCheck", u"拍摄日期（如 2026-09-18）"_s, s.includeDate);
    m_location = toggle("locationCheck", u"地点 / 场景"_s, s.includeLocation);
    m_content = toggle("contentCheck", u"内容描述"_s, s.includeContent);
    m_original = toggle("originalCheck", u"保留原文件名"_s, s.includeOriginal);
    for (QCheckBox* box : { m_date, m_location, m_content, m_original })
        add(box);
    m_separator = field("separatorEdit", s.separator, u"_"_s);
    add(FormParts::row(u"分隔符"_s, m_separator));
    m_example = help(QString());
    m_example->setObjectName(u"exampleLabel"_s);
    add(m_example);
    for (QCheckBox* box : { m_date, m_location, m_content, m_original })
        connect(box, &QCheckBox::toggled, this, &SettingsWindow::updateExample);
    connect(m_separator, &QLineEdit::textChanged, this, &SettingsWindow::updateExample);
    updateExample();

    add(FormParts::heading(u"地点来源"_s));
    m_pathPlace = toggle("pathPlaceCheck", u"从素材目录名推断地点（离线，推荐）"_s, s.usePathPlace);
    m_gpsGeocode
        = toggle("gpsGeocodeCheck", u"用 GPS 坐标反查地名（需联网，仅上传经纬度）"_s, s.useGPSGeocoding);
    add(m_pathPlace);
    add(m_gpsGeocode);
    m_geocoder = field("geocoderEdit", s.geocoderURL, AppSettings::DefaultGeocoderURL);
    add(FormParts::row(u"反查服务"_s, m_geocoder));
    m_attribution = GeocoderAttribution::makeLabel();
    auto* attribution = FormParts::row(QString(), m_attribution);
    add(attribution);
    connect(m_geocoder, &QLineEdit::textChanged, this, &SettingsWindow::updateAttribution);
    add(help(u"「地点/场景」的取值顺序：素材目录名 > GPS 反查地名 > 模型对画面的推断。目录名是离线判断，例如 "
             u"…/2026/1919茶楼/0208茶楼/ 会得到「1919茶楼」。实测多数无人机与导出素材的元数据里并没有 GPS，"
             u"此时该开关不会产生任何联网行为。"_s));

    add(FormParts::heading(u"更新检查"_s));
    m_update = toggle("updateCheck", u"启动时检查新版本（会访问一次下载页）"_s, s.autoCheckUpdate);
    add(m_update);
    add(help(
        u"开启后，每次启动会读取一次下载页的文本，发现更新的版本才弹窗提醒。只做一次 GET 请求取页面内容，"
        u"不会上传你的素材、文件名或任何本机信息；关掉即完全不再联网。识别素材仍然全程在本机（或你选的联网接"
        u"口）"
        u"完成，与此开关无关。"_s));

    if (CatalogueLink* link = m_model.catalogue(); link && link->isOpen()) {
        add(FormParts::heading(u"保存的分析结果"_s));
        add(storedResults(m_model, *link, this));
    }

    add(localOnly(FormParts::heading(u"首次使用？"_s)));
    m_firstStep = help(QString());
    m_firstStep->setObjectName(u"firstStepLabel"_s);
    add(localOnly(m_firstStep));
    add(localOnly(help(u"2. 拉取视觉模型：点工具条的「Ollama 引导」→「一键拉取视觉模型」"_s)));
    add(localOnly(help(u"3. 回到本页「刷新模型列表」，在模型下拉里选择它"_s)));
    add(localOnly(help(u"4. 拖入视频 → 分析全部 → 执行重命名"_s)));
    updateFirstSteps();

    m_scroll = new QScrollArea;
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setWidget(content);

    // The buttons stay in sight below the settings, also when a small screen makes them scroll.
    m_footer = new QWidget;
    auto* footerColumn = new QVBoxLayout(m_footer);
    footerColumn->setContentsMargins(16, 0, 16, 16);
    footerColumn->setSpacing(8);
    m_error = FormParts::help(QString(), ContentWidth);
    m_error->setObjectName(u"applyErrorLabel"_s);
    m_error->hide();
    footerColumn->addWidget(m_error);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* refresh = new QPushButton(u"刷新模型列表"_s);
    refresh->setObjectName(u"refreshButton"_s);
    refresh->setAutoDefault(false);
    connect(refresh, &QPushButton::clicked, &m_model, &AppModel::refreshModels);
    auto* apply = new QPushButton(u"应用并关闭"_s);
    apply->setObjectName(u"applyButton"_s);
    apply->setDefault(true);
    connect(apply, &QPushButton::clicked, this, &SettingsWindow::apply);
    auto* cancel = new QPushButton(u"取消"_s);
    cancel->setObjectName(u"cancelButton"_s);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &SettingsWindow::cancel);
    buttons->addWidget(refresh);
    buttons->addStretch(1);
    buttons->addWidget(apply);
    buttons->addWidget(cancel);
    footerColumn->addLayout(buttons);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(m_scroll, 1);
    outer->addWidget(m_footer);
    updateAttribution();
    updatePlainKeyWarning();
}

void SettingsWindow::updateEngineUI()
{
    const bool online = m_model.settings().engine() == VisionEngine::OpenAI;
    for (QWidget* widget : std::as_const(m_localOnly))
        widget->setVisible(!online);
    for (QWidget* widget : std::as_const(m_onlineOnly))
        widget->setVisible(online);
    m_modelCombo->lineEdit()->setPlaceholderText(modelPlaceholder(m_model.settings().engine()));
}

// The name an example clip would get with the switches and the separator as they stand now.
void SettingsWindow::updateExample()
{
    VideoItem sample;
    sample.url = std::filesystem::path("IMG_0234.mp4");
    sample.creationDate = QDateTime(QDate(2026, 9, 18), QTime(12, 0));
    sample.location = u"上里古镇"_s;
    sample.content = u"石桥流水孩童"_s;
    AppSettings settings;
    settings.includeDate = m_date->isChecked();
    settings.includeLocation = m_location->isChecked();
    settings.includeContent = m_content->isChecked();
    settings.includeOriginal = m_original->isChecked();
    // A separator that would be refused shows as the one used in its place.
    const QString separator = m_separator->text();
    settings.separator = separator.isEmpty() || NameBuilder::separatorProblem(separator) ? u"_"_s : separator;
    const QString name = NameBuilder::build(sample, settings, NameBudget::Limit {});
    m_example->setText(u"示例："_s + (name.isEmpty() ? u"（没有勾选任何部分，文件名不变）"_s : name));
}

void SettingsWindow::updateAttribution()
{
    // Shown while the address names the public service, whether the lookup is on or not: the credit
    // goes with the choice of service.
    m_attribution->parentWidget()->setVisible(GeocoderAttribution::isPublicService(m_geocoder->text()));
}

void SettingsWindow::updatePlainKeyWarning()
{
    AppSettings typed;
    typed.openAIBaseURL = m_apiBase->text();
    const auto warning = Messages::plainTextKeyWarning(typed.openAIURL(), m_apiKey->text().trimmed());
    m_plainKeyWarning->setText(warning.value_or(QString()));
    m_plainKeyWarning->setVisible(warning.has_value());
}

void SettingsWindow::updateFirstSteps()
{
    m_firstStep->setText(u"1. 安装 Ollama：在终端执行 "_s + SetupSteps::installCommand() + u"，装好后执行 "_s
        + SetupSteps::startCommand() + u" 启动它"_s);
}

void SettingsWindow::resizeWindowToFit()
{
    QWidget* content = m_scroll->widget();
    content->adjustSize();
    const QSize wanted = content->sizeHint();
    const int footerHeight = m_footer->sizeHint().height();
    int width = std::max(MinimumWidth, wanted.width());
    int height = std::max(MinimumHeight, wanted.height() + footerHeight);
    // A window taller than the screen scrolls its settings instead of hiding the buttons off-screen.
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const int room = screen->availableGeometry().height() - 2 * 8 - 40; // margins and title bar
        if (height > room) {
            height = std::max(MinimumHeight, room);
            width += m_scroll->verticalScrollBar()->sizeHint().width();
        }
    }
    setFixedSize(width, height);
}

void SettingsWindow::showEvent(QShowEvent* event)
{
    resizeWindowToFit();
    QDialog::showEvent(event);
}

bool SettingsWindow::isInstalled(const QString& name) const
{
    if (name.isEmpty())
        return true;
    const QList<OllamaModel>& models = m_model.models();
    return std::any_of(models.cbegin(), models.cend(), [&](const OllamaModel& m) { return m.name == name; });
}

void SettingsWindow::reloadModels()
{
    QStringList names;
    for (const OllamaModel& model : m_model.models())
        names.append(model.name);
    const QString remembered = m_modelCombo->currentText();
    m_modelCombo->clear();
    m_modelCombo->addItems(names);
    if (!remembered.isEmpty())
        m_modelCombo->setEditText(remembered);
    else if (!m_model.settings().model().isEmpty())
        m_modelCombo->setEditText(m_model.settings().model());
    else
        m_modelCombo->setEditText(names.value(0));
    m_pull->setEnabled(!m_model.isPulling());
    m_pull->setText(m_model.isPulling() ? u"下载中…"_s : u"下载该模型"_s);
}

void SettingsWindow::refreshPullState()
{
    m_pull->setEnabled(!m_model.isPulling());
    m_pull->setText(m_model.isPulling() ? u"下载中…"_s : u"下载该模型"_s);
    const QString progress = m_model.pullProgress();
    const FormParts::Tone tone = FormParts::toneOf(progress);
    setNote(progress, tone);
    updateFirstSteps();
    if (tone == FormParts::Tone::Success)
        reloadModels();
}

void SettingsWindow::engineChanged(int index)
{
    m_model.settings().engineRaw = rawValue(index == 1 ? VisionEngine::OpenAI : VisionEngine::Ollama);
    updateEngineUI();
    // The list shown belongs to the engine left behind; the new engine's list replaces it when it
    // arrives, and stays empty when that engine cannot be reached.
    m_modelCombo->clear();
    m_modelCombo->setEditText(QString());
    reloadModels();
    m_model.refreshModels();
    resizeWindowToFit();
}

void SettingsWindow::targetChanged(int index)
{
    const MediaTarget target = Targets.value(index, MediaTarget::Videos);
    AppSettings& s = m_model.settings();
    s.mediaTargetRaw = rawValue(target);
    s.persist();
    m_model.setStatusMessage(u"处理对象已设为「"_s + displayTitle(target) + u"」"_s);
    m_model.notify();
}

void SettingsWindow::frameChanged(int value)
{
    m_frameLabel->setText(frameText(value));
}

void SettingsWindow::pullModel()
{
    const QString name = m_modelCombo->currentText().trimmed();
    if (name.isEmpty()) {
        setNote(u"请先填写模型名，例如 qwen2.5vl:7b"_s, FormParts::Tone::Neutral);
        return;
    }
    if (!FormParts::isPlainName(name)) {
        setNote(u"❌ 模型名里不能有空格或控制字符，例如 qwen2.5vl:7b"_s, FormParts::Tone::Failure);
        return;
    }
    setNote(u"开始下载 "_s + name + u"…"_s, FormParts::Tone::Neutral);
    m_model.pullVisionModel(name);
}

void SettingsWindow::setNote(const QString& text, FormParts::Tone tone)
{
    FormParts::setText(m_pullNote, text, tone);
    // An empty note takes no room, so the rows around it keep their usual distance.
    if (m_pullNote->isHidden() != text.isEmpty()) {
        m_pullNote->setHidden(text.isEmpty());
        resizeWindowToFit();
    }
}

void SettingsWindow::refuse(const QString& reason, QWidget* field)
{
    FormParts::setText(m_error, reason, FormParts::Tone::Failure);
    m_error->show();
    resizeWindowToFit();
    field->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(field))
        edit->selectAll();
}

QString SettingsWindow::applyError() const
{
    return m_error->isHidden() ? QString() : m_error->text();
}

void SettingsWindow::apply()
{
    const bool online = m_engine->currentIndex() == 1;
    const QString endpoint = m_endpoint->text().trimmed();
    const QString apiBase = m_apiBase->text().trimmed();
    const QString apiKey = m_apiKey->text().trimmed();
    const QString modelName = m_modelCombo->currentText().trimmed();
    const QString geocoder = m_geocoder->text().trimmed();

    // A value that cannot be used is never stored. One the user can see stops the window from closing;
    // one in a hidden row (the other engine's) leaves the stored value as it was.
    const bool endpointUsable = endpoint.isEmpty() || FormParts::isWebAddress(endpoint);
    const bool apiBaseUsable = apiBase.isEmpty() || FormParts::isWebAddress(apiBase);
    const bool apiKeyUsable = FormParts::isHeaderSafe(apiKey);
    if (!online && !endpointUsable)
        return refuse(addressError(u"Ollama 地址"_s, AppSettings::DefaultOllamaEndpoint), m_endpoint);
    if (online && !apiBaseUsable)
        return refuse(addressError(u"接口地址"_s, AppSettings::DefaultOpenAIBaseURL), m_apiBase);
    if (online && !apiKeyUsable)
        return refuse(u"「API 密钥」里有空格、换行或其他不可见字符，请重新粘贴"_s, m_apiKey);
    if (!modelName.isEmpty() && !FormParts::isPlainName(modelName))
        return refuse(u"「视觉模型」的名字里不能有空格或控制字符，例如 qwen2.5vl:7b"_s, m_modelCombo);
    if (!geocoder.isEmpty() && !FormParts::isWebAddress(geocoder))
        return refuse(addressError(u"反查服务"_s, AppSettings::DefaultGeocoderURL), m_geocoder);
    if (const auto problem = NameBuilder::separatorProblem(m_separator->text()))
        return refuse(u"「分隔符」"_s + *problem, m_separator);
    m_error->clear();
    m_error->hide();

    AppSettings& s = m_model.settings();
    if (endpointUsable)
        s.ollamaEndpoint = endpoint;
    if (apiBaseUsable)
        s.openAIBaseURL = apiBase;
    if (apiKeyUsable)
        s.openAIKey = apiKey;
    s.engineRaw = rawValue(online ? VisionEngine::OpenAI : VisionEngine::Ollama);
    s.mediaTargetRaw = rawValue(Targets.value(m_target->currentIndex(), MediaTarget::Videos));
    if (!modelName.isEmpty())
        s.setModel(modelName);
    s.frameCount = m_frames->value();
    s.ollamaConcurrency = m_localConcurrency->value();
    s.openAIConcurrency = m_onlineConcurrency->value();
    s.includeDate = m_date->isChecked();
    s.includeLocation = m_location->isChecked();
    s.includeContent = m_content->isChecked();
    s.includeOriginal = m_original->isChecked();
    s.separator = m_separator->text().isEmpty() ? u"_"_s : m_separator->text();
    s.usePathPlace = m_pathPlace->isChecked();
    s.useGPSGeocoding = m_gpsGeocode->isChecked();
    s.geocoderURL = geocoder;
    s.autoCheckUpdate = m_update->isChecked();
    s.persist();

    m_model.backfillPathPlaces();
    m_model.regenerateNames();
    if (!online && !isInstalled(s.model())) {
        m_model.setStatusMessage(
            u"已切换到 "_s + s.model() + u"，但它还没下载。重新打开设置 → 点「下载该模型」即可。"_s);
        m_model.notify();
    }
    close();
}

void SettingsWindow::cancel()
{
    reject();
}

void SettingsWindow::reject()
{
    m_error->clear();
    m_error->hide();
    QDialog::reject();
}
