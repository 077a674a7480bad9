// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/RequestPacer.h"

#include <QTest>

class TestRequestPacer : public QObject
{
    Q_OBJECT

private slots:
    // Answers in order, each to a request sent in the current round: 'p' pushed back, 's' answered in
    // 100 ms, 'S' in 300 ms; 'o' is a push-back to a request of the first round, whenever it comes.
    void limit_data()
    {
        QTest::addColumn<int>("ceiling");
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("limit");
        QTest::newRow("half a round refused halves") << 8 << QByteArray("pppp") << 4;
        QTest::newRow("a refusal now and then does not") << 8 << QByteArray("spssssss") << 8;
        QTest::newRow("late answers of the old round count once") << 8 << QByteArray("ppppoooo") << 4;
        QTest::newRow("never below one") << 2 << QByteArray("pppppp") << 1;
        QTest::newRow("a good round at flat latency grows") << 8
                                                            << QByteArray("pppp"
                                                                          "ssss")
                                                            << 5;
        QTest::newRow("a good round that got slower does not") << 8
                                                               << QByteArray("ssssssss"
                                                                             "pppp"
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
        const int first = pacer.round();
        for (const char answer : answers) {
            const int round = answer == 'o' ? first : pacer.round();
            pacer.answered(round, answer == 'p' || answer == 'o', answer == 'S' ? 300 : 100);
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
