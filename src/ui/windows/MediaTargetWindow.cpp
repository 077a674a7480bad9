// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/MediaTargetWindow.h"

#include "common/AppSettings.h"
#include "core/AppModel.h"
#include "ui/windows/FormParts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QList<MediaTarget> Targets { MediaTarget::Videos, MediaTarget::Photos, MediaTarget::Both };

} // namespace

QString MediaTargetWindow::helpText()
{
    return u"选「仅照片」可导入相机 RAW（CR3/CR2/CRW/NEF/NRW/ARW/RAF/RW2/ORF/PEF/SRW/DNG）、"_s
           u"位图（JPG/PNG/TIFF/WebP/AVIF/BMP/GIF/MPO）与手机照片（HEIC/HEIF/HIF），按画面内容自动命名；"_s
           u"「两者都处理」则视频与照片一起导入。「每视频抽帧数」对照片无影响。"_s;
}

MediaTargetWindow::MediaTargetWindow(AppModel& model, QWidget* parent)
    : QDialog(parent)
    , m_model(model)
{
    setObjectName(u"mediaTargetWindow"_s);
    setWindowTitle(u"处理对象"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(16, 16, 16, 16);
    stack->setSpacing(10);
    stack->setAlignment(Qt::AlignTop);
    stack->addWidget(FormParts::title(u"导入哪些素材？"_s, 4));
    const MediaTarget current = model.settings().mediaTarget();
    for (qsizetype tag = 0; tag < Targets.size(); ++tag) {
        auto* radio = new QRadioButton(displayTitle(Targets.at(tag)));
        radio->setObjectName(u"targetRadio%1"_s.arg(tag));
        radio->setChecked(Targets.at(tag) == current);
        // A click on a radio that is off toggles it, then reports the click; a screen reader's toggle
        // action toggles only; a click on the radio that is already on reports the click only. Each
        // choice is taken once.
        connect(radio, &QRadioButton::pressed, this, [this] { m_toggled = -1; });
        connect(radio, &QRadioButton::toggled, this, [this, tag](bool on) {
            if (!on)
                return;
            m_toggled = int(tag);
            picked(int(tag));
        });
        connect(radio, &QRadioButton::clicked, this, [this, tag] {
            if (std::exchange(m_toggled, -1) != tag)
                picked(int(tag));
        });
        m_radios.append(radio);
        stack->addWidget(radio);
    }
    stack->addWidget(FormParts::help(helpText(), 388));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    auto* done = new QPushButton(u"完成"_s);
    done->setObjectName(u"doneButton"_s);
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, &QDialog::close);
    buttons->addWidget(done);
    stack->addLayout(buttons);
    setFixedSize(sizeHint().expandedTo(QSize(420, 320)));
}

void MediaTargetWindow::picked(int tag)
{
    if (tag < 0 || tag >= Targets.size())
        return;
    m_radios.at(tag)->setChecked(true); // and the others off: they are exclusive
    const MediaTarget target = Targets.at(tag);
    AppSettings& s = m_model.settings();
    s.mediaTargetRaw = rawValue(target);
    s.persist();
    m_model.setStatusMessage(u"处理对象已设为「"_s + displayTitle(target) + u"」"_s);
    m_model.notify();
}
