// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace QtTranslations {

bool install(QCoreApplication& app)
{
    // Every text of this program is Chinese whatever the locale, so Qt's must be too. qtbase holds
    // those of the widgets and the network; the qt_ meta catalogue would also need every other module's.
    auto* translator = new QTranslator(&app);
    if (!translator->load(u"qtbase_zh_CN"_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace QtTranslations
