// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class AppSettings;

// The command line of velmora-cli: a command, its arguments, and options that override the stored
// settings for this one run (they are never saved).
struct CliOptions
{
    // What went wrong with a command line, and what is known of it so far.
    struct UsageError
    {
        QString message;
        QString command; // when known, its own help is the one to point at
        bool json = false;
    };

    QString command;
    QStringList arguments;
    bool json = false;
    bool help = false; // with a command: that command's help
    bool version = false;

    std::optional<QString> engine;
    std::optional<QString> endpoint;
    std::optional<QString> baseUrl;
    std::optional<QString> apiKey; // from --api-key, --api-key-file or VELMORA_API_KEY
    std::optional<QString> model;
    std::optional<int> frames;
    std::optional<int> concurrency;
    // Where inspect writes the pictures (--frames-dir DIR).
    std::optional<QString> framesDir;
    std::optional<QString> target;
    std::optional<QString> separator;
    std::optional<QString> geocoder;
    bool noDate = false;
    bool noLocation = false;
    bool noContent = false;
    bool noOriginal = false;
    bool noPathPlace = false;
    bool geocode = false;
    bool last = false; // undo: the newest log
    bool list = false; // undo: list the batches instead
    bool rename = false; // analyze: rename the ready items afterwards
    bool dryRun = false; // analyze --rename: only show what the rename would do

    // Parses argv (program name first). On a usage error returns nothing and sets error. Reads the key
    // file of --api-key-file (standard input for "-").
    static std::optional<CliOptions> parse(const QStringList& argv, UsageError* error);
    // The whole help, or one command's.
    static QString helpText(const QString& command = {});

    void applyTo(AppSettings& settings) const;
};
