// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/CatalogueLink.h"

#include "catalogue/Database.h"
#include "catalogue/Writer.h"
#include "common/AppSettings.h"
#include "core/AppModel.h"
#include "core/Messages.h"
#include "naming/NameBuilder.h"
#include "vision/PromptBuilder.h"

#include <QDataStream>
#include <QFutureWatcher>
#include <QIODevice>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

// Edits wait this long for more of a burst; well under the second after which an edit must be on disk.
constexpr int WriteDelayMs = 250;
constexpr qint32 DetailsVersion = 1;

QByteArray bytesOf(const fs::path& path)
{
    return QByteArray::fromStdString(path.native());
}

template <typename T> void putOptional(QDataStream& out, const std::optional<T>& value)
{
    out << bool(value);
    if (value)
        out << *value;
}

template <typename T> void getOptional(QDataStream& in, std::optional<T>& value)
{
    bool has = false;
    in >> has;
    if (has) {
        T read {};
        in >> read;
        value = read;
    }
}

// The date a file's metadata gave, as stored; nothing for one from its name or its time.
std::optional<FileDates::CaptureDate> metadataDateOf(const Catalogue::FileRecord& record)
{
    for (const DateSource source : { DateSource::Metadata, DateSource::Xmp }) {
        if (record.captureDate && record.captureSource == rawValue(source))
            return FileDates::CaptureDate { *record.captureDate, source };
    }
    return std::nullopt;
}

// The item's fields that the entry's own columns do not hold.
QByteArray detailsOf(const VideoItem& item)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << DetailsVersion << item.content << item.location;
    putOptional(out, item.pathPlace);
    putOptional(out, item.geoPlace);
    out << bytesOf(item.addedFolder) << QByteArray::fromStdString(item.originalName) << item.renameFailure
        << item.keptName << item.hasTypedName << qint32(item.dateSource);
    putOptional(out, item.creationDate);
    out << bool(item.coordinate);
    if (item.coordinate)
        out << item.coordinate->latitude << item.coordinate->longitude;
    QByteArrayList sidecars;
    for (const fs::path& sidecar : item.sidecars)
        sidecars.append(bytesOf(sidecar));
    out << sidecars;
    putOptional(out, item.durationSeconds);
    out << bool(item.analysedWith);
    if (const auto& stamp = item.analysedWith)
        out << stamp->engine << stamp->model << qint32(stamp->frameCount) << qint32(stamp->promptVersion)
            << stamp->durationMs << stamp->at;
    return bytes;
}

void readDetails(const QByteArray& bytes, VideoItem& item)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    qint32 version = 0;
    in >> version;
    if (version != DetailsVersion)
        return;
    QByteArray addedFolder, originalName;
    qint32 dateSource = 0;
    in >> item.content >> item.location;
    getOptional(in, item.pathPlace);
    getOptional(in, item.geoPlace);
    in >> addedFolder >> originalName >> item.renameFailure >> item.keptName >> item.hasTypedName
        >> dateSource;
    item.addedFolder = addedFolder.toStdString();
    item.originalName = originalName.toStdString();
    item.dateSource = DateSource(std::clamp(dateSource, 0, int(DateSource::Xmp)));
    getOptional(in, item.creationDate);
    bool hasCoordinate = false;
    in >> hasCoordinate;
    if (hasCoordinate) {
        GeoCoordinate coordinate;
        in >> coordinate.latitude >> coordinate.longitude;
        item.coordinate = coordinate;
    }
    QByteArrayList sidecars;
    in >> sidecars;
    for (const QByteArray& sidecar : std::as_const(sidecars))
        item.sidecars.emplace_back(sidecar.toStdString());
    getOptional(in, item.durationSeconds);
    bool hasStamp = false;
    in >> hasStamp;
    if (hasStamp) {
        VideoItem::AnalysisStamp stamp;
        qint32 frameCount = 0, promptVersion = 0;
        in >> stamp.engine >> stamp.model >> frameCount >> promptVersion >> stamp.durationMs >> stamp.at;
        stamp.frameCount = frameCount;
        stamp.promptVersion = promptVersion;
        if (in.status() == QDataStream::Ok)
            item.analysedWith = stamp;
    }
}

Catalogue::AnalysisKey keyOf(const VideoItem::AnalysisStamp& stamp)
{
    return { stamp.engine, stamp.model, stamp.frameCount, stamp.promptVersion };
}

// What the user typed for this content before wins over what the model said, as it did then. A typed
// name stays as typed, also when another program has renamed the file since: it is what the user chose.
void applyEdits(VideoItem& item, const Catalogue::HandEdits& edits, const AppSettings& settings)
{
    if (edits.content) {
        item.content = *edits.content;
        item.contentByHand = true;
    }
    if (edits.place) {
        item.location = *edits.place;
        item.locationByHand = true;
    }
    item.hasTypedName = true;
    item.nameByHand = bool(edits.name);
    item.proposedName = edits.name ? *edits.name : NameBuilder::build(item, settings);
}

} // namespace

CatalogueLink::CatalogueLink(AppModel& model, const fs::path& database, bool keepsList)
    : m_model(model)
    , m_database(database)
    , m_keepsList(keepsList)
{
    const Catalogue::Opening opening = Catalogue::prepare(database);
    m_openingMessage = opening.message;
    if (!opening.isReady())
        return;
    m_writer = std::make_unique<Catalogue::Writer>(database);
    // Said once per run of failures; the list goes on in memory.
    connect(m_writer.get(), &Catalogue::Writer::failed, this, [this](const QString& message) {
        m_model.setStatusMessage(message);
        m_model.notify();
    });
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setInterval(WriteDelayMs);
    connect(m_timer, &QTimer::timeout, this, &CatalogueLink::write);
    watch();
}

CatalogueLink::~CatalogueLink()
{
    if (!m_writer)
        return;
    identifyAll();
    write();
}

void CatalogueLink::watch()
{
    auto appended = std::make_shared<std::pair<qsizetype, qsizetype>>();
    connect(&m_model, &AppModel::itemsAboutToBeAppended, this, [appended](qsizetype first, qsizetype last) {
        *appended = { first, last };
    });
    connect(&m_model, &AppModel::itemsAppended, this, [this, appended] {
        markDirty(appended->first, appended->second);
        m_positionsMoved = true;
    });
    connect(&m_model, &AppModel::itemsChanged, this, &CatalogueLink::markDirty);
    auto moved = [this] {
        m_positionsMoved = true;
        scheduleWrite();
    };
    connect(&m_model, &AppModel::itemsRemoved, this, moved);
    connect(&m_model, &AppModel::itemsReset, this, moved);
}

Catalogue::AnalysisKey CatalogueLink::keyOf(const AppSettings& settings)
{
    return { rawValue(settings.engine()), settings.model(), settings.frameCount, PromptBuilder::Version };
}

CatalogueLink::Lookup CatalogueLink::importLookup() const
{
    // Opened at the first lookup, and kept for the imports after it.
    auto reader = std::make_shared<std::optional<Catalogue::Reader>>();
    return
        [reader, database = m_database, key = keyOf(m_model.settings())](const std::vector<fs::path>& paths) {
            std::vector<std::optional<Known>> found(paths.size());
            if (!*reader)
                reader->emplace(database);
            Catalogue::Reader& catalogue = **reader;
            if (!catalogue.isOpen())
                return found;
            const Catalogue::Reader::Snapshot snapshot(catalogue);
            for (std::size_t i = 0; i < paths.size(); ++i) {
                std::optional<Catalogue::FileLookup> lookup = catalogue.lookup(paths[i], key);
                if (!lookup)
                    continue;
                Known& known = found[i].emplace(Known { lookup->stamp, lookup->identity,
                    std::move(lookup->known), std::move(lookup->analysis), std::move(lookup->thumbnail),
                    std::move(lookup->edits), std::nullopt });
                // Only a date from the metadata stands in for reading it again: one from the name or the
                // file's time is found anew (the name may have changed), and where the metadata gave no date
                // then, a newer reader may find one.
                if (!lookup->wasHashed && known.record)
                    known.metadataDate = metadataDateOf(*known.record);
            }
            return found;
        };
}

void CatalogueLink::adopt(VideoItem& item, const Known& known)
{
    if (!known.identity.hash.isEmpty())
        m_identities.insert(item.id, { known.identity, known.stamp });
    if (!known.analysis) {
        if (known.edits)
            applyEdits(item, *known.edits, m_model.settings());
        return;
    }
    const Catalogue::AnalysisRecord& analysis = *known.analysis;
    item.content = analysis.content;
    item.analysisText = analysis.rawReply;
    if (known.record && known.record->coordinate)
        item.coordinate = known.record->coordinate;
    item.location = item.pathPlace && !item.pathPlace->isEmpty() ? *item.pathPlace : analysis.placeGuess;
    item.thumbnail = known.thumbnail;
    item.analysedWith = VideoItem::AnalysisStamp { analysis.key.engine, analysis.key.model,
        analysis.key.frameCount, analysis.key.promptVersion, analysis.durationMs, analysis.analyzedAt };
    item.status = VideoItem::Status::Analyzed;
    item.proposedName = NameBuilder::build(item, m_model.settings());
    m_savedAnalyses.insert(item.id, analysis.analyzedAt); // stored already
    if (known.edits)
        applyEdits(item, *known.edits, m_model.settings());
}

QList<VideoItem> CatalogueLink::restore()
{
    QList<VideoItem> items;
    if (!m_writer || !m_keepsList)
        return items;
    Catalogue::Reader reader(m_database);
    if (!reader.isOpen())
        return items;
    // The list and its files, thumbnails and replies as one state, read under one lock.
    const Catalogue::Reader::Snapshot snapshot(reader);
    const std::vector<Catalogue::SessionEntry> entries = reader.session();
    items.reserve(qsizetype(entries.size()));
    for (const Catalogue::SessionEntry& entry : entries) {
        VideoItem& item = items.emplace_back();
        item.id = entry.id;
        item.url = entry.path;
        item.mediaKind = entry.kind;
        item.proposedName = entry.proposedName;
        readDetails(entry.details, item);
        if (entry.editedContent) {
            item.content = *entry.editedContent;
            item.contentByHand = true;
        }
        if (entry.editedPlace) {
            item.location = *entry.editedPlace;
            item.locationByHand = true;
        }
        if (entry.editedName) {
            item.proposedName = *entry.editedName;
            item.nameByHand = true;
        }
        item.companions = entry.companions;
        // A run ended by the last close (or a crash) left its items half done.
        item.status = entry.status == VideoItem::Status::Analyzing ? VideoItem::Status::Pending
            : entry.status == VideoItem::Status::Naming            ? VideoItem::Status::Analyzed
                                                                   : entry.status;
        if (item.status == VideoItem::Status::Error)
            item.analysisText = entry.errorText;
        if (entry.identity) {
            if (const auto file = reader.file(*entry.identity))
                m_identities.insert(item.id, { file->identity, file->stamp });
            item.thumbnail = reader.thumbnail(*entry.identity);
            if (item.analysedWith && item.status != VideoItem::Status::Error) {
                if (const auto analysis = reader.analysis(*entry.identity, ::keyOf(*item.analysedWith)))
                    item.analysisText = analysis->rawReply;
            }
        }
        if (item.analysedWith)
            m_savedAnalyses.insert(item.id, item.analysedWith->at);
        if (entry.isSelected)
            m_selection.insert(item.id);
        m_saved.insert(item.id, entry);
        m_positionsMoved |= entry.position != items.size() - 1;
    }
    return items;
}

void CatalogueLink::checkRestored()
{
    std::vector<std::pair<QUuid, fs::path>> paths;
    for (const VideoItem& item : m_model.items())
        paths.emplace_back(item.id, item.url);
    if (paths.empty())
        return;
    auto* watcher = new QFutureWatcher<QList<QUuid>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        for (const QUuid& id : watcher->result()) {
            m_model.mutateItem(id, [](VideoItem& item) {
                item.status = VideoItem::Status::Error;
                item.analysisText = Messages::FileGone;
            });
        }
    });
    watcher->setFuture(QtConcurrent::run([paths = std::move(paths)] {
        QList<QUuid> gone;
        for (const auto& [id, path] : paths) {
            struct stat st
            { };
            if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
                gone.append(id);
        }
        return gone;
    }));
}

void CatalogueLink::setSelection(const QList<QUuid>& ids)
{
    QSet<QUuid> selection(ids.cbegin(), ids.cend());
    if (selection == m_selection)
        return;
    m_dirty.unite(selection).unite(m_selection);
    m_selection = std::move(selection);
    scheduleWrite();
}

void CatalogueLink::markDirty(qsizetype first, qsizetype last)
{
    if (!m_writer)
        return;
    const QList<VideoItem>& items = m_model.items();
    for (qsizetype i = std::max<qsizetype>(first, 0); i <= last && i < items.size(); ++i) {
        const VideoItem& item = items.at(i);
        m_dirty.insert(item.id);
        // Hand edits are kept with the file's content too, so they need its identity; a file the
        // import did not hash gets it now, off this thread.
        if ((item.contentByHand || item.locationByHand || item.nameByHand) && !m_identities.contains(item.id))
            identify(item);
        // A finished analysis goes to disk at once, as a transaction of its own.
        if (!item.analysedWith || m_savedAnalyses.value(item.id) == item.analysedWith->at
            || item.status == VideoItem::Status::Analyzing)
            continue;
        const auto identified = m_identities.constFind(item.id);
        if (identified == m_identities.cend()) {
            identify(item);
            continue;
        }
        Catalogue::FinishedItem finished;
        finished.file = { identified->identity, identified->stamp, item.url, item.mediaKind,
            item.creationDate, rawValue(item.dateSource), item.pathPlace, item.coordinate };
        const PromptBuilder::Reply reply = PromptBuilder::parse(item.analysisText);
        finished.analysis = { ::keyOf(*item.analysedWith), item.analysisText, reply.content, reply.location,
            item.analysedWith->durationMs, item.analysedWith->at };
        finished.thumbnail = item.thumbnail;
        if (m_keepsList) {
            finished.entry = entryOf(item, i);
            m_saved.insert(item.id, finished.entry);
            m_dirty.remove(item.id);
        }
        m_savedAnalyses.insert(item.id, item.analysedWith->at);
        m_writer->saveFinished(std::move(finished));
    }
    scheduleWrite();
}

void CatalogueLink::identify(const VideoItem& item)
{
    if (m_identifying.contains(item.id))
        return;
    using Result = std::optional<Identified>;
    const QFuture<Result> future = QtConcurrent::run([path = item.url]() -> Result {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return std::nullopt;
        const auto stamp = Catalogue::stampOf(fd);
        const auto identity = Catalogue::identityOf(fd);
        ::close(fd);
        if (!stamp || !identity)
            return std::nullopt;
        return Identified { *identity, *stamp };
    });
    m_identifying.insert(item.id, future);
    auto* watcher = new QFutureWatcher<Result>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, id = item.id] {
        watcher->deleteLater();
        identified(id);
    });
    watcher->setFuture(future);
}

void CatalogueLink::identified(const QUuid& id)
{
    const auto found = m_identifying.find(id);
    if (found == m_identifying.end())
        return; // taken already by a flush
    const std::optional<Identified> result = found->result();
    m_identifying.erase(found);
    if (!result)
        return;
    m_identities.insert(id, *result);
    if (const auto position = m_model.positionOf(id))
        markDirty(*position, *position);
}

// What waits for an identity (a finished analysis, a hand edit) is written with it.
void CatalogueLink::identifyAll()
{
    for (const QUuid& id : m_identifying.keys())
        identified(id);
}

void CatalogueLink::scheduleWrite()
{
    if (m_writer && m_keepsList && !m_timer->isActive())
        m_timer->start();
}

Catalogue::SessionEntry CatalogueLink::entryOf(const VideoItem& item, qsizetype position) const
{
    Catalogue::SessionEntry entry;
    entry.id = item.id;
    entry.position = position;
    if (const auto identified = m_identities.constFind(item.id); identified != m_identities.cend())
        entry.identity = identified->identity;
    entry.path = item.url;
    entry.kind = item.mediaKind;
    entry.status = item.status;
    entry.proposedName = item.proposedName;
    if (item.contentByHand)
        entry.editedContent = item.content;
    if (item.locationByHand)
        entry.editedPlace = item.location;
    if (item.nameByHand)
        entry.editedName = item.proposedName;
    if (item.status == VideoItem::Status::Error)
        entry.errorText = item.analysisText;
    entry.companions = item.companions;
    entry.isSelected = m_selection.contains(item.id);
    entry.details = detailsOf(item);
    return entry;
}

void CatalogueLink::write()
{
    m_timer->stop();
    if (!m_writer || !m_keepsList)
        return;
    const QList<VideoItem>& items = m_model.items();
    if (items.isEmpty() && !m_saved.isEmpty()) {
        m_writer->clearSession();
        m_saved.clear();
    }
    std::vector<Catalogue::SessionEntry> entries;
    QSet<QUuid> present;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const VideoItem& item = items.at(i);
        if (m_positionsMoved)
            present.insert(item.id);
        const auto saved = m_saved.constFind(item.id);
        const bool moved = saved == m_saved.cend() || saved->position != i;
        if (!moved && !m_dirty.contains(item.id))
            continue;
        Catalogue::SessionEntry entry = entryOf(item, i);
        if (saved != m_saved.cend() && *saved == entry)
            continue;
        m_saved.insert(item.id, entry);
        entries.push_back(std::move(entry));
    }
    m_dirty.clear();
    if (m_positionsMoved) {
        QList<QUuid> gone;
        for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it) {
            if (!present.contains(it.key()))
                gone.append(it.key());
        }
        for (const QUuid& id : std::as_const(gone)) {
            m_saved.remove(id);
            m_savedAnalyses.remove(id);
            m_identities.remove(id);
            m_selection.remove(id);
        }
        if (!gone.isEmpty() && !items.isEmpty())
            m_writer->removeEntries(std::move(gone));
        m_positionsMoved = false;
    }
    if (!entries.empty())
        m_writer->saveEntries(std::move(entries));
}

void CatalogueLink::noteBatch(const fs::path& undoLog, int fileCount)
{
    if (m_writer)
        m_writer->saveBatch({ undoLog, QDateTime::currentDateTimeUtc(), fileCount, std::nullopt });
}

void CatalogueLink::noteUndone(const fs::path& undoLog)
{
    if (!m_writer)
        return;
    Catalogue::Reader reader(m_database);
    for (Catalogue::BatchRecord batch : reader.batches()) {
        if (batch.undoLog == undoLog) {
            batch.undoneAt = QDateTime::currentDateTimeUtc();
            m_writer->saveBatch(std::move(batch));
            return;
        }
    }
}

Catalogue::Usage CatalogueLink::usage() const
{
    if (!m_writer)
        return {};
    m_writer->flush(std::chrono::milliseconds(200));
    Catalogue::Reader reader(m_database);
    return reader.isOpen() ? reader.usage() : Catalogue::Usage {};
}

void CatalogueLink::forgetAll()
{
    if (!m_writer)
        return;
    // The items stay as they are; only a new analysis of one of them is stored again.
    m_writer->forget({});
}

bool CatalogueLink::flush(std::chrono::milliseconds limit)
{
    if (!m_writer)
        return true;
    identifyAll();
    write();
    return m_writer->flush(limit);
}
