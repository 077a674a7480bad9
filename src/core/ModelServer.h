// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/AppSettings.h"
#include "vision/OllamaModel.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// The selected engine's model list and the local model server's readiness and downloads. Lives on the
// main thread, owned by AppModel; selects a listed model in the settings when the chosen one is not.
class ModelServer : public QObject
{
    Q_OBJECT

public:
    // The local model server's last known state, with the hint to show when it is not ready.
    struct Readiness
    {
        bool installed = false;
        bool running = false;
        bool hasModel = false;
        QStringList modelNames;
        std::optional<QString> error;
    };

    explicit ModelServer(AppSettings& settings, QObject* parent = nullptr);

    const QList<OllamaModel>& models() const
    {
        return m_models;
    }
    const Readiness& readiness() const
    {
        return m_readiness;
    }
    bool isPulling() const
    {
        return m_isPulling;
    }
    QString pullProgress() const
    {
        return m_pullProgress;
    }

    // Finds out whether the local model server is installed, running and has a model; readinessChanged()
    // tells when the answer is in.
    void checkReadiness();
    // Downloads a model through the local server, with pullProgress() kept up to date; ignored while a
    // download is running.
    void pullModel(const QString& name);
    // Reloads models() from the selected engine.
    void refreshModels();

signals:
    // models() changed, or the list could not be had (and is empty now).
    void listChanged();
    void modelsChanged();
    void readinessChanged();

private:
    void probeInstallation(const std::function<void(bool)>& done);
    void readinessInstalled(bool installed);
    void applyModelSelection();

    AppSettings& m_settings;
    QList<OllamaModel> m_models;
    Readiness m_readiness;
    bool m_isPulling = false;
    QString m_pullProgress;
};
