// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/AppModel.h"

#include <QSignalSpy>

// AppModel::addFiles, waited for: the import runs in the background and ends with importFinished().
inline bool importAndWait(AppModel& model, const std::vector<std::filesystem::path>& paths)
{
    QSignalSpy finished(&model, &AppModel::importFinished);
    model.addFiles(paths);
    return finished.count() > 0 || finished.wait(60'000);
}
