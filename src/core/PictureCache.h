// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QUuid>

#include <filesystem>
#include <optional>

// The analysed pictures of the work list (frames and montage of each item), kept on disk so that a list
// of thousands of analysed items costs a thumbnail each in memory. One private folder per process under
// $XDG_CACHE_HOME/velmora, removed when the cache goes; folders of processes that died, and folders
// untouched for a week (unless their program still holds them), are swept when a cache is created and
// when it makes its folder. Main thread only.
class PictureCache
{
public:
    struct Pictures
    {
        QByteArrayList frames;
        QByteArray montage;
    };

    // root: where the per-process folders go; empty means $XDG_CACHE_HOME/velmora.
    explicit PictureCache(std::filesystem::path root = {});
    ~PictureCache();
    PictureCache(const PictureCache&) = delete;
    PictureCache& operator=(const PictureCache&) = delete;

    // False when the pictures could not be written (no space, no cache folder); the caller keeps them.
    bool store(const QUuid& id, const Pictures& pictures);

    // Writing off the main thread, where a disk that is behind with its writes may keep a write waiting:
    // folder() is made here (empty when it cannot be), writeFile() writes an entry on any thread into
    // that folder under a name of its own, and adopt() makes it the entry of an item.
    std::filesystem::path prepareFolder();
    static std::filesystem::path writeFile(const std::filesystem::path& folder, const Pictures& pictures);
    bool adopt(const std::filesystem::path& file, const QUuid& id);
    static void discard(const std::filesystem::path& file);
    std::optional<Pictures> load(const QUuid& id) const;
    void remove(const QUuid& id);
    // Removes every entry and the folder itself.
    void clear();

    const std::filesystem::path& folder() const
    {
        return m_folder;
    }

private:
    bool ensureFolder();
    std::filesystem::path entryPath(const QUuid& id) const;

    std::filesystem::path m_root;
    std::filesystem::path m_folder;
    bool m_failed = false;
    int m_lock = -1; // held on m_folder while it exists, so that other programs' sweeps leave it
};
