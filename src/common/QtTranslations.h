// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QCoreApplication;

// Qt's own texts (standard dialogs and buttons, Qt's error strings) in Simplified Chinese, from the
// translations installed with Qt. Call once on the main thread, after the application object exists.
namespace QtTranslations {

// False when Qt's Chinese catalogue is not installed; the texts then stay English.
bool install(QCoreApplication& app);

} // namespace QtTranslations
