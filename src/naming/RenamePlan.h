// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <filesystem>
#include <vector>

// What a rename batch would do, worked out before any file moves (Renamer::check), and the words
// that show it. Plain values, safe on any thread.
namespace RenamePlan {

struct File
{
    std::filesystem::path from;
    std::filesystem::path to; // empty when the file stays where it is (failure says why)
    qsizetype item = -1; // list position of the item; for a sidecar, of the item it goes with
    bool isSidecar = false;
    // For a sidecar, or the half of a pair that takes its partner's name: the file it goes with.
    std::filesystem::path goesWith;
    // Other files of the batch whose proposed name is the same; the clash number tells them apart.
    std::vector<std::filesystem::path> sameNameAs;
    QString clashTag; // "-2" and so on, or empty
    bool isShortened = false; // the name was cut to fit the file system
    bool isTakenOnDisk = false; // a file on disk holds the name without the number this one gets
    QString failure;

    bool isPlain() const
    {
        return goesWith.empty() && sameNameAs.empty() && !isShortened && !isTakenOnDisk && failure.isEmpty();
    }
};

struct Plan
{
    std::vector<File> files; // in list order, each sidecar after its item

    // The items that would be renamed, sidecars not counted.
    qsizetype renameCount() const;
    bool isPlain() const;
};

// Why the file is listed, one phrase each: "与 b.mov 提议的名称相同，编号为“-2”".
QStringList notes(const File& file);
// One line of the plan: "a.mov → 茶楼-2.mov（…；…）", or "a.mov：原文件已不存在".
QString line(const File& file);

} // namespace RenamePlan
