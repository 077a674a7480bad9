// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QTest>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

// File access by the bytes of the name, for the renamer's tests: QFile would turn a name that is not
// UTF-8 into another name.

inline void writeFile(const std::filesystem::path& path, const QByteArray& content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY2(fd >= 0, path.c_str());
    QCOMPARE(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
    ::close(fd);
}

// The first 4 KiB of a file, or "<missing>".
inline QByteArray readFile(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    QByteArray bytes(4096, Qt::Uninitialized);
    const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
    ::close(fd);
    bytes.resize(qMax<ssize_t>(n, 0));
    return bytes;
}
