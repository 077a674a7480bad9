// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// Confines the decoder worker before it reads its first request: no core dumps, a bounded address
// space, no new privileges, and a system call filter that allows only what decoding needs. Opening any
// file is refused: the files to decode arrive as descriptors. Refused calls fail with an error rather
// than killing the process, so a library that tries one fails the way it fails on an unreadable disk.
// Call it after the libraries have loaded what they load from disk.
namespace Sandbox {

// The address space limit in bytes. Decoding a picture of the largest size accepted (256 million
// pixels) reserves up to about 2.3 GB (WebP, HEIC); this leaves room for more processor cores, each
// with its decoding threads and allocator arena.
constexpr std::uint64_t AddressSpaceLimit = std::uint64_t(6) << 30;

// What is in force afterwards, as DecoderProtocol::Confinement bits.
std::uint32_t confine();

} // namespace Sandbox
