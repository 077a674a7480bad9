// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/ModelServer.h"

#include "core/Messages.h"
#include "vision/OllamaClient.h"
#include "vision/OpenAICompatClient.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Where the server's installers put the program on Linux; the shell's PATH is asked last.
QStringList serverProgramLocations()
{
    return { u"/usr/local/bin/ollama"_s, u"/usr/bin/ollama"_s, u"/snap/bin/ollama"_s,
        QDir::homePath() + u"/.local/bin/ollama"_s, QDir::homePath() + u"/bin/ollama"_s };
}

} // namespace

ModelServer::ModelServer(AppSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{ }

void ModelServer::probeInstallation(const std::function<void(bool)>& done)
{
    for (const QString& location : serverProgramLocations()) {
        const QFileInfo info(location);
        if (info.isFile() && info.isExecutable()) {
            done(true);
            return;
        }
    }
    // Ask the shell, as a user would: "command -v" finds programs anywhere on PATH.
    auto* shell = new QProcess(this);
    shell->setProgram(u"/bin/sh"_s);
    shell->setArguments({ u"-c"_s, u"command -v ollama"_s });
    shell->setStandardInputFile(QProcess::nullDevice());
    shell->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The shell needs PATH, not the key.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"VELMORA_API_KEY"_s);
    shell->setProcessEnvironment(environment);
    connect(shell, &QProcess::finished, this, [shell, done](int exitCode, QProcess::ExitStatus status) {
        shell->deleteLater();
        const QByteArray output = shell->readAllStandardOutput();
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder(output);
        done(status == QProcess::NormalExit && exitCode == 0 && !decoder.hasError()
            && !text.trimmed().isEmpty());
    });
    connect(shell, &QProcess::errorOccurred, this, [shell, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        shell->deleteLater();
        done(false);
    });
    shell->start();
}

void ModelServer::checkReadiness()
{
    if (m_settings.engine() == VisionEngine::OpenAI) {
        m_readiness.installed = m_readiness.running = m_readiness.hasModel = true;
        m_readiness.error.reset();
        emit readinessChanged();
        return;
    }
    probeInstallation([this](bool installed) { readinessInstalled(installed); });
}

void ModelServer::readinessInstalled(bool installed)
{
    // The address is asked also without a program here: the server may run on another machine or in a
    // container, and one that answers is all this program needs.
    const OllamaClient client(m_settings.ollamaURL(), m_settings.model());
    client.listModels(this, [this, installed](const OllamaClient::Result<QList<OllamaModel>>& result) {
        if (!result) {
            if (result.error().isCancelled())
                return;
            m_readiness.installed = installed;
            m_readiness.running = m_readiness.hasModel = false;
            m_readiness.error = installed ? Messages::NotRunningHint : Messages::NotInstalledHint;
            emit readinessChanged();
            return;
        }
        m_readiness.installed = m_readiness.running = true;
        m_readiness.modelNames.clear();
        for (const OllamaModel& model : *result)
            m_readiness.modelNames.append(model.name);
        m_readiness.hasModel = !result->isEmpty();
        m_readiness.error = result->isEmpty() ? std::optional(Messages::NoModelHint) : std::nullopt;
        m_models = *result;
        applyModelSelection();
        emit listChanged();
        emit readinessChanged();
    });
}

void ModelServer::applyModelSelection()
{
    if (m_models.isEmpty())
        return;
    const QString selected = m_settings.model();
    const bool listed = std::any_of(
        m_models.cbegin(), m_models.cend(), [&](const OllamaModel& model) { return model.name == selected; });
    if (!listed)
        m_settings.setModel(m_models.first().name);
}

void ModelServer::pullModel(const QString& name)
{
    if (m_isPulling)
        return;
    m_isPulling = true;
    m_pullProgress = Messages::PullConnecting;
    emit readinessChanged();
    const OllamaClient client(m_settings.ollamaURL(), name);
    client.pullModel(
        name, this,
        [this](const QString& progress) {
            m_pullProgress = progress;
            emit readinessChanged();
        },
        [this](const OllamaClient::Result<void>& result) {
            m_isPulling = false;
            if (result) {
                m_pullProgress = Messages::PullDone;
                checkReadiness();
                return;
            }
            m_pullProgress = Messages::PullFailedPrefix + result.error().message();
            emit readinessChanged();
        });
}

void ModelServer::refreshModels()
{
    auto apply = [this](QList<OllamaModel> models) {
        m_models = std::move(models);
        applyModelSelection();
        emit listChanged();
        emit modelsChanged();
    };
    auto failed = [this] {
        m_models.clear();
        emit listChanged();
    };
    if (m_settings.engine() == VisionEngine::OpenAI) {
        const OpenAICompatClient client(m_settings.openAIURL(), m_settings.openAIKey, m_settings.model());
        client.listModels(this, [=](const OpenAICompatClient::Result<QStringList>& result) {
            if (!result) {
                failed();
                return;
            }
            QList<OllamaModel> models;
            for (const QString& id : *result)
                models.append(OllamaModel { id, std::nullopt, std::nullopt });
            apply(std::move(models));
        });
        return;
    }
    const OllamaClient client(m_settings.ollamaURL(), m_settings.model());
    client.listModels(this,
        [=](const OllamaClient::Result<QList<OllamaModel>>& result) { result ? apply(*result) : failed(); });
}
