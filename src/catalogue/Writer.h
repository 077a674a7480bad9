// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Records.h"

#include <QList>
#include <QObject>
#include <QUuid>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace Catalogue {

struct WriterState;

// The one writer of a prepared catalogue. It owns a thread with its own connection; the calls below
// queue a value and return at once, on the interface thread, and each call becomes one small
// transaction, in the order of the calls. Created and destroyed on the interface thread.
class Writer : public QObject
{
    Q_OBJECT

public:
    explicit Writer(const std::filesystem::path& database, QObject* parent = nullptr);
    // Waits for the queue at most two seconds, as close() does.
    ~Writer() override;

    void saveFinished(FinishedItem item);
    // Inserts or replaces the record of this content, and takes its stamp from any other record
    // that held it (the file at that inode now has other content).
    void saveFile(FileRecord file);
    void saveThumbnail(FileIdentity identity, QByteArray jpeg);
    // Inserts or replaces entries by id; many at once (an import) are still one transaction. The edits
    // of an entry are also kept with its file, and outlive the entry.
    void saveEntries(std::vector<SessionEntry> entries);
    void removeEntries(QList<QUuid> ids);
    // Forgets the work list; stored analyses and edits stay.
    void clearSession();
    // Inserts or replaces the batch of this undo log (also to mark it undone).
    void saveBatch(BatchRecord batch);
    // Removes what is stored about these files: records, analyses, thumbnails, edits. Session entries stay,
    // without their link. No identities: everything.
    void forget(std::vector<FileIdentity> identities);
    // The same for the files last seen at these paths or inside these folders (which may be long gone).
    void forgetPaths(std::vector<std::filesystem::path> paths);

    // Waits until everything queued before the call is written (or has failed), at most limit. True
    // when it was.
    bool flush(std::chrono::milliseconds limit);
    // flush(), then ends the thread. When the limit passes first, the thread is left to finish on its
    // own (the process is usually exiting) and false is returned. Nothing may be queued afterwards.
    bool close(std::chrono::milliseconds limit);

    // Transactions committed so far; readable from any thread.
    quint64 committedCount() const;

signals:
    // A write failed (disk full, read-only, the database gone); later writes are still tried. Emitted
    // from the writer thread, once until a write succeeds again: connect with the default or a queued
    // connection.
    void failed(const QString& message);

private:
    std::shared_ptr<WriterState> m_state;
};

} // namespace Catalogue
