// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/widgets/GeocoderAttribution.h"

#include "common/AppSettings.h"

#include <QLabel>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace GeocoderAttribution {

bool isPublicService(const QString& geocoderURL)
{
    const QString text = geocoderURL.trimmed();
    if (text.isEmpty())
        return true;
    const QString host = QUrl(text).host().toLower();
    return host == QUrl(AppSettings::DefaultGeocoderURL).host();
}

QLabel* makeLabel()
{
    const QString credit = u"© OpenStreetMap contributors"_s;
    auto* label = new QLabel(u"<a href=\"https://www.openstreetmap.org/copyright\">"_s + credit + u"</a>"_s);
    label->setObjectName(u"attributionLabel"_s);
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true);
    label->setAccessibleName(credit);
    QFont small = label->font();
    small.setPointSizeF(std::max(7.0, small.pointSizeF() - 1));
    label->setFont(small);
    return label;
}

} // namespace GeocoderAttribution
