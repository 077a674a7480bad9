// SPDX-License-Identifier: GPL-3.0-or-later
#include "media/MediaLibraries.h"

#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>
#include <vips/vips.h>

extern "C" {
#include <libavutil/log.h>
}

#include <mutex>
#include <sys/stat.h>

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

} // namespace MediaLibraries
