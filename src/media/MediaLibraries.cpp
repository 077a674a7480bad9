// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/MediaLibraries.h"

#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>
#include <vips/vips.h>

extern "C" {
#include <libavutil/log.h>
}

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace MediaLibraries {

namespace {

// The XMP toolkit registers each namespace it meets in one table for the whole process; threads reading
// metadata at the same time take turns there.
void lockXmp(void* mutex, bool lock)
{
    if (lock)
        static_cast<std::mutex*>(mutex)->lock();
    else
        static_cast<std::mutex*>(mutex)->unlock();
}

int openRegular(const std::filesystem::path& file)
{
    // Non-blocking, so that opening a FIFO that slipped past a check cannot hang; fstat on the open
    // descriptor then decides, without a window between check and use.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st
    { };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::atomic<Opener> s_opener { openRegular };

} // namespace

void initialize()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // exiv2 asks for this before any thread touches XMP.
        static std::mutex xmpNamespaces;
        Exiv2::XmpParser::initialize(lockXmp, &xmpNamespaces);
        // HEIC, AVIF and CR3 keep their EXIF in an ISO base media file; exiv2 reads it only when asked to.
        Exiv2::enableBMFF(true);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        av_log_set_level(AV_LOG_QUIET);
        // Reference counted; the process keeps libheif for its whole life.
        heif_init(nullptr);
        vips_init("velmora");
        // Every file is decoded once; cached operations would only hold on to memory (and to pixels
        // of files that may have changed since).
        vips_cache_set_max(0);
        // libvips reports damaged input as GLib warnings on standard error; callers see an empty result.
        g_log_set_handler(
            "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

bool isRegularFile(const std::filesystem::path& path)
{
    struct stat st
    { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void preload()
{
    initialize();
    // The local time zone's rules, which glibc reads once and Qt's local times use.
    ::tzset();
    // ImageMagick (BMP) reads its policy and its configuration when it first decodes; a picture of one
    // pixel brings that forward, and sets up every other loader on the way.
    static const unsigned char bitmap[58]
        = { 'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,
              0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x40, 0x60, 0 };
    if (VipsImage* image = vips_image_new_from_buffer(bitmap, sizeof bitmap, "", nullptr)) {
        double mean = 0;
        vips_avg(image, &mean, nullptr);
        g_object_unref(image);
    }
    vips_error_clear();
}

int openForReading(const std::filesystem::path& path)
{
    return s_opener.load()(path);
}

void setOpener(Opener opener)
{
    s_opener = opener;
}

} // namespace MediaLibraries
