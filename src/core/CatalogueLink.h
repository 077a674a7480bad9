// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "catalogue/Reader.h"
#include "catalogue/Records.h"
#include "common/FileDates.h"
#include "common/VideoItem.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class AppModel;
class AppSettings;
class QTimer;

namespace Catalogue {
class Writer;
}

// Keeps AppModel's work list and what the model said in the catalogue, and brings both back: the list
// at start, stored analyses when a known file is added. Lives on the interface thread and never waits
// for the disk there: writes go to the catalogue's writer thread, file identities are read by the
// import. Changes of the list are gathered for a moment and written as one transaction; a finished
// analysis is a transaction of its own.
class CatalogueLink : public QObject
{
    Q_OBJECT

public:
    // What the catalogue knows of a file being imported, found off the interface thread.
    struct Known
    {
        Catalogue::FileStamp stamp;
        Catalogue::FileIdentity identity;
        std::optional<Catalogue::FileRecord> record;
        std::optional<Catalogue::AnalysisRecord> analysis; // made with the settings of the lookup
        QByteArray thumbnail; // only with an analysis
        // What the user typed for this content, whatever the settings.
        std::optional<Catalogue::HandEdits> edits;
        // The date the file's metadata gave when it was read last, for a file unchanged since: the
        // import need not read the metadata again.
        std::optional<FileDates::CaptureDate> metadataDate;
    };

    // keepsList: the window keeps its work list here; velmora-cli shares only the stored analyses.
    CatalogueLink(AppModel& model, const std::filesystem::path& database, bool keepsList);
    ~CatalogueLink() override;

    bool isOpen() const
    {
        return m_writer != nullptr;
    }
    const std::filesystem::path& database() const
    {
        return m_database;
    }
    // What to tell the user about the catalogue at start (moved aside, newer, not writable); or empty.
    const QString& openingMessage() const
    {
        return m_openingMessage;
    }

    // The saved work list, as items; their files are checked afterwards (checkRestored()).
    QList<VideoItem> restore();
    // Marks restored items whose file is gone, off the interface thread.
    void checkRestored();

    // The analysis key of the current settings.
    static Catalogue::AnalysisKey keyOf(const AppSettings& settings);
    // What the catalogue knows of each file, with the analysis made with the current settings. Reads
    // and may hash the files: call it off the interface thread, from one thread at a time.
    using Lookup
        = std::function<std::vector<std::optional<Known>>(const std::vector<std::filesystem::path>&)>;
    Lookup importLookup() const;
    // Before a new item joins the list: remembers its identity and, when a stored analysis fits the
    // current settings, fills it in as analysed; what the user typed for the file comes back either way.
    void adopt(VideoItem& item, const Known& known);

    void setSelection(const QList<QUuid>& ids);
    QList<QUuid> selection() const
    {
        return QList<QUuid>(m_selection.cbegin(), m_selection.cend());
    }

    void noteBatch(const std::filesystem::path& undoLog, int fileCount);
    void noteUndone(const std::filesystem::path& undoLog);

    Catalogue::Usage usage() const;
    // Removes every stored analysis; the list stays as it is.
    void forgetAll();
    // Writes what is pending and waits at most limit for the writer.
    bool flush(std::chrono::milliseconds limit);

private:
    void watch();
    void markDirty(qsizetype first, qsizetype last);
    void scheduleWrite();
    void write();
    void identify(const VideoItem& item);
    // Takes the identity read for the item, waiting for it if it is still being read.
    void identified(const QUuid& id);
    void identifyAll();
    Catalogue::SessionEntry entryOf(const VideoItem& item, qsizetype position) const;

    AppModel& m_model;
    std::filesystem::path m_database;
    bool m_keepsList = true;
    QString m_openingMessage;
    std::unique_ptr<Catalogue::Writer> m_writer;
    QTimer* m_timer = nullptr;

    struct Identified
    {
        Catalogue::FileIdentity identity;
        Catalogue::FileStamp stamp;
    };
    QHash<QUuid, Identified> m_identities;
    QHash<QUuid, QFuture<std::optional<Identified>>> m_identifying;
    QSet<QUuid> m_dirty;
    bool m_positionsMoved = false;
    QHash<QUuid, Catalogue::SessionEntry> m_saved; // as last written
    QHash<QUuid, QDateTime> m_savedAnalyses; // the analysedWith time last written, per item
    QSet<QUuid> m_selection;
};
