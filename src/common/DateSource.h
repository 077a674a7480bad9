// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Where an item's capture date came from, best first: the file's own metadata (a photo's EXIF, a
// video's QuickTime or container header, else a photo's XMP), a date that the camera or phone wrote into
// the file's name, or the time the file was last modified. Stored by number: new values go at the end.
enum class DateSource
{
    Metadata,
    FileName,
    FileModified,
    Xmp,
};

// Raw values "metadata", "fileName", "fileModified" and "xmp", as scripts read them.
QString rawValue(DateSource source);
