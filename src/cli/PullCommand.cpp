// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "core/AppModel.h"
#include "vision/OllamaClient.h"

#include <memory>

using namespace Qt::StringLiterals;

namespace Commands {

namespace {

// What the window shows while a model downloads.
const QString Connecting = u"正在连接 Ollama…"_s;
const QString Finished = u"✅ 下载完成"_s;
const QString FailedPrefix = u"❌ 下载失败："_s;

} // namespace

// Downloads a model through the local server whatever engine is selected; progress goes to standard
// error. It asks the client directly: the model cannot download yet.
Command pullCommand()
{
    return { u"pull"_s, 1, [](const CliOptions& options, AppModel& model, const Finish& finish) {
                const QString name = options.arguments.first().trimmed();
                if (name.isEmpty()) {
                    Output::line(stderr, u"pull 需要一个模型名称"_s);
                    finish(BadUsage);
                    return;
                }
                auto last = std::make_shared<QString>(Connecting);
                Output::line(stderr, Connecting);
                auto report = [options, name, finish](const QString& status, int exitCode) {
                    Output::line(stderr, status);
                    if (options.json)
                        Output::json({ { u"model"_s, name }, { u"status"_s, status } });
                    finish(exitCode);
                };
                const OllamaClient client(model.settings().ollamaURL(), name);
                client.pullModel(
                    name, &model,
                    [last](const QString& progress) {
                        // A layer reports many times per percent; a repeated text tells the reader nothing.
                        if (progress != *last)
                            Output::line(stderr, progress);
                        *last = progress;
                    },
                    [report](const OllamaClient::Result<void>& result) {
                        if (result)
                            report(Finished, Done);
                        else
                            report(FailedPrefix + result.error().message(), ItemFailed);
                    });
            } };
}

} // namespace Commands
