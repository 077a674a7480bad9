// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Messages.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestMessages : public QObject
{
    Q_OBJECT

private slots:
    void etaText_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero shows one second") << 0.0 << u"1 秒"_s;
        QTest::newRow("59.4") << 59.4 << u"59 秒"_s;
        QTest::newRow("59.5 rounds up to a minute") << 59.5 << u"1 分钟"_s;
        QTest::newRow("99.2") << 99.2 << u"1 分 39 秒"_s;
        QTest::newRow("3599.4") << 3599.4 << u"59 分 59 秒"_s;
        QTest::newRow("3599.5") << 3599.5 << u"1 小时"_s;
        QTest::newRow("3659 drops seconds") << 3659.0 << u"1 小时"_s;
        QTest::newRow("3660") << 3660.0 << u"1 小时 1 分"_s;
        QTest::newRow("a day, no grouping") << 90000.0 << u"25 小时"_s;
        QTest::newRow("not a number") << qQNaN() << u"1 秒"_s;
    }

    void etaText()
    {
        QFETCH(double, seconds);
        QFETCH(QString, text);
        QCOMPARE(Messages::etaText(seconds), text);
    }

    void progress_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("total");
        QTest::addColumn<std::optional<double>>("average");
        QTest::addColumn<QString>("text");
        QTest::newRow("first item, no average")
            << 0 << 3 << std::optional<double>() << u"分析中 1/3：a.mp4"_s;
        QTest::newRow("average and time to go")
            << 2 << 10 << std::optional<double>(12.4)
            << u"分析中 3/10：a.mp4\u3000·\u3000平均 12 秒/个，预计还需 1 分 39 秒"_s;
        QTest::newRow("half rounds away from zero")
            << 9 << 10 << std::optional<double>(2.5)
            << u"分析中 10/10：a.mp4\u3000·\u3000平均 3 秒/个，预计还需 3 秒"_s;
    }

    void progress()
    {
        QFETCH(int, position);
        QFETCH(int, total);
        QFETCH(std::optional<double>, average);
        QFETCH(QString, text);
        QCOMPARE(Messages::progress(position, total, u"a.mp4"_s, average), text);
    }

    void summary_data()
    {
        QTest::addColumn<int>("successes");
        QTest::addColumn<int>("total");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty list") << 0 << 0 << 0.01 << false << u"分析完成：成功 0/0 个，用时 1 秒"_s;
        QTest::newRow("two of three")
            << 2 << 3 << 25.0 << false << u"分析完成：成功 2/3 个，用时 25 秒，平均 13 秒/个"_s;
        QTest::newRow("list changed")
            << 1 << 2 << 70.0 << true
            << u"分析完成：成功 1/2 个，用时 1 分 10 秒，平均 70 秒/个（列表中途有增删，已自动跳过）"_s;
    }

    void summary()
    {
        QFETCH(int, successes);
        QFETCH(int, total);
        QFETCH(double, elapsed);
        QFETCH(bool, changed);
        QFETCH(QString, text);
        QCOMPARE(Messages::analysisFinished(successes, total, elapsed, changed), text);
    }
};

QTEST_GUILESS_MAIN(TestMessages)
#include "TestMessages.moc"
