// Output cache write-out rules, watched through a temporary stream.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "line_encoder.h"
#include "output_cache.h"

namespace {

class OutputCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        stream_ = std::tmpfile();
        setPrinterStream(stream_);
        resetOutputCache();
    }
    void TearDown() override
    {
        setPrinterStream(stdout);
        std::fclose(stream_);
    }
    // written: every byte that has reached the stream so far.
    std::vector<unsigned char> written()
    {
        std::fflush(stream_);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::ftell(stream_)));
        std::rewind(stream_);
        const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), stream_);
        bytes.resize(got);
        std::fseek(stream_, 0, SEEK_END);
        return bytes;
    }
    void append(std::size_t n, unsigned char value)
    {
        std::vector<unsigned char> piece(n, value);
        cachePrnCmd(piece.data(), static_cast<std::uint32_t>(n));
    }
    std::FILE* stream_ = nullptr;
};

TEST_F(OutputCache, HoldsPiecesUntilTheNextWouldReachTheSize)
{
    append(5119, 1);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(g_prnBufSize, 5119u);

    resetOutputCache();
    append(100, 1);
    append(5019, 2);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(g_prnBufSize, 5119u);
}

TEST_F(OutputCache, WritesHeldBytesBeforeAPieceThatWouldFill)
{
    append(100, 1);
    append(5020, 2);
    EXPECT_EQ(written(), std::vector<unsigned char>(100, 1));
    EXPECT_EQ(g_prnBufSize, 5020u);

    // A piece of exactly the cache size goes in after an empty write-out.
    resetOutputCache();
    std::vector<unsigned char> before = written();
    append(5120, 3);
    EXPECT_EQ(written().size(), before.size());
    EXPECT_EQ(g_prnBufSize, 5120u);
}

TEST_F(OutputCache, PieceLargerThanTheCacheFollowsWhatWasHeld)
{
    append(100, 1);
    append(6000, 2);
    std::vector<unsigned char> expected(100, 1);
    expected.insert(expected.end(), 6000, 2);
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(g_prnBufSize, 0u);
    append(7, 3);
    EXPECT_EQ(g_prnBufSize, 7u);
}

TEST_F(OutputCache, FinishFlagMakesItWriteThrough)
{
    append(7, 1);
    cachePrnCmd(nullptr, 0);
    EXPECT_TRUE(written().empty());
    gJobFinishFlag = 1;
    cachePrnCmd(nullptr, 0);
    EXPECT_EQ(written(), std::vector<unsigned char>(7, 1));
    EXPECT_EQ(g_prnBufSize, 0u);
    cachePrnCmd(nullptr, 0);
    EXPECT_EQ(written().size(), 7u);
    append(5, 2);
    EXPECT_EQ(written().size(), 12u);
    EXPECT_EQ(g_prnBufSize, 0u);
}

TEST_F(OutputCache, InPlacePiecesFollowTheSameRule)
{
    append(5000, 1);
    EXPECT_NE(cacheTailFor(119), nullptr);
    EXPECT_EQ(cacheTailFor(120), nullptr); // would bring it to 5120: must write out first
    unsigned char* tail = cacheTailFor(10);
    ASSERT_NE(tail, nullptr);
    std::fill(tail, tail + 10, 9);
    cacheCommit(10);
    EXPECT_EQ(g_prnBufSize, 5010u);
    gJobFinishFlag = 1;
    cachePrnCmd(nullptr, 0);
    std::vector<unsigned char> expected(5000, 1);
    expected.insert(expected.end(), 10, 9);
    EXPECT_EQ(written(), expected);
}

TEST_F(OutputCache, WriteFailureIsReportedOnceAndStopsOutput)
{
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setPrinterStream(full);
    testing::internal::CaptureStderr();
    append(5119, 1);
    append(10, 2);
    append(5119, 3);
    append(10, 4);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(gOutputFailed, 1);
    EXPECT_EQ(err, "ERROR: Unable to write to the printer stream: No space left on device\n");
    setPrinterStream(stream_);
    std::fclose(full);
}

}  // namespace

namespace {

// The line data command goes out as two pieces, header then body, whether
// it is built in place or through the encode buffer: check the write-outs
// around the cache's edge against the two-piece rule.
TEST_F(OutputCache, LineCommandsWriteOutAsTwoPieces)
{
    std::vector<unsigned char> encodeBuffer(2 * 800 + 2);
    szCompressBuf = encodeBuffer.data();
    gCompressBufSize = static_cast<std::uint32_t>(encodeBuffer.size());
    std::vector<unsigned char> line(3, 0xFF);
    for (int i = 0; i < 97; ++i)
        line.push_back(static_cast<unsigned char>(i * 37)); // encodes to 101 bytes
    std::vector<unsigned char> body(2 * line.size());
    const std::uint32_t len = encodeLine(line.data(), static_cast<std::uint32_t>(line.size()), body.data());
    ASSERT_EQ(len, 101u);

    for (std::uint32_t held = 4800; held < kPrnCacheSize; ++held) {
        resetOutputCache();
        std::fseek(stream_, 0, SEEK_SET);
        ASSERT_EQ(ftruncate(fileno(stream_), 0), 0);
        append(held, 1);
        compressImageData(line.data(), static_cast<std::uint32_t>(line.size()));

        std::size_t out = 0, size = held;
        for (std::size_t piece : {std::size_t{6}, std::size_t{len}}) {
            if (size + piece >= kPrnCacheSize) {
                out += size;
                size = 0;
            }
            size += piece;
        }
        EXPECT_EQ(written().size(), out) << held;
        EXPECT_EQ(g_prnBufSize, size) << held;
    }
    // The bytes themselves, across a write-out between header and body.
    gJobFinishFlag = 1;
    cachePrnCmd(nullptr, 0);
    std::vector<unsigned char> expected(kPrnCacheSize - 1, 1);
    for (unsigned char b : {0x1B, 0x2A, 0x41, 0x02, 101, 0})
        expected.push_back(b);
    expected.insert(expected.end(), body.begin(), body.begin() + len);
    EXPECT_EQ(written(), expected);
    szCompressBuf = nullptr;
    gCompressBufSize = 0;
}

// Repeated pieces copied in one go give the bytes and write-outs that the
// same pieces appended one by one give, from any fill level.
TEST_F(OutputCache, RepeatedPiecesMatchSingleAppends)
{
    const unsigned char piece[5] = {0x1B, 0x2A, 0x42, 0x01, 0x00};
    for (std::size_t fill : {0u, 1u, 4000u, 5114u, 5115u, 5119u}) {
        for (int count : {1, 3, 1024, 2500}) {
            resetOutputCache();
            append(fill, 7);
            for (int i = 0; i < count; ++i)
                cachePrnCmd(piece, sizeof piece);
            const std::vector<unsigned char> oneByOne = written();
            const std::uint32_t heldOneByOne = g_prnBufSize;

            std::rewind(stream_);
            ASSERT_EQ(ftruncate(fileno(stream_), 0), 0);
            resetOutputCache();
            append(fill, 7);
            cacheRepeat(piece, sizeof piece, count);
            EXPECT_EQ(written(), oneByOne) << fill << " + " << count;
            EXPECT_EQ(g_prnBufSize, heldOneByOne) << fill << " + " << count;

            std::rewind(stream_);
            ASSERT_EQ(ftruncate(fileno(stream_), 0), 0);
        }
    }
}

}  // namespace
