// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/PlaceResolver.h"

#include <QTest>

#include <optional>

using namespace Qt::StringLiterals;

class TestPlaceResolver : public QObject
{
    Q_OBJECT

private slots:
    void isMeaningful_data();
    void isMeaningful();
    void fromPath_data();
    void fromPath();
};

void TestPlaceResolver::isMeaningful_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("meaningful");

    QTest::newRow("year") << u"2026"_s << false;
    QTest::newRow("date") << u"2026-02-08"_s << false;
    QTest::newRow("counter") << u"001"_s << false;
    QTest::newRow("one letter and a digit") << u"A1"_s << false;
    QTest::newRow("one CJK character") << u"茶"_s << false;
    QTest::newRow("ignored name plus number") << u"素材 2"_s << false;
    QTest::newRow("ignored name any case") << u"MacIntosh HD"_s << false;
    QTest::newRow("new folder") << u"新建文件夹"_s << false;
    QTest::newRow("listed twice") << u"资源库"_s << false;
    QTest::newRow("material library") << u"素材库"_s << false;
    QTest::newRow("drone with number") << u"Drone 2"_s << false;
    QTest::newRow("digits of another script") << u"٢٠٢٦-٠٢"_s << false;
    QTest::newRow("full-width digits") << u"２０２６年"_s << false;
    QTest::newRow("digits and punctuation only") << u"._- 12"_s << false;
    QTest::newRow("date before a place") << u"0208茶楼"_s << true;
    QTest::newRow("number before a place") << u"1919茶楼"_s << true;
    QTest::newRow("camera folder") << u"DCIM"_s << true;
    // "media" is ignored as a whole name (the mount point) only.
    QTest::newRow("camera numbered folder") << u"100MEDIA"_s << true;
    QTest::newRow("numbered Videos folder") << u"Videos 2"_s << true;
    QTest::newRow("camera numbered folder, other maker") << u"100CANON"_s << true;
    QTest::newRow("two letters") << u"ab"_s << true;
    QTest::newRow("place") << u"上里古镇"_s << true;
    // One letter with a combining accent is one character to a reader.
    QTest::newRow("one letter with accent") << u"e\u0301"_s << false;
    QTest::newRow("accented pair") << u"e\u0301x"_s << true;
    // The Linux system folders.
    QTest::newRow("home") << u"home"_s << false;
    QTest::newRow("media") << u"media"_s << false;
    QTest::newRow("mnt") << u"mnt"_s << false;
    QTest::newRow("run") << u"run"_s << false;
    QTest::newRow("Videos") << u"Videos"_s << false;
    QTest::newRow("documents in Chinese") << u"文档"_s << false;
}

void TestPlaceResolver::isMeaningful()
{
    QFETCH(QString, name);
    QFETCH(bool, meaningful);
    QCOMPARE(PlaceResolver::isMeaningful(name), meaningful);
}

void TestPlaceResolver::fromPath_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("depth");
    QTest::addColumn<std::optional<QString>>("place");

    const auto none = std::optional<QString>();
    QTest::newRow("outermost of nested places")
        << "/Volumes/素材/2026/1919茶楼/0208茶楼/clip.mov"_ba << 6 << std::optional(u"1919茶楼"_s);
    QTest::newRow("home folder name is outermost")
        << "/Users/studio/Movies/2026/1919茶楼/0208茶楼/clip.mov"_ba << 6 << std::optional(u"studio"_s);
    QTest::newRow("year inside an ignored folder") << "/Volumes/素材/2026/clip.mov"_ba << 6 << none;
    QTest::newRow("double space collapsed")
        << "/素材/上里  古镇/clip.mov"_ba << 6 << std::optional(u"上里 古镇"_s);
    QTest::newRow("tabs around the name") << "/素材/\t杭州 /clip.mov"_ba << 6 << std::optional(u"杭州"_s);
    QTest::newRow("linux home") << "/home/anna/Videos/2026/成都/clip.mov"_ba << 6 << std::optional(u"anna"_s);
    QTest::newRow("linux removable media")
        << "/media/anna/视频/DCIM/clip.mov"_ba << 6 << std::optional(u"anna"_s);
    QTest::newRow("only six folders looked at")
        << "/aa/bb/cc/dd/ee/ff/gg/clip.mov"_ba << 6 << std::optional(u"bb"_s);
    QTest::newRow("depth one") << "/aa/0208茶楼/clip.mov"_ba << 1 << std::optional(u"0208茶楼"_s);
    QTest::newRow("depth zero") << "/aa/bb/clip.mov"_ba << 0 << none;
    QTest::newRow("not UTF-8 passed over")
        << "/aa/\xb3\xc9\xb6\xbc/clip.mov"_ba << 6 << std::optional(u"aa"_s);
    QTest::newRow("file in the root") << "/clip.mov"_ba << 6 << none;
    QTest::newRow("relative name") << "clip.mov"_ba << 6 << none;
}

void TestPlaceResolver::fromPath()
{
    QFETCH(QByteArray, path);
    QFETCH(int, depth);
    QFETCH(std::optional<QString>, place);
    QCOMPARE(PlaceResolver::fromPath(std::filesystem::path(path.toStdString()), depth), place);
}

QTEST_GUILESS_MAIN(TestPlaceResolver)
#include "TestPlaceResolver.moc"
