// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Where an item's capture date came from, best first: the file's own metadata, a date that the camera
// or phone wrote into the file's name, or the time the file was last modified.
enum class DateSource
{
    Metadata,
    FileName,
    FileModified,
};

// Raw values "metadata", "fileName" and "fileModified", as scripts read them.
QString rawValue(DateSource source);
