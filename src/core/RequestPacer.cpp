// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/RequestPacer.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

// A round whose average answer time is within this factor of the best round is at flat latency: the
// server still answers the added request beside the others instead of queueing it.
constexpr double FlatLatencyFactor = 1.25;

} // namespace

RequestPacer::RequestPacer(int ceiling)
    : m_ceiling(std::max(1, ceiling))
    , m_limit(m_ceiling)
{ }

void RequestPacer::startRound(int limit)
{
    m_limit = std::clamp(limit, 1, m_ceiling);
    ++m_round;
    m_answers = 0;
    m_pushbacks = 0;
    m_latencySum = 0;
}

void RequestPacer::answered(int sentIn, bool pushedBack, qint64 latencyMs)
{
    // Answers to requests sent under an earlier limit say nothing about the current one; counting them
    // would halve a second time for the same burst.
    if (sentIn != m_round)
        return;
    ++m_answers;
    if (pushedBack)
        ++m_pushbacks;
    else
        m_latencySum += std::max<qint64>(0, latencyMs);
    // A random refusal now and then is the server's business; half of a round refused is a full server.
    if (m_pushbacks * 2 >= std::max(m_limit, 2)) {
        startRound(m_limit / 2);
        return;
    }
    if (m_answers < m_limit)
        return;
    const int successes = m_answers - m_pushbacks;
    const double average = double(m_latencySum) / double(std::max(1, successes));
    const bool isFlat = !m_baselineMs || average <= *m_baselineMs * FlatLatencyFactor;
    m_baselineMs = m_baselineMs ? std::min(*m_baselineMs, average) : average;
    startRound(isFlat ? m_limit + 1 : m_limit);
}

qint64 RequestPacer::backoffMs(int attempt, qint64 baseMs)
{
    const qint64 exponential = baseMs << std::clamp(attempt - 1, 0, 5);
    return qint64(double(exponential) * (0.5 + QRandomGenerator::global()->generateDouble()));
}
