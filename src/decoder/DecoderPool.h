// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "decoder/DecodeJobs.h"
#include "decoder/Protocol.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Decodes media files in velmora-decoder worker processes, so that a decoder library that crashes,
// hangs or exhausts its memory costs one file and never the caller. A few warm workers, one request
// at a time each; a worker that dies or runs past its deadline is killed and replaced on demand.
// Thread-safe and synchronous: call it from worker threads. shared() serves the whole process.
class DecoderPool
{
public:
    struct Options
    {
        // Empty: $VELMORA_DECODER, else beside this program, else where it is installed, else where
        // the build put it.
        std::filesystem::path executable;
        std::chrono::milliseconds decodeDeadline { 60'000 };
        std::chrono::milliseconds dateDeadline { 15'000 }; // for each file
        int maxWorkers = 0; // 0: by the number of processors, 2 to 4
        // Decode in the calling thread with these instead of in workers (measurements and tests). The
        // pool never links the decoder libraries itself: without a worker and without these, every
        // file fails, with a message once on standard error.
        std::function<Decoded(const DecodeRequest&)> decodeHere;
        std::function<std::optional<FileDates::CaptureDate>(const DatedFile&)> dateHere;
    };

    DecoderPool();
    explicit DecoderPool(Options options);
    // No call may be in flight any more.
    ~DecoderPool();
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;

    // The process's pool. When the process exits, its workers are killed and calls still in flight
    // return at once.
    static DecoderPool& shared();

    // Empty frames when nothing decodes, the worker died or its deadline passed.
    Decoded decode(const DecodeRequest& request);

    // The capture dates of many files, in their order, shared among the workers. A file that kills its
    // worker goes without a date, and only that file: the files after it go to a fresh worker.
    std::vector<std::optional<FileDates::CaptureDate>> captureDates(const std::vector<DatedFile>& files);

    // What a worker's sandbox let it do, for tests: create target, read each of readTargets, and use
    // the descriptor of handed. Nothing without workers.
    std::optional<DecoderProtocol::SandboxReport> probeSandbox(const std::filesystem::path& target,
        const std::vector<std::filesystem::path>& readTargets,
        const std::filesystem::path& handed);

    // False when decoding happens in this process.
    bool isIsolated() const;

    // Kills every worker. Calls in flight return at once without a result, and so do later calls.
    void shutdown();

private:
    struct Worker;
    struct State;
    std::unique_ptr<State> d;
};
