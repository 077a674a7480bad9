// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/AppSettings.h"
#include "common/VideoItem.h"
#include "naming/NameBuilder.h"

// The hand edit a burst makes to file number i, as the detail pane makes it, turn by turn the content,
// the place and the whole name; and whether an item shows it.
namespace EditBurst {

inline QString textOf(int i)
{
    return QStringLiteral("手写 %1").arg(i);
}

inline void edit(VideoItem& item, int i, const AppSettings& settings)
{
    item.hasTypedName = true;
    if (i % 3 == 0) {
        item.content = textOf(i);
        item.contentByHand = true;
    } else if (i % 3 == 1) {
        item.location = textOf(i);
        item.locationByHand = true;
    }
    item.nameByHand = i % 3 == 2;
    item.proposedName = item.nameByHand ? textOf(i) : NameBuilder::build(item, settings);
}

inline bool shows(const VideoItem& item, int i)
{
    if (i % 3 == 0)
        return item.contentByHand && item.content == textOf(i);
    if (i % 3 == 1)
        return item.locationByHand && item.location == textOf(i);
    return item.nameByHand && item.proposedName == textOf(i);
}

} // namespace EditBurst
