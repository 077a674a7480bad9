// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalogue/Reader.h"
#include "catalogue/Writer.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "core/CatalogueLink.h"
#include "core/Messages.h"

using namespace Qt::StringLiterals;

namespace Commands {

// Removes what the catalogue keeps about the files given (by their content, and by the path they were
// last seen at, folders included), or about every file when none is given. Work lists stay.
Command forgetCommand()
{
    return { u"forget"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                const CatalogueLink* link = model.catalogue();
                if (!link || !link->isOpen()) {
                    Output::line(stderr, ::Messages::CatalogueUnavailable);
                    finish(ItemFailed);
                    return;
                }
                const std::filesystem::path database = link->database();
                const qint64 before = Catalogue::Reader(database).usage().analyses;
                {
                    Catalogue::Writer writer(database);
                    if (options.arguments.isEmpty()) {
                        writer.forget({});
                    } else {
                        Catalogue::Reader reader(database);
                        std::vector<Catalogue::FileIdentity> identities;
                        std::vector<std::filesystem::path> paths;
                        for (const QString& argument : options.arguments) {
                            const std::filesystem::path path = Output::argumentPath(argument);
                            if (const auto found = reader.lookup(path))
                                identities.push_back(found->identity);
                            std::error_code ec;
                            paths.push_back(std::filesystem::absolute(path, ec).lexically_normal());
                        }
                        writer.forget(std::move(identities));
                        writer.forgetPaths(std::move(paths));
                    }
                    if (!writer.close(std::chrono::seconds(30))) {
                        Output::line(stderr, ::Messages::CatalogueUnavailable);
                        finish(ItemFailed);
                        return;
                    }
                }
                const qint64 forgotten = before - Catalogue::Reader(database).usage().analyses;
                const QString status = ::Messages::forgotten(forgotten);
                Output::line(stderr, status);
                if (options.json)
                    Output::json({ { u"schemaVersion"_s, SchemaVersion }, { u"status"_s, status },
                        { u"forgotten"_s, forgotten } });
                finish(Done);
            } };
}

} // namespace Commands
