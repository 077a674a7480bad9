// SPDX-License-Identifier: GPL-3.0-or-later
#include "vision/OllamaModel.h"

#include <QHashFunctions>

#include <cmath>

using namespace Qt::StringLiterals;

std::optional<OllamaModel> OllamaModel::fromJson(const QJsonObject& object)
{
    const QJsonValue name = object.value(u"name"_s);
    const QJsonValue size = object.value(u"size"_s);
    const QJsonValue modifiedAt = object.value(u"modified_at"_s);
    if (!name.isString())
        return std::nullopt;

    OllamaModel model;
    model.name = name.toString();
    if (size.isDouble()) {
        // JSON numbers arrive as doubles; a size must be a whole number that fits in 64 bits.
        const double value = size.toDouble();
        if (value != std::trunc(value) || std::abs(value) >= 9.2e18)
            return std::nullopt;
        model.size = size.toInteger(qint64(value));
    } else if (!size.isNull() && !size.isUndefined()) {
        return std::nullopt;
    }
    if (modifiedAt.isString())
        model.modifiedAt = modifiedAt.toString();
    else if (!modifiedAt.isNull() && !modifiedAt.isUndefined())
        return std::nullopt;
    return model;
}

QJsonObject OllamaModel::toJson() const
{
    QJsonObject object { { u"name"_s, name } };
    if (size)
        object.insert(u"size"_s, double(*size));
    if (modifiedAt)
        object.insert(u"modified_at"_s, *modifiedAt);
    return object;
}

size_t qHash(const OllamaModel& model, size_t seed)
{
    return qHashMulti(seed, model.name, model.size.value_or(-1), model.modifiedAt.value_or(QString()));
}
