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
    m_sent = 0;
    m_answers = 0;
    m_pushbacks = 0;
    m_served = 0;
    m_latencySum = 0;
}

int RequestPacer::sent()
{
    if (m_sent >= m_limit)
        return NoRound;
    ++m_sent;
    return m_round;
}

void RequestPacer::answered(int sentIn, Answer answer, qint64 latencyMs)
{
    // Answers to requests sent under an earlier limit say nothing about the current one; counting them
    // would halve a second time for the same burst.
    if (sentIn == NoRound || sentIn != m_round)
        return;
    ++m_answers;
    if (answer == Answer::PushedBack) {
        ++m_pushbacks;
    } else if (answer == Answer::Served) {
        ++m_served;
        m_latencySum += std::max<qint64>(0, latencyMs);
    }
    // A random refusal now and then is the server's business; most of a round refused is a full
    // server, and that is known as soon as more than half of it has been.
    if (m_pushbacks * 2 > m_limit) {
        startRound(m_limit / 2);
        return;
    }
    if (m_answers < m_limit)
        return;
    if (m_served == 0) {
        startRound(m_limit);
        return;
    }
    const double average = double(m_latencySum) / double(m_served);
    const bool isFlat = !m_baselineMs || average <= *m_baselineMs * FlatLatencyFactor;
    m_baselineMs = m_baselineMs ? std::min(*m_baselineMs, average) : average;
    startRound(isFlat ? m_limit + 1 : m_limit);
}

qint64 RequestPacer::backoffMs(int attempt, qint64 baseMs)
{
    const qint64 exponential = baseMs << std::clamp(attempt - 1, 0, 5);
    return qint64(double(exponential) * (0.5 + QRandomGenerator::global()->generateDouble()));
}
