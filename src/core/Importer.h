// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/AppSettings.h"
#include "common/DateSource.h"
#include "common/MediaKind.h"
#include "core/CatalogueLink.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class QTimer;
struct ImportJob;

// Imports files and folders in the background: walks folders (hidden entries skipped), finds companions,
// reads capture dates in the decoder workers and folder places. One import at a time, the others queued
// in the order they were asked for. Lives on the main thread, owned by AppModel, which takes what each
// import found into its list.
class Importer : public QObject
{
    Q_OBJECT

public:
    // One media file an import found, with what was read about it.
    struct Found
    {
        std::filesystem::path path;
        MediaKind kind;
        std::optional<QDateTime> creationDate;
        std::optional<QString> pathPlace;
        std::filesystem::path addedFolder;
        std::vector<std::filesystem::path> sidecars;
        bool mayBeLiveMotion = false;
        std::optional<double> duration;
        DateSource dateSource = DateSource::Metadata;
        std::string originalName {};
        // What the catalogue knows of the file, when a hook looked it up.
        std::optional<CatalogueLink::Known> known {};
    };

    // Media files in the folders of the last import that the media target left out.
    struct LeftOut
    {
        qsizetype videos = 0;
        qsizetype photos = 0;
    };

    // Runs off the interface thread for the files found, a batch at a time, before their dates and
    // places are read; may add to them (known->metadataDate spares reading a file's metadata). Called
    // from one thread at a time; must not touch the model.
    using FileHook = std::function<void(std::span<Found> files)>;

    // Reads the media target and the folder-place setting of settings when each import starts.
    explicit Importer(const AppSettings& settings, QObject* parent = nullptr);
    // An import still running stops at its next file; its result is dropped.
    ~Importer() override;

    void enqueue(std::vector<std::filesystem::path> urls);
    bool isImporting() const
    {
        return m_job != nullptr;
    }
    const LeftOut& lastLeftOut() const
    {
        return m_lastLeftOut;
    }
    void setFileHook(FileHook hook)
    {
        m_hook = std::move(hook);
    }
    // Files of the list moved on disk (a rename or an undo): what a running import found there may be
    // gone, so the result says filesMoved.
    void noteFilesMoved()
    {
        ++m_moves;
    }

    struct Result
    {
        std::vector<std::filesystem::path> urls;
        std::vector<Found> found;
        bool filesMoved = false;
    };

signals:
    void started();
    void progressed(const QString& statusMessage);
    // What one import found, in walk order; the list takes it here.
    void found(const Importer::Result& result);
    // After found(), once the next queued import (if any) has started.
    void finished();

private:
    void startNext();
    void finish();

    const AppSettings& m_settings;
    FileHook m_hook;
    std::vector<std::vector<std::filesystem::path>> m_queue;
    std::shared_ptr<ImportJob> m_job;
    LeftOut m_lastLeftOut;
    unsigned m_moves = 0;
    QTimer* m_progress = nullptr;
};
