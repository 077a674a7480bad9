// SPDX-License-Identifier: GPL-3.0-or-later
#include "naming/PlaceResolver.h"

#include <QTest>

#include <optional>

using namespace Qt::StringLiterals;

class TestPlaceResolver : public QObject
{
    Q_OBJECT

private slots:
    void isMeaningful_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("meaningful");
        QTest::newRow("ignored name in any case") << u"MacIntosh HD"_s << false;
        QTest::newRow("ignored name plus number, any case") << u"Drone 2"_s << false;
        QTest::newRow("one letter and a digit") << u"A1"_s << false;
        QTest::newRow("one letter with accent") << u"e\u0301"_s << false;
        QTest::newRow("digits and punctuation only") << u"._-._- 12"_s << false;
        QTest::newRow("digits of another script") << u"٢٠٢٦-٠٢"_s << false;
        QTest::newRow("full-width digits and one character") << u"２０２６年"_s << false;
        QTest::newRow("system folder") << u"media"_s << false;
        QTest::newRow("system folder in any case") << u"Videos"_s << false;
        // System folder names count as whole names only.
        QTest::newRow("camera numbered folder") << u"100MEDIA"_s << true;
        QTest::newRow("numbered system folder") << u"Videos 2"_s << true;
        QTest::newRow("date before a place") << u"0208茶楼"_s << true;
        QTest::newRow("two letters") << u"ab"_s << true;
        QTest::newRow("place") << u"上里古镇"_s << true;
    }

    void isMeaningful()
    {
        QFETCH(QString, name);
        QFETCH(bool, meaningful);
        QCOMPARE(PlaceResolver::isMeaningful(name), meaningful);
    }

    // Below a fake home folder /home/anna, with file systems mounted at / and /srv/共享盘.
    void fromPath_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("place"); // empty: none
        QTest::addColumn<QByteArray>("added"); // the folder the user added; empty for the file itself
        const auto row
            = [](const char* name, const QByteArray& path, int depth, const QString& place,
                  const QByteArray& added = {}) { QTest::newRow(name) << path << depth << place << added; };
        row("outermost of nested places", "/Volumes/素材/2026/1919茶楼/0208茶楼/clip.mov"_ba, 6,
            u"1919茶楼"_s);
        row("year inside an ignored folder", "/Volumes/素材/2026/clip.mov"_ba, 6, QString());
        row("spaces collapsed, tabs trimmed", "/素材/\t上里  古镇 /clip.mov"_ba, 6, u"上里 古镇"_s);
        row("only six folders looked at", "/aa/bb/cc/dd/ee/ff/gg/clip.mov"_ba, 6, u"bb"_s);
        row("depth one", "/aa/0208茶楼/clip.mov"_ba, 1, u"0208茶楼"_s);
        row("depth zero", "/aa/bb/clip.mov"_ba, 0, QString());
        row("not UTF-8 passed over", "/aa/\xb3\xc9\xb6\xbc/clip.mov"_ba, 6, u"aa"_s);
        row("file in the root", "/clip.mov"_ba, 6, QString());
        row("relative name", "clip.mov"_ba, 6, QString());
        // The login name and the folders above the home are never places.
        row("home not looked at", "/home/anna/Videos/2026/1919茶楼/0208茶楼/clip.mp4"_ba, 6, u"1919茶楼"_s);
        row("right below the home", "/home/anna/Videos/clip.mp4"_ba, 6, QString());
        row("home given with a slash", "/home/anna/clip.mp4"_ba, 6, QString(), "/home/anna/"_ba);
        row("a mount point's name, not above it", "/srv/共享盘/2026/clip.mp4"_ba, 6, u"共享盘"_s);
        row("removable media label", "/media/anna/旅行盘/DCIM/clip.mp4"_ba, 6, u"旅行盘"_s);
        row("removable media label under run", "/run/media/anna/旅行盘/clip.mp4"_ba, 6, u"旅行盘"_s);
        row("added folder's name, not above it", "/data/项目/上里古镇/a/clip.mp4"_ba, 6, u"上里古镇"_s,
            "/data/项目/上里古镇"_ba);
    }

    void fromPath()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, depth);
        QFETCH(QString, place);
        QFETCH(QByteArray, added);
        const PlaceResolver::FolderLimits limits { { "/home/anna" }, { "/", "/srv/共享盘/" },
            added.toStdString() };
        QCOMPARE(PlaceResolver::fromPath(std::filesystem::path(path.toStdString()), depth, limits),
            place.isEmpty() ? std::nullopt : std::optional(place));
    }
};

QTEST_GUILESS_MAIN(TestPlaceResolver)
#include "TestPlaceResolver.moc"
