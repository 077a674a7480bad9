// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/SponsorWindow.h"

#include "ui/windows/FormParts.h"

#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

constexpr int ImageSide = 400;
constexpr int CornerRadius = 12;

// The picture, scaled to fit and centred, with rounded corners.
class RoundedPicture : public QWidget
{
public:
    explicit RoundedPicture(const QImage& image)
        : m_image(image)
    {
        setFixedSize(ImageSide, ImageSide);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), CornerRadius, CornerRadius);
        painter.setClipPath(clip);
        if (m_image.isNull()) {
            // The heart, as large as it looks right in the square.
            QSvgRenderer heart(u":/icons/heart.svg"_s);
            const int side = ImageSide * 3 / 5;
            heart.render(&painter, QRectF((ImageSide - side) / 2.0, (ImageSide - side) / 2.0, side, side));
            return;
        }
        const QSize size = m_image.size().scaled(this->size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
        painter.drawImage(target, m_image);
    }

private:
    QImage m_image;
};

QImage load(const QString& path)
{
    if (path.isEmpty())
        return {};
    QImage image(path);
    return image;
}

} // namespace

QImage SponsorWindow::sponsorImage()
{
    if (QImage image = load(u":/sponsor/sponsor.jpg"_s); !image.isNull())
        return image;
    if (QImage image = load(QStandardPaths::locate(QStandardPaths::AppDataLocation, u"sponsor.jpg"_s));
        !image.isNull())
        return image;
    QDir dir(QCoreApplication::applicationDirPath());
    for (int level = 0; level < 6; ++level) {
        for (const QString& relative : { u"Resources/sponsor.jpg"_s, u"share/velmora/sponsor.jpg"_s }) {
            if (QImage image = load(dir.filePath(relative)); !image.isNull())
                return image;
        }
        if (!dir.cdUp())
            break;
    }
    return {};
}

SponsorWindow::SponsorWindow(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(u"sponsorWindow"_s);
    setWindowTitle(u"赞助作者"_s);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 20, 20, 20);
    stack->setSpacing(12);
    stack->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    QLabel* title = FormParts::title(u"自愿赞助，助力持续更新"_s, 4);
    stack->addWidget(title, 0, Qt::AlignHCenter);

    const QImage image = sponsorImage();
    m_showsImage = !image.isNull();
    auto* picture = new RoundedPicture(image);
    picture->setObjectName(u"sponsorPicture"_s);
    picture->setAccessibleName(m_showsImage ? u"赞助收款码"_s : u"爱心"_s);
    stack->addWidget(picture, 0, Qt::AlignHCenter);

    QLabel* thanks = FormParts::help(
        u"扫码即可打赏支持，金额随意，完全自愿。\n你的支持是我持续更新这个工具的动力 🙏"_s, ImageSide);
    thanks->setFont(font()); // a point larger than the help texts elsewhere
    thanks->setAlignment(Qt::AlignHCenter);
    stack->addWidget(thanks, 0, Qt::AlignHCenter);

    auto* close = new QPushButton(u"关闭"_s);
    close->setObjectName(u"closeButton"_s);
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    stack->addWidget(close, 0, Qt::AlignHCenter);

    setFixedSize(460, std::max(580, sizeHint().height()));
}
