// The printer stream library through its calls, against the protocol's
// literal bytes: settings block, page brackets, held-back blank rows, line
// data, the CmdCancel switches, two-sided pages, the cache's write-outs and
// a failing sink.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <thread>

#include "line_encoder.h"
#include "printer_commands.h"
#include "printer_stream.h"
#include "protocol.h"
#include "row_scan.h"

using proto::cat;
using proto::hex;
using qtest::Bytes;

namespace {

// Capture: a sink that keeps every write-out as one piece, and can fail.
struct Capture {
    std::vector<Bytes> pieces;
    int calls = 0;
    int failAt = -1; // the call that fails
    Bytes all() const
    {
        Bytes b;
        for (const Bytes& p : pieces)
            b.insert(b.end(), p.begin(), p.end());
        return b;
    }
};

int capture(void* ctx, const unsigned char* bytes, std::size_t len)
{
    auto* c = static_cast<Capture*>(ctx);
    if (c->calls++ == c->failAt)
        return EPIPE;
    c->pieces.emplace_back(bytes, bytes + len);
    return 0;
}

// page: 4 x 6 inches at 203 dpi, width x height pixels, white-is-set.
QuorvelPage page(unsigned width, unsigned height, unsigned copies = 1)
{
    QuorvelPage p;
    p.pageWidthPt = 288, p.pageHeightPt = 432, p.xDpi = p.yDpi = 203;
    p.numCopies = copies, p.width = width, p.height = height;
    p.bytesPerLine = (width + 7) / 8;
    return p;
}

PrintJobAttr attr(int density = 2, int weight = 3, int cancelAttr = 0, int cancelEnd = 0, int duplex = 0,
                  int manual = 0)
{
    PrintJobAttr a;
    a.m_printDensity = density, a.m_paperWeight = weight, a.m_cancelAttr = cancelAttr;
    a.m_cancelJobFinish = cancelEnd, a.m_duplex = duplex, a.m_manualDuplex = manual;
    return a;
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

// slice: bytes [from, to) of b; a negative to counts from the end.
Bytes slice(const Bytes& b, long from, long to)
{
    return Bytes(b.begin() + from, to < 0 ? b.end() + to + 1 : b.begin() + to);
}

const Bytes kBlank = proto::kBlank;
const Bytes kBegin = proto::kBeginPage;
const Bytes kEnd = proto::kEndPage;
const Bytes kSettings = proto::kDefaultSettings4x6;

TEST(PrinterStream, Jobs)
{
    // "00 FF" behind the lead: FF FF FF 00 FF gives FE 00 00 FF 00 00.
    const Bytes dataLine = proto::lineCmd(hex("FE 00 00 FF 00 00"));
    const struct {
        const char* name;
        PrintJobAttr attr;
        QuorvelPage page;
        std::vector<std::vector<Bytes>> pages;
        bool blackIsSet;
        Bytes expected;
    } cases[] = {
        {"no page", attr(), page(16, 2), {}, false, proto::kEndOfJob},
        {"white page", attr(), page(16, 2), {{hex("FF FF"), hex("FF FF")}}, false,
         cat({kSettings, kBegin, kBlank, kBlank, kEnd, proto::kEndOfJob})},
        {"blank rows held back, rows never sent are white", attr(), page(16, 5),
         {{hex("FF FF"), hex("FF FF"), hex("00 FF"), hex("FF FF")}}, false,
         cat({kSettings, kBegin, kBlank, kBlank, dataLine, kBlank, kBlank, kEnd, proto::kEndOfJob})},
        {"black-is-set rows", attr(), page(16, 2), {{hex("00 00"), hex("FF 00")}}, true,
         cat({kSettings, kBegin, kBlank, dataLine, kEnd, proto::kEndOfJob})},
        {"only width / 8 bytes count", attr(), page(12, 2), {{hex("F0 FF"), hex("FF 00")}}, false,
         cat({kSettings, kBegin, proto::lineCmd(hex("FE 00 00 0F")), kBlank, kEnd, proto::kEndOfJob})},
        {"narrower than a byte: all blank", attr(), page(7, 2), {{hex("00"), hex("00")}}, false,
         cat({kSettings, kBegin, kBlank, kBlank, kEnd, proto::kEndOfJob})},
        {"zero rows", attr(), page(16, 0), {{}}, false, cat({kSettings, kBegin, kEnd, proto::kEndOfJob})},
        {"rows past the height are dropped", attr(), page(16, 1), {{hex("FF FF"), hex("00 FF")}}, false,
         cat({kSettings, kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"two pages, one settings block", attr(), page(16, 1), {{hex("FF FF")}, {hex("00 FF")}}, false,
         cat({kSettings, kBegin, kBlank, kEnd, kBegin, dataLine, kEnd, proto::kEndOfJob})},
        {"levels", attr(4, 0), page(16, 1), {{hex("FF FF")}}, false,
         cat({proto::settings(812, 1218, 1, 4, 0), kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"CancelAttr: no settings block", attr(2, 3, 1, 0), page(16, 1), {{hex("FF FF")}}, false,
         cat({kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"CancelJobFinish: no end of job", attr(2, 3, 0, 2), page(16, 1), {{hex("FF FF")}}, false,
         cat({kSettings, kBegin, kBlank, kEnd})},
        {"both switches", attr(2, 3, 1, 2), page(16, 1), {{hex("FF FF")}}, false, cat({kBegin, kBlank, kEnd})},
        {"copies", attr(), page(16, 1, 3), {{}}, false,
         cat({proto::settings(812, 1218, 3), kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"no copies is one", attr(), page(16, 1, 0), {{}}, false,
         cat({kSettings, kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"copies wrap at 16 bits", attr(), page(16, 1, 65536 + 2), {{}}, false,
         cat({proto::settings(812, 1218, 2), kBegin, kBlank, kEnd, proto::kEndOfJob})},
        {"a negative 16-bit count is one", attr(), page(16, 1, 32768), {{}}, false,
         cat({kSettings, kBegin, kBlank, kEnd, proto::kEndOfJob})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(runJob(c.attr, c.page, c.pages, c.blackIsSet).all(), c.expected) << c.name;
}

TEST(PrinterStream, PaperSizeInDots)
{
    // 595 x 842 points at 300 dpi: 2479 x 3508 dots; A4 at 600 dpi.
    QuorvelPage p = page(16, 1);
    p.pageWidthPt = 595, p.pageHeightPt = 842, p.xDpi = p.yDpi = 300;
    Capture c = runJob(attr(), p, {{}});
    EXPECT_EQ(slice(c.all(), 33, 41), hex("1B 78 AF 09 1B 79 B4 0D"));
    p.xDpi = p.yDpi = 600;
    c = runJob(attr(), p, {{}});
    EXPECT_EQ(slice(c.all(), 33, 41), hex("1B 78 5E 13 1B 79 68 1B"));
    // 100000 dots are sent modulo 65536.
    p.pageWidthPt = p.pageHeightPt = 12000;
    c = runJob(attr(), p, {{}});
    EXPECT_EQ(slice(c.all(), 33, 41), hex("1B 78 A0 86 1B 79 A0 86"));
}

TEST(PrinterStream, Crc16)
{
    const Bytes copies = hex("1B 26 6C 01 00");
    EXPECT_EQ(cyg_crc16(copies.data(), 5), 0x2549);
    const std::string check = "123456789"; // the standard XMODEM check value
    EXPECT_EQ(cyg_crc16(reinterpret_cast<const unsigned char*>(check.data()), 9), 0x31C3);
    EXPECT_EQ(cyg_crc16(copies.data(), 0), 0);
    EXPECT_EQ(cyg_crc16(copies.data(), -3), 0);
}

TEST(PrinterStream, DuplexSettingsAndEndOfJob)
{
    const struct {
        int duplex, manual;
        Bytes rows, end;
    } cases[] = {
        {0, 0, hex("1B 26 41 09 00 00 1C 16 04 42 00 1C 16 05 46 00"), hex("1C 16 04 45 00")},
        {0, 3, hex("1B 26 41 09 00 00 1C 16 04 42 00 1C 16 05 46 01"), hex("1C 16 04 45 00")},
        {1, 0, hex("1B 26 41 09 00 01 1C 16 04 42 01 1C 16 05 46 00"), hex("1C 16 04 45 01")},
        {1, 3, hex("1B 26 41 09 00 01 1C 16 04 42 01 1C 16 05 46 01"), hex("1C 16 04 45 00")},
        {2, 0, hex("1B 26 41 09 00 02 1C 16 04 42 01 1C 16 05 46 00"), hex("1C 16 04 45 01")},
        {2, 3, hex("1B 26 41 09 00 02 1C 16 04 42 01 1C 16 05 46 01"), hex("1C 16 04 45 00")},
    };
    for (const auto& c : cases) {
        const Bytes out = runJob(attr(2, 3, 0, 0, c.duplex, c.manual), page(16, 0), {{}}).all();
        ASSERT_EQ(out.size(), 71u + 9 + 3 + 5);
        EXPECT_EQ(Bytes(out.begin() + 55, out.begin() + 71), c.rows) << c.duplex << " " << c.manual;
        EXPECT_EQ(Bytes(out.end() - 5, out.end()), c.end) << c.duplex << " " << c.manual;
    }
}

TEST(PrinterStream, LongEdgeBackSideIsSentBottomUpAndMirrored)
{
    // Rows 0F FF and FF 01 arrive in that order. Bottom-up, FF 01 goes
    // first: mirrored 80 FF, encoded without lead bytes 00 7F 00 00; then
    // 0F FF mirrored FF F0: 00 00 00 0F.
    const Bytes expected = cat({proto::settings(812, 1218, 1, 2, 3, 1, 0), kBegin,
                                proto::lineCmd(hex("00 7F 00 00")), proto::lineCmd(hex("00 00 00 0F")), kEnd,
                                proto::kEndOfJobDouble});
    EXPECT_EQ(runJob(attr(2, 3, 0, 0, 1), page(16, 2), {{hex("0F FF"), hex("FF 01")}}).all(), expected);
    // Black-is-set rows give the same, and so does a page with a white row
    // and a row it never got: both blank, held back as on one-sided pages.
    EXPECT_EQ(runJob(attr(2, 3, 0, 0, 1), page(16, 2), {{hex("F0 00"), hex("00 FE")}}, true).all(), expected);
    EXPECT_EQ(runJob(attr(2, 3, 0, 0, 1), page(16, 3), {{hex("FF FF"), hex("0F FF")}}).all(),
              cat({proto::settings(812, 1218, 1, 2, 3, 1, 0), kBegin, kBlank, proto::lineCmd(hex("00 00 00 0F")),
                   kBlank, kEnd, proto::kEndOfJobDouble}));
    // Short-edge pages are sent as they come.
    EXPECT_EQ(runJob(attr(2, 3, 0, 0, 2), page(16, 1), {{hex("00 FF")}}).all(),
              cat({proto::settings(812, 1218, 1, 2, 3, 2, 0), kBegin, proto::lineCmd(hex("FE 00 00 FF 00 00")),
                   kEnd, proto::kEndOfJobDouble}));
}

// Each worked encoding as a plain line, and as a row behind its lead bytes
// where it starts with three white bytes.
TEST(LineEncoder, WorkedEncodings)
{
    for (const proto::Encoding& e : proto::workedEncodings()) {
        Bytes in(e.line.size() + kScanSlack, 0x5A);
        std::copy(e.line.begin(), e.line.end(), in.begin());
        Bytes out(2 * e.line.size() + 2 * kRowLead + kScanSlack);
        out.resize(encodeLine(in.data(), static_cast<std::uint32_t>(e.line.size()), out.data()));
        EXPECT_EQ(out, e.encoded) << e.name;
        if (e.line.size() >= 3 && e.line[0] == 0xFF && e.line[1] == 0xFF && e.line[2] == 0xFF) {
            Bytes row(out.capacity());
            row.resize(encodeRow(in.data() + 3, static_cast<std::uint32_t>(e.line.size() - 3), row.data()));
            EXPECT_EQ(row, e.encoded) << e.name << " as a row";
        }
    }
}

TEST(LineEncoder, MatchesTheReferenceOnPageLikeRows)
{
    // The scans this run uses: CTest runs this test once more with the
    // portable scans, and both must give the reference's bytes.
    const char* want = std::getenv("QUORVEL_SCANS");
    __builtin_cpu_init();
    EXPECT_STREQ(quorvelScanName(), want != nullptr ? want : __builtin_cpu_supports("avx2") ? "avx2" : "portable");

    std::mt19937 rng(12345);
    auto pick = [&rng](unsigned n) { return static_cast<unsigned>(rng() % n); };
    for (int round = 0; round < 4000; ++round) {
        const unsigned width = round < 800 ? round % 798 : pick(798);
        const unsigned kind = pick(5);
        Bytes row;
        while (row.size() < width) {
            const unsigned char b = static_cast<unsigned char>(kind == 0 ? 0xFF : kind == 1 ? 0x00 : rng());
            const unsigned run = kind == 2 ? 1 : kind == 3 ? 1 + pick(300) : 1 + pick(4);
            row.insert(row.end(), std::min<std::size_t>(run, width - row.size()), b);
        }
        Bytes line = cat({proto::repeat(3, 0xFF), row});
        Bytes padded = row;
        padded.resize(row.size() + kScanSlack, static_cast<unsigned char>(rng()));
        Bytes out(2 * (row.size() + 3) + kScanSlack);
        out.resize(encodeRow(padded.data(), width, out.data()));
        ASSERT_EQ(out, qtest::referenceEncode(line)) << "round " << round << ", width " << width;
    }
}

TEST(OutputCache, WriteOutsComeBeforeAPieceThatWouldFillIt)
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
    EXPECT_EQ(c.pieces[0].size(), 5115u);
    EXPECT_EQ(Bytes(c.pieces[0].end() - 6, c.pieces[0].end()), hex("1B 2A 41 02 07 00"));
    EXPECT_EQ(c.pieces[1], cat({hex("FE 00 01 FF FE 00 FD"), kEnd}));

    // However rows fall, no write-out reaches the cache's size, and at the
    // end of the job every byte is out.
    std::mt19937 rng(7);
    for (unsigned width : {8u, 200u, 2400u, 6376u}) {
        std::vector<Bytes> noisy;
        for (int r = 0; r < 300; ++r) {
            Bytes row(width / 8, 0xFF);
            for (auto& b : row)
                b = rng() % 3 ? static_cast<unsigned char>(rng()) : 0xFF;
            noisy.push_back(rng() % 4 ? row : Bytes(width / 8, 0xFF));
        }
        c = runJob(attr(), page(width, 300), {noisy});
        // And only when the next piece would not fit: every write-out but
        // the last is short of full by less than the longest command.
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            ASSERT_LT(c.pieces[i].size(), kPrnCacheSize) << width;
            if (i + 1 < c.pieces.size()) {
                ASSERT_GT(c.pieces[i].size() + 6 + 2 * (797 + 3), kPrnCacheSize) << width << " piece " << i;
            }
        }
        const Bytes all = c.all();
        EXPECT_EQ(slice(all, static_cast<long>(all.size()) - 8, -1), cat({kEnd, proto::kEndOfJob})) << width;
    }
}

TEST(OutputCache, FailedSinkStopsAllOutput)
{
    // The second write-out fails: its errno comes back, and the sink is
    // never called again.
    std::vector<Bytes> rows(3000, hex("FF"));
    Capture c = runJob(attr(), page(8, 3000), {rows, rows}, false, 1);
    EXPECT_EQ(c.calls, 2);
    ASSERT_EQ(c.pieces.size(), 1u);

    Capture sink;
    sink.failAt = 0;
    QuorvelJob job;
    quorvelJobInit(job, capture, &sink);
    EXPECT_EQ(quorvelStartJob(job, page(8, 1), attr()), 0); // held, not yet written
    EXPECT_EQ(quorvelStartPage(job, page(8, 1)), 0);
    EXPECT_EQ(quorvelEndJob(job), EPIPE);
    EXPECT_EQ(quorvelEndJob(job), EPIPE);
    EXPECT_EQ(sink.calls, 1);
}

TEST(PrinterStream, PagesThePrinterCannotTake)
{
    QuorvelPage p = page(16, 1);
    EXPECT_EQ(quorvelCheckPage(p), kPagePrintable);
    const struct {
        unsigned width, height, bpl, bpp, space;
        QuorvelPageCheck check;
    } cases[] = {
        {6376, 10000, 797, 1, 0, kPagePrintable}, {6376, 10001, 797, 1, 0, kPageTooLarge},
        {6376, 10, 798, 1, 0, kPageTooLarge},     {6384, 10, 797, 1, 0, kPageTooLarge},
        {16, 1, 2, 8, 0, kPageBitsPerPixel},      {16, 1, 2, 1, 1, kPageColorSpace},
        {16, 1, 2, 1, 3, kPagePrintable},         {16, 1, 2, 1, 18, kPagePrintable},
    };
    for (const auto& c : cases) {
        p.width = c.width, p.height = c.height, p.bytesPerLine = c.bpl, p.bitsPerPixel = c.bpp;
        p.colorSpace = c.space;
        EXPECT_EQ(quorvelCheckPage(p), c.check) << c.width << " " << c.height << " " << c.bpl;
    }
    // A refused page is never begun.
    Capture c;
    QuorvelJob job;
    quorvelJobInit(job, capture, &c);
    p.bitsPerPixel = 8;
    EXPECT_EQ(quorvelStartPage(job, p), EINVAL);
    quorvelEndJob(job);
    EXPECT_EQ(c.all(), proto::kEndOfJob);
}

TEST(PrinterStream, JobsInTwoThreadsAtOnce)
{
    std::vector<Bytes> rows;
    for (int r = 0; r < 2000; ++r)
        rows.push_back(r % 3 ? hex("FF FF 00 12 FF 34 34 34") : hex("FF FF FF FF FF FF FF FF"));
    const Capture alone[] = {runJob(attr(), page(64, 2000), {rows, rows}),
                             runJob(attr(0, 4, 0, 0, 1), page(64, 2000), {rows})};
    Capture together[2];
    std::thread a([&] {
        for (int i = 0; i < 20; ++i)
            together[0] = runJob(attr(), page(64, 2000), {rows, rows});
    });
    std::thread b([&] {
        for (int i = 0; i < 20; ++i)
            together[1] = runJob(attr(0, 4, 0, 0, 1), page(64, 2000), {rows});
    });
    a.join();
    b.join();
    EXPECT_EQ(together[0].all(), alone[0].all());
    EXPECT_EQ(together[1].all(), alone[1].all());
    EXPECT_EQ(slice(alone[1].all(), 0, 71),
              proto::settings(812, 1218, 1, 0, 4, 1, 0));
}

} // namespace
