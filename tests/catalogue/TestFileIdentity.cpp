// SPDX-License-Identifier: GPL-3.0-or-later
// A stored file is found again after it was renamed, moved or copied, without reading it when nothing
// about it changed; after its content changed it is not.

#include "catalogue/Database.h"
#include "catalogue/Reader.h"
#include "catalogue/Writer.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

void writeAt(const fs::path& file, qint64 offset, const QByteArray& bytes)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::pwrite(fd, bytes.constData(), size_t(bytes.size()), offset), ssize_t(bytes.size()));
    ::close(fd);
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestFileIdentity : public QObject
{
    Q_OBJECT

private slots:
    void foundAgain_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("isFound");
        QTest::addColumn<bool>("wasHashed");

        for (const qint64 size : { qint64(3000), qint64(5 * 1024 * 1024) }) {
            const auto row
                = [&](const char* name) -> QTestData& { return QTest::addRow("%s, %lld bytes", name, size); };
            row("unchanged") << size << u"none"_s << true << false;
            row("renamed") << size << u"rename"_s << true << false;
            row("moved to another folder") << size << u"move"_s << true << false;
            row("copied") << size << u"copy"_s << true << true;
            row("touched, same content") << size << u"touch"_s << true << true;
            row("first byte edited in place") << size << u"edit head"_s << false << true;
            row("last byte edited in place") << size << u"edit tail"_s << false << true;
            row("grown: no stored file has that size") << size << u"append"_s << false << false;
            row("replaced by another file") << size << u"replace"_s << false << true;
        }
    }

    void foundAgain()
    {
        QFETCH(qint64, size);
        QFETCH(QString, change);
        QFETCH(bool, isFound);
        QFETCH(bool, wasHashed);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const fs::path base = dir.path().toStdString();
        const fs::path database = base / "catalogue.sqlite";
        QVERIFY(Catalogue::prepare(database).isReady());
        fs::create_directories(base / "a" / "b");
        const fs::path original = base / "a" / "\xc4\xe3-clip.mov";
        const QByteArray content = randomBytes(size);
        writeAt(original, 0, content);

        Catalogue::Reader reader(database);
        {
            const std::optional<Catalogue::FileLookup> first = reader.lookup(original);
            // Nothing stored has its size: the content is new without reading it.
            QVERIFY(first && !first->known && !first->wasHashed && first->identity.hash.isEmpty());
            Catalogue::Writer writer(database);
            Catalogue::FileRecord record;
            record.identity = *Catalogue::identityOf(original);
            record.stamp = first->stamp;
            record.path = original;
            writer.saveFile(record);
            QVERIFY(writer.close(std::chrono::seconds(10)));
        }

        fs::path now = original;
        // Later modification times than the file system's clock granularity.
        const timespec later[2] = { { 0, UTIME_OMIT }, { 2'000'000'000, 123 } };
        if (change == u"rename") {
            now = base / "a" / "2024-05-01_海边.mov";
            fs::rename(original, now);
        } else if (change == u"move") {
            now = base / "a" / "b" / "clip.mov";
            fs::rename(original, now);
        } else if (change == u"copy") {
            now = base / "a" / "b" / "copy.mov";
            fs::copy_file(original, now);
        } else if (change == u"touch") {
            QCOMPARE(::utimensat(AT_FDCWD, original.c_str(), later, 0), 0);
        } else if (change == u"edit head" || change == u"edit tail") {
            const qint64 at = change == u"edit head" ? 0 : size - 1;
            writeAt(original, at, QByteArray(1, char(content.at(at) ^ 0x55)));
            QCOMPARE(::utimensat(AT_FDCWD, original.c_str(), later, 0), 0);
        } else if (change == u"append") {
            writeAt(original, size, "more");
        } else if (change == u"replace") {
            const fs::path other = base / "other";
            writeAt(other, 0, randomBytes(size));
            fs::rename(other, original);
        }

        const std::optional<Catalogue::FileLookup> found = reader.lookup(now);
        QVERIFY(found);
        QCOMPARE(found->known.has_value(), isFound);
        QCOMPARE(found->wasHashed, wasHashed);
        if (wasHashed || isFound)
            QVERIFY(found->identity == Catalogue::identityOf(now));
        if (isFound)
            QCOMPARE(found->known->path, original);
    }
};

QTEST_GUILESS_MAIN(TestFileIdentity)
#include "TestFileIdentity.moc"
