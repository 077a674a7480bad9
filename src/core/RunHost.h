// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/AppSettings.h"
#include "common/VideoItem.h"

#include <QString>
#include <QUuid>

#include <filesystem>
#include <functional>
#include <optional>

// What an analysis run needs of the work list it runs over, and nothing more: items by id, the
// settings, the picture cache, the status line. The list implements it on the main thread; the run
// uses it only there.
class RunHost
{
public:
    virtual ~RunHost() = default;

    virtual qsizetype itemCount() const = 0;
    // A copy of the item with this id, or nothing when it has left the list.
    virtual std::optional<VideoItem> itemSnapshot(const QUuid& id) const = 0;
    // Applies body to the item and tells the views at once; false, without calling body, when it is gone.
    virtual bool mutateItem(const QUuid& id, const std::function<void(VideoItem&)>& body) = 0;
    // Read when needed: a change made during the run counts from the next item on.
    virtual const AppSettings& settings() const = 0;
    // Hands a prepared picture file over to an analysed item (see AppModel::adoptPictures).
    virtual void adoptPictures(VideoItem& item, const std::filesystem::path& file) = 0;
    // Replaces the status line and tells the views on the event loop.
    virtual void showStatus(const QString& message) = 0;
};
