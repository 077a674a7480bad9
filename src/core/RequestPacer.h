// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <optional>

// How many model requests a run keeps in flight against one server: starts at the setting, halves when
// the server pushes back (429, 503, a refused or reset connection) on more than half of a round, and
// grows by one after a round answered mostly well at flat latency, never above the setting. A round is
// the first `limit` requests sent after the limit last changed, judged once all of them are answered:
// a refusal comes back at once and its slot is filled again at once, so counting answers as they come
// would weigh refusals several times over and take a quarter refused for a full server. Plain logic on
// the main thread.
class RequestPacer
{
public:
    explicit RequestPacer(int ceiling);

    int limit() const
    {
        return m_limit;
    }
    enum class Answer
    {
        Served,
        PushedBack,
        Failed, // any other end: it closes the round's count, its time says nothing
    };
    // Not a round: the request was sent after its round had all its requests.
    static constexpr int NoRound = -1;

    // A request goes out now: the round it counts in, or NoRound. Every request counted must be answered.
    int sent();
    // One answer to a request that sent() placed in round sentIn; latencyMs counts for served ones.
    void answered(int sentIn, Answer answer, qint64 latencyMs);

    // The jittered exponential wait before retry number attempt (1, 2, …): base, twice that, … up to
    // 32 bases, each scaled by a random factor in [0.5, 1.5).
    static qint64 backoffMs(int attempt, qint64 baseMs);

private:
    void startRound(int limit);

    int m_ceiling = 1;
    int m_limit = 1;
    int m_round = 0;
    int m_sent = 0;
    int m_answers = 0;
    int m_pushbacks = 0;
    int m_served = 0;
    qint64 m_latencySum = 0;
    std::optional<double> m_baselineMs; // the lowest round average so far: what flat latency means
};
