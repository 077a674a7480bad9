// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/MediaKind.h"

#include <QString>

// The instruction sent with every picture to a vision model, and the reading of the model's reply
// into two short phrases. Pure functions, safe on any thread.
namespace PromptBuilder {

// Raised whenever the prompt or the reply format changes in a way that makes older answers stale.
inline constexpr int Version = 1;

struct Reply
{
    QString content; // what the picture shows; may be empty
    QString location; // where it was taken, as far as the picture tells; may be empty
};

// The prompt for a montage of columns × rows frames (1 and 1 when there is no montage).
QString build(int columns, int rows, MediaKind media);

// Reads {"content": …, "location": …} from the reply, wherever it stands in it; a reply that holds no
// such object gives its own cleaned text as content.
Reply parse(const QString& reply);

// Strips quotes, lead-in phrases and everything from the first punctuation mark or line break on;
// at most 20 user-perceived characters remain.
QString cleanPhrase(const QString& phrase);

} // namespace PromptBuilder
