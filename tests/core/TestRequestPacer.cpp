// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/RequestPacer.h"

#include <QTest>

#include <optional>

class TestRequestPacer : public QObject
{
    Q_OBJECT

private slots:
    // 'p' pushed back, 's' served in 100 ms, 'S' in 300 ms: the answer to the latest request still
    // open, or to one sent just then; 'n' a request sent and left open; 'o' a push-back to a request of
    // the first round, whenever it comes.
    void limit_data()
    {
        QTest::addColumn<int>("ceiling");
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("limit");
        QTest::newRow("most of a round refused halves") << 8 << QByteArray("ppppp") << 4;
        QTest::newRow("a refusal now and then does not") << 8 << QByteArray("spssssss") << 8;
        // Two of four refused at once and their slots filled again, refused too: still two of four.
        QTest::newRow("requests beyond the round do not count") << 4 << QByteArray("nnnnppnnppss") << 4;
        QTest::newRow("late answers of the old round count once") << 8 << QByteArray("pppppooo") << 4;
        QTest::newRow("never below one") << 2 << QByteArray("pppppp") << 1;
        QTest::newRow("a good round at flat latency grows") << 8
                                                            << QByteArray("ppppp"
                                                                          "ssss")
                                                            << 5;
        QTest::newRow("a good round that got slower does not") << 8
                                                               << QByteArray("ssssssss"
                                                                             "ppppp"
                                                                             "SSSS")
                                                               << 4;
        QTest::newRow("never above the setting") << 2
                                                 << QByteArray("ss"
                                                               "ss"
                                                               "ss")
                                                 << 2;
    }

    void limit()
    {
        QFETCH(int, ceiling);
        QFETCH(QByteArray, answers);
        QFETCH(int, limit);
        RequestPacer pacer(ceiling);
        std::optional<int> first;
        QList<int> open;
        for (const char answer : answers) {
            if (answer == 'n') {
                open.append(pacer.sent());
                continue;
            }
            const int round = answer == 'o' ? *first : !open.isEmpty() ? open.takeLast() : pacer.sent();
            first = first.value_or(round);
            pacer.answered(round,
                answer == 's' || answer == 'S' ? RequestPacer::Answer::Served
                                               : RequestPacer::Answer::PushedBack,
                answer == 'S' ? 300 : 100);
        }
        QCOMPARE(pacer.limit(), limit);
    }

    void backoffDoublesWithJitter()
    {
        for (int attempt = 1; attempt <= 8; ++attempt) {
            const qint64 base = 1000LL << std::min(attempt - 1, 5);
            const qint64 wait = RequestPacer::backoffMs(attempt, 1000);
            QVERIFY2(wait >= base / 2 && wait < base * 3 / 2, qPrintable(QString::number(wait)));
        }
    }
};

QTEST_GUILESS_MAIN(TestRequestPacer)
#include "TestRequestPacer.moc"
