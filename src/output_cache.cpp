// Output cache. The sink gets whole pieces of fewer than 5120 bytes, each
// one call; a piece is never split.
#include "output_cache.h"

#include <cerrno>
#include <cstring>

namespace {

// writePiece: one call of the sink; its first failure stops all later output.
void writePiece(QuorvelJob& job, const unsigned char* src, std::uint32_t len)
{
    if (job.failedErrno != 0 || len == 0)
        return;
    const int err = job.sink(job.sinkContext, src, len);
    if (err != 0)
        job.failedErrno = err;
}

} // namespace

// cmdprn_to_out: write out and empty the cache.
void cmdprn_to_out(QuorvelJob& job)
{
    writePiece(job, job.prnBuffCache.data(), job.prnBufSize);
    job.prnBufSize = 0;
}

// cachePrnCmd: append one piece, writing out first if it would not fit.
void cachePrnCmd(QuorvelJob& job, const unsigned char* src, std::uint32_t len)
{
    if (job.prnBufSize + len >= kPrnCacheSize)
        cmdprn_to_out(job);
    if (src != nullptr) {
        std::memcpy(job.prnBuffCache.data() + job.prnBufSize, src, len);
        job.prnBufSize += len;
    }
    if (job.jobFinishFlag && job.prnBufSize)
        cmdprn_to_out(job);
}

// cacheTailFor: room for an in-place piece that cannot cause a write-out.
unsigned char* cacheTailFor(QuorvelJob& job, std::uint32_t len)
{
    if (len >= kPrnCacheSize || job.prnBufSize + len >= kPrnCacheSize)
        return nullptr;
    return job.prnBuffCache.data() + job.prnBufSize;
}

// cacheCommit: account for a piece built in place. Rows are only built
// while the job runs, so the cache is never write-through here.
void cacheCommit(QuorvelJob& job, std::uint32_t len)
{
    job.prnBufSize += len;
}
