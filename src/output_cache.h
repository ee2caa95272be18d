// The output cache: the only path from the filter to the printer. Bytes are
// appended in whole pieces and written to standard output only when the next
// piece would fill the cache, or, once the job is finishing, at once.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr std::uint32_t kPrnCacheSize = 5120;

extern std::uint32_t g_prnBufSize; // bytes currently held in the cache
extern int gJobFinishFlag;         // 1 once JobFinish has switched to write-through
extern int gOutputFailed;          // 1 once a write to the printer stream failed

// resetOutputCache: empty and zero the cache and clear both flags.
void resetOutputCache();

// cachePrnCmd: append len bytes from src (src may be null to only apply the
// write-out rules).
void cachePrnCmd(const unsigned char* src, std::uint32_t len);

// cmdprn_to_out: write the held bytes to the printer stream, flush, empty.
void cmdprn_to_out();

// cacheRepeat: append count copies of the len-byte piece at src, with the
// same bytes and write-outs as count calls of cachePrnCmd.
void cacheRepeat(const unsigned char* src, std::uint32_t len, int count);

// cacheTailFor: where a piece of up to len bytes can be built in place, or
// null when appending such a piece could trigger a write-out first. The
// builder may also write up to kScanSlack bytes past the piece.
unsigned char* cacheTailFor(std::uint32_t len);

// cacheCommit: take len bytes built at cacheTailFor() as one appended piece.
void cacheCommit(std::uint32_t len);

// setPrinterStream: send the printer bytes to another stream (tests).
void setPrinterStream(std::FILE* stream);
