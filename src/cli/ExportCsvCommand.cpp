// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Reader.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "naming/Companions.h"
#include "naming/Messages.h"
#include "naming/RenameRecord.h"
#include "naming/Renamer.h"

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// The renamed files as the window's list would show them, from what the catalogue knows: capture time
// and folder place from the file's record, content (and the place when the folders gave none) from its
// newest analysis, and what the user typed into the window's list over both. A file without a record
// (a sidecar, the other half of a pair) goes with the known file of its folder whose stem it shares.
QList<VideoItem> knownItems(const std::filesystem::path& database, const std::vector<UndoLog::Entry>& moved)
{
    QList<VideoItem> items;
    Catalogue::Reader reader(database);
    if (!reader.isOpen())
        return items;
    const std::vector<Catalogue::SessionEntry> session = reader.session();
    std::vector<const UndoLog::Entry*> unknown;
    for (const UndoLog::Entry& entry : moved) {
        const auto found = reader.lookup(entry.renamed);
        if (!found || !found->known) {
            unknown.push_back(&entry);
            continue;
        }
        VideoItem& item = items.emplace_back();
        item.url = entry.renamed;
        item.creationDate = found->known->captureDate;
        item.location = found->known->place.value_or(QString());
        if (const auto analysis = reader.latestAnalysis(found->identity)) {
            item.content = analysis->content;
            if (item.location.isEmpty())
                item.location = analysis->placeGuess;
        }
        // The list's entry of this path, else what was last typed for this content anywhere.
        const auto listed = std::find_if(session.cbegin(), session.cend(),
            [&](const Catalogue::SessionEntry& e) { return e.path == entry.renamed; });
        const Catalogue::HandEdits edits = listed != session.cend()
            ? Catalogue::HandEdits { listed->editedContent, listed->editedPlace, listed->editedName }
            : found->edits.value_or(Catalogue::HandEdits());
        item.content = edits.content.value_or(item.content);
        item.location = edits.place.value_or(item.location);
    }
    for (const UndoLog::Entry* entry : unknown) {
        const std::string name = entry->renamed.filename().native();
        const std::string key = Companions::sidecarKey(name).value_or(Companions::stemOf(name));
        for (VideoItem& item : items) {
            const std::string owner = item.url.filename().native();
            if (item.url.parent_path() == entry->renamed.parent_path()
                && (key == owner || key == Companions::stemOf(owner))) {
                item.companions.push_back(entry->renamed);
                break;
            }
        }
    }
    return items;
}

} // namespace

namespace Commands {

// The record of one rename batch as CSV on standard output: the log named, or the newest. This process
// has no list; what the window's list would add comes from the catalogue.
Command exportCsvCommand()
{
    return { u"export-csv"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                std::optional<std::filesystem::path> log;
                if (!options.arguments.isEmpty())
                    log = Output::argumentPath(options.arguments.first());
                else
                    log = Renamer::latestLog();
                if (!log) {
                    Output::line(stderr, u"还没有重命名记录"_s);
                    finish(BadUsage);
                    return;
                }
                const auto moved = Renamer::entriesOf(*log);
                if (!moved) {
                    Output::line(stderr, Renamer::Messages::unreadableLog(displayPath(*log)));
                    finish(BadUsage);
                    return;
                }
                const CatalogueLink* link = model.catalogue();
                const QList<VideoItem> known
                    = link && link->isOpen() ? knownItems(link->database(), *moved) : QList<VideoItem>();
                const QByteArray csv = RenameRecord::csv(*moved, RenameRecord::batchTime(*log), known);
                std::fwrite(csv.constData(), 1, std::size_t(csv.size()), stdout);
                std::fflush(stdout);
                finish(Done);
            } };
}

} // namespace Commands
