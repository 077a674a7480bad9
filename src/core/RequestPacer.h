// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

#include <optional>

// How many model requests a run keeps in flight against one server: starts at the setting, halves when
// the server pushes back (429, 503, a refused or reset connection) on half the answers of a round, and
// grows by one after a round answered mostly well at flat latency, never above the setting. A round is
// the answers to the requests sent since the limit last changed. Plain logic on the main thread.
class RequestPacer
{
public:
    explicit RequestPacer(int ceiling);

    int limit() const
    {
        return m_limit;
    }
    // The round a request sent now belongs to.
    int round() const
    {
        return m_round;
    }
    // One answer to a request sent in round sentIn; latencyMs counts for answers that were not pushed back.
    void answered(int sentIn, bool pushedBack, qint64 latencyMs);

    // The jittered exponential wait before retry number attempt (1, 2, …): base, twice that, … up to
    // 32 bases, each scaled by a random factor in [0.5, 1.5).
    static qint64 backoffMs(int attempt, qint64 baseMs);

private:
    void startRound(int limit);

    int m_ceiling = 1;
    int m_limit = 1;
    int m_round = 0;
    int m_answers = 0;
    int m_pushbacks = 0;
    qint64 m_latencySum = 0;
    std::optional<double> m_baselineMs; // the lowest round average so far: what flat latency means
};
