// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "vision/OllamaClient.h"
#include "vision/OpenAICompatClient.h"

#include <QJsonArray>
#include <QLocale>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

QJsonObject modelJson(const OllamaModel& model)
{
    return {
        { u"name"_s, model.name },
        { u"size"_s, model.size ? QJsonValue(double(*model.size)) : QJsonValue(QJsonValue::Null) },
        { u"modifiedAt"_s, model.modifiedAt ? QJsonValue(*model.modifiedAt) : QJsonValue(QJsonValue::Null) },
    };
}

void printModels(const CliOptions& options, const QList<OllamaModel>& models)
{
    if (options.json) {
        QJsonArray list;
        for (const OllamaModel& model : models)
            list.append(modelJson(model));
        Output::json({ { u"models"_s, list } });
        return;
    }
    for (const OllamaModel& model : models) {
        const QString size = model.size
            ? u'\t' + QLocale::c().formattedDataSize(*model.size, 1, QLocale::DataSizeSIFormat)
            : QString();
        Output::line(stdout, Output::field(model.name) + size);
    }
}

} // namespace

// The model list of the selected engine; the online service's ids become entries with a name only.
// It asks the client directly: the model does not keep a model list yet.
Command modelsCommand()
{
    return { u"models"_s, 0, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                const AppSettings& settings = model.settings();
                auto fail = [finish](const QString& message) {
                    Output::line(stderr, message);
                    finish(ItemFailed);
                };
                if (settings.engine() == VisionEngine::OpenAI) {
                    const OpenAICompatClient client(
                        settings.openAIURL(), settings.openAIKey, settings.openAIModel);
                    client.listModels(
                        &model, [options, finish, fail](const OpenAICompatClient::Result<QStringList>& ids) {
                            if (!ids)
                                return fail(ids.error().message());
                            QList<OllamaModel> models;
                            for (const QString& id : *ids)
                                models.append({ id, std::nullopt, std::nullopt });
                            printModels(options, models);
                            finish(Done);
                        });
                    return;
                }
                const OllamaClient client(settings.ollamaURL(), settings.ollamaModel);
                client.listModels(
                    &model, [options, finish, fail](const OllamaClient::Result<QList<OllamaModel>>& models) {
                        if (!models)
                            return fail(models.error().message());
                        printModels(options, *models);
                        finish(Done);
                    });
            } };
}

} // namespace Commands
