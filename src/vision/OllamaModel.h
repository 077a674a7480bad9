// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// One entry of a model server's list. The online service's model ids use it with the name only.
struct OllamaModel
{
    QString name;
    std::optional<qint64> size;
    std::optional<QString> modifiedAt; // as the server wrote it, not parsed

    QString id() const
    {
        return name;
    }

    // From the server's {"name", "size", "modified_at"}: name is required; size and modified_at may be
    // absent or null, but a value of the wrong type fails the entry.
    static std::optional<OllamaModel> fromJson(const QJsonObject& object);
    // The same keys; absent values are left out.
    QJsonObject toJson() const;

    friend bool operator==(const OllamaModel&, const OllamaModel&) = default;
};

size_t qHash(const OllamaModel& model, size_t seed = 0);
