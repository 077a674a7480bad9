// SPDX-License-Identifier: GPL-3.0-or-later
// What servers and files send as text: model replies and error bodies of both model clients, the
// reverse geocoder's places, the download page's versions, and the date and ISO 6709 texts of media
// metadata. One input goes to every reader; each is cheap.

#include "common/Text.h"
#include "media/FrameExtractor.h"
#include "media/GpsReader.h"
#include "naming/PlaceResolver.h"
#include "update/UpdateChecker.h"
#include "vision/OllamaClient.h"
#include "vision/OpenAICompatClient.h"
#include "vision/PromptBuilder.h"

#include <QList>

#include <cmath>
#include <cstdlib>

namespace {

// A phrase the prompt asks for is at most this many user-perceived characters.
constexpr qsizetype MaxPhraseCharacters = 20;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void readModelReplies(const QByteArray& body)
{
    for (const int status : { 200, 404, 500 }) {
        Net::Reply reply;
        reply.outcome = Net::Reply::Outcome::Finished;
        reply.status = status;
        reply.body = body;
        if (const auto models = OllamaClient::modelListFromReply(reply); !models)
            models.error().message();
        if (const auto response = OllamaClient::responseFromReply(reply); !response)
            response.error().message();
        if (const auto ids = OpenAICompatClient::modelIdsFromReply(reply); !ids)
            ids.error().message();
        if (const auto content = OpenAICompatClient::contentFromReply(reply); !content) {
            content.error().message();
            content.error().mentionsResponseFormat();
        }
    }
    for (const QByteArray& line : body.split('\n')) {
        if (const auto progress = OllamaClient::pullProgress(line); !progress)
            progress.error().message();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString text = QString::fromUtf8(body);

    const PromptBuilder::Reply reply = PromptBuilder::parse(text);
    check(Text::graphemeCount(reply.content) <= MaxPhraseCharacters);
    check(Text::graphemeCount(reply.location) <= MaxPhraseCharacters);

    readModelReplies(body);
    OllamaClient::readableError(text);
    OpenAICompatClient::readable(text);

    if (const auto placemark = PlaceResolver::placemarkFromReply(body)) {
        if (const auto name = PlaceResolver::placeName(*placemark))
            check(!name->isEmpty());
    }

    if (const auto version = UpdateChecker::parseLatestVersion(text))
        UpdateChecker::compare(*version, UpdateChecker::currentVersion());

    if (const auto date = FrameExtractor::parseExifDate(text))
        check(date->isValid());
    if (const auto date = FrameExtractor::parseVideoDate(text))
        check(date->isValid());
    if (const auto position = PlaceResolver::parseIso6709(text))
        check(std::abs(position->latitude) <= 90 && std::abs(position->longitude) <= 180);
    return 0;
}
