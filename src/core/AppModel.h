// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/AppSettings.h"
#include "common/VideoItem.h"
#include "core/Importer.h"
#include "core/ModelServer.h"

#include <QByteArrayList>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// The central controller: the work list, the settings and the workflow; it owns the Importer and the
// ModelServer. One instance, owned by the front end and living on the main thread; views learn of
// changes through its signals.
class AnalysisRun;
class CatalogueLink;
class PictureCache;

class AppModel : public QObject
{
    Q_OBJECT

public:
    using OllamaReadiness = ModelServer::Readiness;

    using LeftOut = Importer::LeftOut;

    explicit AppModel(QObject* parent = nullptr);
    // With the settings store at settingsPath instead of the user's own.
    explicit AppModel(const QString& settingsPath, QObject* parent = nullptr);
    // Where the catalogue is (empty: none), and whether this model keeps its work list there and
    // brings it back at start (the window does; velmora-cli shares only the stored analyses).
    struct Storage
    {
        std::filesystem::path catalogue;
        bool keepsList = true;
    };
    AppModel(const QString& settingsPath, const Storage& storage, QObject* parent = nullptr);
    ~AppModel() override;

    AppSettings& settings()
    {
        return m_settings;
    }
    const AppSettings& settings() const
    {
        return m_settings;
    }

    const QList<VideoItem>& items() const
    {
        return m_items;
    }
    std::optional<qsizetype> positionOf(const QUuid& id) const
    {
        return indexOf(id);
    }
    // The stored analyses and the saved list; null without a catalogue.
    CatalogueLink* catalogue() const
    {
        return m_catalogue.get();
    }

    QString statusMessage() const
    {
        return m_statusMessage;
    }
    // Replaces the status line; call notify() afterwards, as every action does.
    void setStatusMessage(const QString& message);

    const std::optional<std::filesystem::path>& lastUndoLog() const
    {
        return m_lastUndoLog;
    }

    const LeftOut& lastImportLeftOut() const
    {
        return m_importer->lastLeftOut();
    }

    bool isBusy() const
    {
        return m_run != nullptr;
    }
    // An import is walking folders or reading capture dates; more imports may wait behind it.
    bool isImporting() const
    {
        return m_importer->isImporting();
    }
    ModelServer& modelServer()
    {
        return *m_server;
    }
    const QList<OllamaModel>& models() const
    {
        return m_server->models();
    }
    const OllamaReadiness& readiness() const
    {
        return m_server->readiness();
    }
    bool isPulling() const
    {
        return m_server->isPulling();
    }
    QString pullProgress() const
    {
        return m_server->pullProgress();
    }

    // Schedules one changed() emission on the event loop; returns at once.
    void notify();

    // Imports files and folders (folders recursively, hidden entries skipped), reading each capture
    // date and folder place, in the background: returns at once, keeps the status line up to date and
    // emits importFinished() once the items are in the list. Imports run one after another, in the
    // order they were asked for.
    void addFiles(const std::vector<std::filesystem::path>& urls);

    // Removes the items at these list positions; positions outside the list are ignored.
    void removeItems(const QList<int>& positions);

    // The window's clear action, after the user confirmed it. Files on disk are never touched.
    void clearItems();

    // A copy of the item with this id, or nothing when it has left the list.
    std::optional<VideoItem> itemSnapshot(const QUuid& id) const;

    // Applies body to the item with this id in place and emits changed() at once. False, without
    // calling body, when the item has left the list.
    bool mutateItem(const QUuid& id, const std::function<void(VideoItem&)>& body);

    // The frames and montage of the item's last analysis, from memory or from the picture cache.
    struct Pictures
    {
        QByteArrayList frames;
        QByteArray montage;
    };
    Pictures pictures(const QUuid& id) const;
    // The folder where background work writes pictures for the cache (empty when there is none), and
    // the hand-over of such a file to an analysed item: its pictures then leave the item for the disk
    // (pictures() reads them back). They stay in the item when the cache cannot take them.
    std::filesystem::path pictureCacheFolder();
    void adoptPictures(VideoItem& item, const std::filesystem::path& file);

    // Fills in folder places for items that never had one, and uses them where an item has no place.
    void backfillPathPlaces();
    // Rebuilds the proposed names of the analysed items from their fields and the current settings.
    void regenerateNames();
    // Renames every ready item on disk and remembers the batch's undo log.
    void renameAll();
    // Turns the journal of a rename batch that was killed into its undo log, so that undoLast() can
    // move those files back, and says so in the status line. False when there was none.
    bool recoverInterruptedRename();
    // Moves the files of the newest batch not yet undone back (from this run or an earlier one, in the
    // list or not) and points the items among them at their old paths again. Each call goes one batch
    // further back; a batch with files that could not go back stays the newest until they can.
    void undoLast();
    // Whether undoLast() has a batch to take, as of the last rename, undo or start.
    bool canUndo() const
    {
        return m_canUndo;
    }

    // Analyses every item that is pending, failed, or analysed with other settings than the current
    // ones (renamed items stay as they are), in the background; the status line shows the progress and
    // then a summary. Does nothing while a run is going on.
    void analyzeAll();
    // Asks the model again about these items, whatever they were analysed with.
    void analyzeItems(const QList<QUuid>& ids);
    // Ends the run now: the request in flight is aborted, its item goes back to pending, and the summary
    // says the run was stopped. Nothing happens without a run.
    void stopAnalysis();
    // Whether a run prepares the next item while the model answers (on by default; benchmarks turn it
    // off to compare with the one-after-the-other order).
    void setPreparesAhead(bool on)
    {
        m_preparesAhead = on;
    }

    // What ModelServer does, for the callers that know only the model.
    void checkOllamaReadiness()
    {
        m_server->checkReadiness();
    }
    void pullVisionModel(const QString& name)
    {
        m_server->pullModel(name);
    }
    void refreshModels()
    {
        m_server->refreshModels();
    }

signals:
    void changed();
    void modelsChanged();
    void readinessChanged();
    void importFinished();

    // Row-level news of the list for views, around each change of m_items (first and last inclusive).
    void itemsAboutToBeAppended(qsizetype first, qsizetype last);
    void itemsAppended();
    void itemsAboutToBeRemoved(qsizetype first, qsizetype last);
    void itemsRemoved();
    void itemsAboutToBeReset();
    void itemsReset();
    void itemsChanged(qsizetype first, qsizetype last);

private:
    void takeImport(const Importer::Result& result);
    void emitAllChanged();
    std::optional<qsizetype> indexOf(const QUuid& id) const;
    void finishRun();
    void startRun(QList<QUuid> ids);
    void rebuildIndexes();

    QList<VideoItem> m_items;
    AppSettings m_settings;
    std::optional<std::filesystem::path> m_lastUndoLog;
    bool m_canUndo = false;
    QString m_statusMessage;

    AnalysisRun* m_run = nullptr;
    bool m_preparesAhead = true;
    std::unique_ptr<PictureCache> m_pictureCache;

    Importer* m_importer = nullptr;
    ModelServer* m_server = nullptr;

    // The duplicate rule compares path text; these keep it and the lookups by id from being linear.
    std::unordered_set<std::string> m_paths;
    mutable QHash<QUuid, qsizetype> m_positions;
    std::unique_ptr<CatalogueLink> m_catalogue;
};
