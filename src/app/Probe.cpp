// SPDX-License-Identifier: GPL-3.0-or-later
#include "Probe.h"

#include "core/AppModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

qint64 statusField(const char* name)
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void report(const char* what, qint64 value)
{
    std::fprintf(stderr, "probe %s %lld\n", what, static_cast<long long>(value));
    std::fflush(stderr);
}

void finish()
{
    std::fflush(stderr);
    ::_exit(0);
}

// The longest time between two ticks of a 5 ms timer: how long the event loop was kept from its work.
class StallMeter : public QObject
{
public:
    explicit StallMeter(QObject* parent)
        : QObject(parent)
    {
        auto* timer = new QTimer(this);
        timer->setInterval(5);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.elapsed();
            if (now - m_last > m_longest) {
                m_longest = now - m_last;
                m_longestAt = m_mark;
            }
            m_last = now;
        });
        m_clock.start();
        timer->start();
    }

    void restart()
    {
        m_last = m_clock.elapsed();
        m_longest = 0;
    }
    qint64 longest() const
    {
        return m_longest;
    }
    // What the caller was at when the longest stall happened (the number of items analysed, say).
    void mark(qint64 mark)
    {
        m_mark = mark;
    }
    qint64 longestAt() const
    {
        return m_longestAt;
    }

private:
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    qint64 m_mark = 0;
    qint64 m_longestAt = 0;
};

// Runs then once the window has painted what is on it now.
void afterPaint(QMainWindow& window, std::function<void()> then)
{
    window.update();
    QTimer::singleShot(0, &window, [then = std::move(then)] { QTimer::singleShot(0, then); });
}

} // namespace

namespace Probe {

void install(AppModel& model, QMainWindow& window)
{
    const QByteArray mode = qgetenv("VELMORA_PROBE");
    if (mode.isEmpty())
        return;
    if (mode == "startup") {
        // Exposed means mapped; the paint follows in the same turn of the event loop. The list restored
        // from the catalogue is in the model before the window is built.
        const auto painted = [&model] {
            report("listed", model.items().size());
            report("analysed",
                std::count_if(model.items().cbegin(), model.items().cend(),
                    [](const VideoItem& item) { return item.status == VideoItem::Status::Analyzed; }));
            report("painted", 1);
            finish();
        };
        QTimer::singleShot(0, &window, [&window, painted] {
            if (window.windowHandle() && window.windowHandle()->isExposed()) {
                afterPaint(window, painted);
                return;
            }
            auto* poll = new QTimer(&window);
            QObject::connect(poll, &QTimer::timeout, &window, [&window, poll, painted] {
                if (window.windowHandle() && window.windowHandle()->isExposed()) {
                    poll->stop();
                    afterPaint(window, painted);
                }
            });
            poll->start(1);
        });
        return;
    }

    // Stalls count from the first paint on: the start-up itself is measured by its own mode.
    auto* stalls = new StallMeter(&window);
    QTimer::singleShot(
        0, &window, [&window, stalls] { afterPaint(window, [stalls] { stalls->restart(); }); });
    QObject::connect(&model, &AppModel::importFinished, &window, [&model, &window, stalls, mode] {
        if (model.isImporting())
            return;
        if (mode == "import") {
            afterPaint(window, [&model, stalls] {
                report("imported", model.items().size());
                report("maxgap_ms", stalls->longest());
                report("hwm_kb", statusField("VmHWM:"));
                report("rss_kb", statusField("VmRSS:"));
                finish();
            });
            return;
        }
        stalls->restart();
        auto analysed = std::make_shared<qsizetype>(0);
        auto reported500 = std::make_shared<bool>(false);
        QObject::connect(&model, &AppModel::itemsChanged, &window,
            [&model, &window, analysed, reported500, mode, stalls](qsizetype first, qsizetype last) {
                for (qsizetype i = first; i <= last && i < model.items().size(); ++i) {
                    if (model.items().at(i).status == VideoItem::Status::Analyzed
                        || model.items().at(i).status == VideoItem::Status::Error)
                        ++*analysed;
                }
                stalls->mark(*analysed);
                static bool closing = false;
                if (mode == "close" && *analysed >= 1 && !closing) {
                    closing = true;
                    report("closing", 1);
                    window.close();
                }
                if (*analysed >= 500 && !*reported500) {
                    *reported500 = true;
                    report("rss500_kb", statusField("VmRSS:"));
                }
            });
        QObject::connect(&model, &AppModel::changed, &window, [&model, analysed, stalls] {
            if (model.isBusy() || *analysed == 0)
                return;
            report("analysed", *analysed);
            report("rss_end_kb", statusField("VmRSS:"));
            report("maxgap_ms", stalls->longest());
            report("maxgap_at_item", stalls->longestAt());
            finish();
        });
        model.analyzeAll();
    });
}

} // namespace Probe
