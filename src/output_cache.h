// The output cache: the only path from a job to its sink. Bytes are appended
// in whole pieces and written out only when the next piece would fill the
// cache, or, once the job is ending, at once. A piece is never split.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "printer_stream.h"

// cachePrnCmd: append len <= kPrnCacheSize bytes from src (src may be null to
// only apply the write-out rules).
void cachePrnCmd(QuorvelJob& job, const unsigned char* src, std::uint32_t len);

// cmdprn_to_out: write the held bytes to the sink and empty the cache.
void cmdprn_to_out(QuorvelJob& job);

// cacheRepeat: append count copies of piece, with the same bytes and
// write-outs as count calls of cachePrnCmd, but filling the cache up to each
// write-out in one go. Only used while the job runs, never after its end made
// the cache write-through.
template <std::size_t N>
void cacheRepeat(QuorvelJob& job, const std::array<unsigned char, N>& piece, int count)
{
    static_assert(N > 0 && N < kPrnCacheSize, "a piece that fits the cache");
    while (count > 0) {
        // A piece goes in without a write-out while it leaves the cache
        // short of full.
        if (job.prnBufSize + N >= kPrnCacheSize)
            cmdprn_to_out(job);
        const std::uint32_t room = (kPrnCacheSize - 1 - job.prnBufSize) / N;
        const std::uint32_t take = room < static_cast<std::uint32_t>(count) ? room : static_cast<std::uint32_t>(count);
        unsigned char* at = job.prnBuffCache.data() + job.prnBufSize;
        for (std::uint32_t i = 0; i < take; ++i, at += N)
            std::memcpy(at, piece.data(), N);
        job.prnBufSize += take * static_cast<std::uint32_t>(N);
        count -= static_cast<int>(take);
    }
}

// cacheTailFor: where a piece of up to len bytes can be built in place, or
// null when appending such a piece could trigger a write-out first. The
// builder may also write up to kScanSlack bytes past the piece.
unsigned char* cacheTailFor(QuorvelJob& job, std::uint32_t len);

// cacheCommit: take len bytes built at cacheTailFor() as one appended piece
// (before the job end).
void cacheCommit(QuorvelJob& job, std::uint32_t len);
