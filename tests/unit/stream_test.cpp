// The printer stream library through its calls, against the protocol's
// literal bytes: whole jobs, the encoder's worked examples and a random
// round trip through the preview's decoder, and the cache's write-outs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include "line_encoder.h"
#include "printer_stream.h"
#include "protocol.h"
#include "stream_decoder.h"

using namespace proto;

namespace {

// Capture: a sink that keeps every write-out as one piece, and can fail.
struct Capture {
    std::vector<Bytes> pieces;
    int calls = 0, failAt = -1;
    Bytes all() const { return cat(pieces); }
};

int capture(void* ctx, const unsigned char* bytes, std::size_t len)
{
    auto* c = static_cast<Capture*>(ctx);
    if (c->calls++ == c->failAt)
        return EPIPE;
    c->pieces.emplace_back(bytes, bytes + len);
    return 0;
}

// page: width x height pixels on a sheet of 288 x 432 points (4 x 6 inches)
// at 203 dpi, 812 x 1218 dots, unless told otherwise.
QuorvelPage page(unsigned width, unsigned height, unsigned copies = 1, unsigned pt = 0, unsigned dpi = 203)
{
    QuorvelPage p;
    p.pageWidthPt = pt ? pt : 288, p.pageHeightPt = pt ? pt : 432, p.xDpi = p.yDpi = dpi;
    p.numCopies = copies, p.width = width, p.height = height, p.bytesPerLine = (width + 7) / 8;
    return p;
}

PrintJobAttr attr(int density = 2, int weight = 3, int cancelAttr = 0, int cancelEnd = 0, int duplex = 0,
                  int manual = 0)
{
    return {cancelAttr, cancelEnd, manual, duplex, density, weight};
}

// runJob: one job of the given pages (each with its rows, fewer than its
// height to leave rows out) through a capturing sink.
Capture runJob(const PrintJobAttr& a, const QuorvelPage& p, const std::vector<std::vector<Bytes>>& pages,
               bool blackIsSet = false, int failAt = -1)
{
    Capture c;
    c.failAt = failAt;
    QuorvelJob job;
    quorvelJobInit(job, capture, &c);
    if (!pages.empty())
        quorvelStartJob(job, p, a);
    for (const auto& rows : pages) {
        quorvelStartPage(job, p);
        for (const Bytes& row : rows)
            quorvelSendRow(job, row.data(), blackIsSet);
        quorvelEndPage(job);
    }
    quorvelEndJob(job);
    return c;
}

const Bytes kSettings = settings(812, 1218);

// What the filter's tests do not show: narrow, empty and overfull pages, the
// cancel switches one at a time, copy counts and paper sizes at their
// limits, and the duplex fields.
TEST(PrinterStream, Jobs)
{
    // "00 FF" behind the lead: FF FF FF 00 FF gives FE 00 00 FF 00 00.
    const Bytes data = lineCmd(hex("FE 00 00 FF 00 00"));
    const Bytes empty = cat({kBeginPage, kEndPage});
    const struct {
        PrintJobAttr attr;
        QuorvelPage page;
        std::vector<std::vector<Bytes>> pages;
        bool blackIsSet;
        Bytes expected;
    } cases[] = {
        {attr(), page(7, 1), {{hex("00")}}, false, cat({kSettings, kBeginPage, kBlank, kEndPage, kEndOfJob})},
        {attr(), page(16, 0), {{}}, false, cat({kSettings, empty, kEndOfJob})},
        {attr(), page(16, 1), {{hex("FF FF"), hex("00 FF")}}, false, // rows past the height are dropped
         cat({kSettings, kBeginPage, kBlank, kEndPage, kEndOfJob})},
        {attr(2, 3, 1, 0), page(16, 0), {{}}, false, cat({empty, kEndOfJob})},
        {attr(2, 3, 0, 2), page(16, 0), {{}}, false, cat({kSettings, empty})},
        {attr(2, 3, 1, 2), page(16, 0), {{}}, false, empty},
        {attr(), page(16, 0, 0), {{}}, false, cat({kSettings, empty, kEndOfJob})},
        {attr(), page(16, 0, 65536 + 2), {{}}, false, cat({settings(812, 1218, 2), empty, kEndOfJob})},
        {attr(), page(16, 0, 32768), {{}}, false, cat({kSettings, empty, kEndOfJob})},
        {attr(), page(16, 0, 32767, 595, 300), {{}}, false, cat({settings(2479, 2479, 32767), empty, kEndOfJob})},
        {attr(), page(16, 0, 1, 12000, 600), {{}}, false, cat({settings(0x86A0, 0x86A0), empty, kEndOfJob})},
        {attr(2, 3, 0, 0, 0, 3), page(16, 0), {{}}, false, cat({settings(812, 1218, 1, 2, 3, 0, 3), empty, kEndOfJob})},
        {attr(2, 3, 0, 0, 2, 3), page(16, 0), {{}}, false, cat({settings(812, 1218, 1, 2, 3, 2, 3), empty, kEndOfJob})},
        {attr(2, 3, 0, 0, 1, 3), page(16, 0), {{}}, false, cat({settings(812, 1218, 1, 2, 3, 1, 3), empty, kEndOfJob})},
        // A long-edge back side goes bottom row first, each row mirrored and
        // without lead bytes: FF 01 as 80 FF is 00 7F 00 00, 0F FF as FF F0
        // is 00 00 00 0F. White rows and rows never sent are held back.
        {attr(2, 3, 0, 0, 1), page(16, 4), {{hex("0F FF"), hex("FF FF"), hex("FF 01")}}, false,
         cat({settings(812, 1218, 1, 2, 3, 1, 0), kBeginPage, kBlank, lineCmd(hex("00 7F 00 00")), kBlank,
              lineCmd(hex("00 00 00 0F")), kEndPage, kEndOfJobDouble})},
        {attr(2, 3, 0, 0, 1), page(16, 2), {{hex("F0 00"), hex("00 FE")}}, true,
         cat({settings(812, 1218, 1, 2, 3, 1, 0), kBeginPage, lineCmd(hex("00 7F 00 00")),
              lineCmd(hex("00 00 00 0F")), kEndPage, kEndOfJobDouble})},
        {attr(2, 3, 0, 0, 2), page(16, 1), {{hex("00 FF")}}, false, // short edge: as they come
         cat({settings(812, 1218, 1, 2, 3, 2, 0), kBeginPage, data, kEndPage, kEndOfJobDouble})},
    };
    int n = 0;
    for (const auto& c : cases)
        EXPECT_EQ(runJob(c.attr, c.page, c.pages, c.blackIsSet).all(), c.expected) << "case " << n++;
}

// A white row is a blank line; a row with one black byte, wherever it falls
// against the scans' words and vectors, is a line.
TEST(PrinterStream, BlankOnlyWhenAllWhite)
{
    const Bytes blank = cat({kSettings, kBeginPage, kBlank, kEndPage, kEndOfJob});
    for (unsigned n : {1u, 8u, 31u, 32u, 40u, 64u, 255u, 256u, 300u, 797u}) {
        EXPECT_EQ(runJob(attr(), page(8 * n, 1), {{Bytes(n, 0xFF)}}).all(), blank) << n << " white bytes";
        for (unsigned at = 0; at < n; ++at) {
            Bytes row(n, 0xFF);
            row[at] = 0xFE;
            ASSERT_NE(runJob(attr(), page(8 * n, 1), {{row}}).all(), blank) << n << " bytes, black at " << at;
        }
    }
}

Bytes inverted(Bytes b)
{
    for (unsigned char& c : b)
        c = static_cast<unsigned char>(~c);
    return b;
}

// Each worked encoding as a plain line, as a row behind its lead bytes
// where it starts with three white bytes, and decoded back. The slack past
// the line is white, as a careless scan would like it.
TEST(LineEncoder, WorkedEncodings)
{
    int n = 0;
    for (const Encoding& e : workedEncodings()) {
        Bytes in = e.line, out(2 * e.line.size() + 8 + kScanSlack);
        in.resize(e.line.size() + kScanSlack, 0xFF);
        out.resize(encodeLine(in.data(), static_cast<std::uint32_t>(e.line.size()), out.data()));
        EXPECT_EQ(out, e.encoded) << "case " << n;
        if (e.line.size() >= 3 && e.line[0] == 0xFF && e.line[1] == 0xFF && e.line[2] == 0xFF) {
            out.resize(out.capacity());
            out.resize(encodeRow(in.data() + 3, static_cast<std::uint32_t>(e.line.size() - 3), out.data()));
            EXPECT_EQ(out, e.encoded) << "case " << n << " as a row";
        }
        Bytes decoded{0x55};
        EXPECT_TRUE(quorvel::decodeLine(e.encoded.data(), e.encoded.size(), decoded) &&
                    decoded == inverted(e.line)) << "case " << n++ << " decoded";
    }
}

// Random page-like rows through the encoder and back through the preview's
// decoder, with the scans this run uses: CTest runs the test once more
// with the portable ones.
TEST(LineEncoder, RandomRowsRoundTrip)
{
    const char* want = std::getenv("QUORVEL_SCANS");
    __builtin_cpu_init();
    EXPECT_STREQ(quorvelScanName(), want ? want : __builtin_cpu_supports("avx2") ? "avx2" : "portable");
    std::mt19937 rng(12345);
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 4000; ++round) {
        const unsigned width = round < 800 ? round % 798 : pick(798), kind = pick(5);
        Bytes row(3, 0xFF); // the lead bytes every row is sent behind
        while (row.size() < width + 3) {
            const unsigned char b = static_cast<unsigned char>(kind == 0 ? 0xFF : kind == 1 ? 0x00 : rng());
            const unsigned run = kind == 2 ? 1 : kind == 3 ? 1 + pick(300) : 1 + pick(4);
            row.insert(row.end(), std::min<std::size_t>(run, width + 3 - row.size()), b);
        }
        Bytes pixels(row.begin() + 3, row.end()), out(2 * (width + 3) + kScanSlack), decoded;
        pixels.resize(width + kScanSlack, static_cast<unsigned char>(rng()));
        out.resize(encodeRow(pixels.data(), width, out.data()));
        ASSERT_TRUE(quorvel::decodeLine(out.data(), out.size(), decoded)) << "round " << round;
        ASSERT_EQ(decoded, inverted(row)) << "round " << round << ", kind " << kind;
    }
}

TEST(OutputCache, WriteOuts)
{
    // CancelAttr: the page starts the stream. 9 + 5 x 1022 = 5119 bytes are
    // held; the next blank line would make 5124, so those go out first.
    Capture c = runJob(attr(2, 3, 1, 2), page(8, 1100), {{}});
    ASSERT_EQ(c.pieces.size(), 2u);
    EXPECT_EQ(c.pieces[0].size(), 5119u);
    EXPECT_EQ(c.pieces[1].size(), 5u * 78 + 3);

    // A line command whose header still fits but whose body does not: the
    // write-out falls between them. 9 + 5 x 1020 = 5109, + 6 = 5115, and the
    // 7-byte body would make 5122.
    std::vector<Bytes> rows(1020, hex("FF FF FF"));
    rows.push_back(hex("00 01 02"));
    c = runJob(attr(2, 3, 1, 2), page(24, 1021), {rows});
    ASSERT_EQ(c.pieces.size(), 2u);
    EXPECT_EQ(Bytes(c.pieces[0].end() - 6, c.pieces[0].end()), hex("1B 2A 41 02 07 00"));
    EXPECT_EQ(c.pieces[1], cat({hex("FE 00 01 FF FE 00 FD"), kEndPage}));

    // However rows fall, no write-out reaches the cache's size, and one
    // comes only when the next piece might not fit: every write-out but the
    // last is short of full by less than the longest line command.
    std::mt19937 rng(7);
    for (unsigned width : {200u, 2400u, 6376u}) {
        std::vector<Bytes> noisy(300, Bytes(width / 8, 0xFF));
        for (Bytes& row : noisy)
            for (auto& b : row)
                b = rng() % 3 ? static_cast<unsigned char>(rng()) : 0xFF;
        c = runJob(attr(), page(width, 300), {noisy});
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            ASSERT_LT(c.pieces[i].size(), kPrnCacheSize) << width;
            if (i + 1 < c.pieces.size()) {
                ASSERT_GT(c.pieces[i].size() + 6 + 2 * (797 + 3), kPrnCacheSize) << width << " piece " << i;
            }
        }
        EXPECT_EQ(Bytes(c.pieces.back().end() - 8, c.pieces.back().end()), cat({kEndPage, kEndOfJob}));
    }
    // A failed write-out is the last: the sink is never called again.
    c = runJob(attr(), page(8, 3000), {std::vector<Bytes>(3000, hex("FF"))}, false, 1);
    EXPECT_EQ(c.calls, 2);
}

}  // namespace
