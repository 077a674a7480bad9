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
    QString command;
    QStringList arguments;
    bool json = false;
    bool help = false;
    bool version = false;

    std::optional<QString> engine;
    std::optional<QString> endpoint;
    std::optional<QString> baseUrl;
    std::optional<QString> apiKey;
    std::optional<QString> model;
    std::optional<int> frames;
    // Where inspect writes the pictures: --frames-dir DIR, or --frames with a value that is not a count.
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
    bool rename = false; // analyze: rename the ready items afterwards

    // Parses argv (program name first). On a usage error returns nothing and sets error.
    static std::optional<CliOptions> parse(const QStringList& argv, QString* error);
    static QString helpText();

    void applyTo(AppSettings& settings) const;
};
