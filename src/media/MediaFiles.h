// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exiv2/exiv2.hpp>

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <filesystem>
#include <memory>

// Opening media files for their metadata, shared by the readers of this module. Safe on any thread.
namespace MediaFiles {

using Clock = std::chrono::steady_clock;

// Also frees the context's reader of the file.
struct FormatCloser
{
    void operator()(AVFormatContext* context) const;
};
using FormatContext = std::unique_ptr<AVFormatContext, FormatCloser>;

// The container of a local regular file, its header read (which holds the metadata; no stream is
// probed, so no picture is decoded). Only the demuxers of the accepted containers are allowed: a
// playlist named like a clip could otherwise make FFmpeg open further files. Every read fails once
// *deadline has passed; the deadline must outlive the context. Null when the file cannot be opened.
FormatContext openContainer(const std::filesystem::path& file, const Clock::time_point* deadline);

struct PhotoMetadata
{
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
};

// A regular file's bytes, mapped read-only, for the libraries that read from memory. Empty when the file
// cannot be opened or is empty.
class Mapping
{
public:
    explicit Mapping(const std::filesystem::path& file);
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    const unsigned char* data() const
    {
        return static_cast<const unsigned char*>(m_data);
    }
    size_t size() const
    {
        return m_size;
    }

private:
    void* m_data = nullptr;
    size_t m_size = 0;
};

// The EXIF and XMP data of a photo; empty when it has none or cannot be read. Never throws.
PhotoMetadata readMetadata(const std::filesystem::path& photo);

} // namespace MediaFiles
