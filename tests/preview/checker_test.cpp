// The stream checker fed as a network printer is fed: in pieces of any size,
// with the same verdict as for the whole stream, and memory that does not grow
// with the stream.
#include <gtest/gtest.h>

#include "protocol.h"
#include "stream_decoder.h"
#include "stream_report.h"

using namespace proto;

namespace {

// What the checker's calls said, as text: "P71" a page begun at 71, "R80" a
// row at 80 ("R85+7" a data line of 7 bytes), "E27/1/1" a page of 27 bytes,
// one data line and one blank line.
struct Heard {
    std::string said;
    std::size_t mostHeld = 0;
};

void heardPage(void* ctx, std::size_t offset) { static_cast<Heard*>(ctx)->said += "P" + std::to_string(offset) + " "; }

void heardRow(void* ctx, std::size_t offset, const std::vector<unsigned char>& row)
{
    static_cast<Heard*>(ctx)->said +=
        "R" + std::to_string(offset) + (row.empty() ? "" : "+" + std::to_string(row.size())) + " ";
}

void heardEnd(void* ctx, const quorvel::DecodedPage& p)
{
    static_cast<Heard*>(ctx)->said +=
        "E" + std::to_string(p.bytes) + "/" + std::to_string(p.dataLines) + "/" + std::to_string(p.blankLines) + " ";
}

// feed: stream to a fresh checker in pieces of piece bytes, then its end;
// the verdict ("ok" or the error line) after what the calls said.
std::string feed(const Bytes& stream, std::size_t piece, Heard& heard)
{
    quorvel::StreamChecker c;
    c.events = {&heard, nullptr, heardPage, heardRow, heardEnd};
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        if (!quorvel::checkBytes(c, stream.data() + at, std::min(piece, stream.size() - at)))
            break;
        heard.mostHeld = std::max(heard.mostHeld, c.held.size());
    }
    const bool ok = quorvel::checkEnd(c);
    return heard.said + (ok ? "ok" : quorvel::describeError(c.err));
}

const Bytes kLine = hex("1B 2A 41 02 04 00 FE 00 FD FF");  // FF FF FF 00 00 00 00
const Bytes kPage = cat({kBeginPage, kBlank, kLine, kEndPage});
const Bytes kJob = cat({settings(812, 1218, 2, 4, 0), kPage, kEndOfJob});

// Every way of cutting a stream into pieces gives what the whole stream
// gives: the calls, in order, and the verdict where the first bad byte is.
TEST(StreamChecker, PiecesOfAnySizeGiveTheWholeStreamsVerdict)
{
    const struct {
        Bytes stream;
        std::string heard;
    } cases[] = {
        {kJob, "P71 R80 R85+7 E27/1/1 ok"},
        {cat({kPage, kPage}), "P0 R9 R14+7 E27/1/1 P27 R36 R41+7 E27/1/1 ok"},
        {Bytes(kJob.begin(), kJob.end() - 3), "P71 R80 R85+7 E27/1/1 offset 100: expected end of job"},
        {Bytes(kJob.begin(), kJob.begin() + 92), "P71 R80 offset 92: expected 3 more bytes of the 4-byte encoded "
                                                 "line that starts at offset 91, found end of stream"},
        {Bytes(kJob.begin(), kJob.begin() + 90), "P71 R80 offset 90: expected the 2-byte encoded length"},
        {Bytes(kJob.begin(), kJob.begin() + 40), "offset 40: expected the paper height in dots, found end"},
        {cat({kPage, hex("1B 2A")}), "P0 R9 R14+7 E27/1/1 offset 28: expected begin page (1B 24 41 1B 21 41 00 00 "
                                     "10), found 0x2A"},
        // A misplaced command is named as such only when it is whole.
        {cat({kBeginPage, kEndOfJob}), "P0 offset 9: expected blank line (1B 2A 42 01 00), line data (1B 2A 41 02 "
                                       "...) or end page (1B 24 42), found a misplaced end of job command"},
        {cat({kBeginPage, hex("1C 16 04")}), "P0 offset 9: expected blank line (1B 2A 42 01 00), line data (1B 2A 41 "
                                             "02 ...) or end page (1B 24 42), found 0x1C"},
        {cat({kBeginPage, kBlank, hex("1B 2A 41 02 02 00 7F 00"), kEndPage}), "P0 R9 offset 20: expected a token header"},
        {cat({kPage, kEndOfJob, hex("00")}), "P0 R9 R14+7 E27/1/1 offset 32: expected end of stream after the end-of-job command, found 0x00"},
    };
    for (const auto& c : cases)
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, c.stream.size()}) {
            Heard heard;
            const std::string got = feed(c.stream, std::max<std::size_t>(piece, 1), heard);
            EXPECT_EQ(got.substr(0, c.heard.size()), c.heard) << "in pieces of " << piece;
        }
}

// feedJobs: stream to checkers in pieces of piece bytes, as one connection
// carrying jobs back to back: each job's byte count and verdict ("103 ok"),
// or its error line once it breaks (nothing is read after that).
std::string feedJobs(const Bytes& stream, std::size_t piece)
{
    std::string said;
    quorvel::StreamChecker c;
    std::size_t bytes = 0;
    bool open = true;  // a job is being read
    auto verdict = [&] {
        said += (quorvel::checkEnd(c) ? std::to_string(bytes) + " ok" : quorvel::describeError(c.err)) + " | ";
    };
    for (std::size_t at = 0; at < stream.size() && !c.broken; at += piece) {
        const unsigned char* data = stream.data() + at;
        for (std::size_t left = std::min(piece, stream.size() - at); left > 0 && !c.broken;) {
            if (!open)
                c = quorvel::StreamChecker(), bytes = 0, open = true;
            const std::size_t took = quorvel::checkJobBytes(c, data, left);
            data += took, left -= took, bytes += took;
            if (c.endOfJob && !c.broken)
                verdict(), open = false;
        }
    }
    if (open)
        verdict();
    return said;
}

// A connection's bytes after an end-of-job command are the next job, judged
// from its own first byte, wherever the pieces are cut.
TEST(StreamChecker, JobsBackToBackSplitAfterTheEndOfJobCommand)
{
    const Bytes noSettings = cat({kPage, kEndOfJob});  // a job may begin with its first page
    const struct {
        Bytes stream;
        std::string jobs;
    } cases[] = {
        {kJob, "103 ok | "},
        {kPage, "27 ok | "},
        {cat({kJob, kJob}), "103 ok | 103 ok | "},
        {cat({kJob, noSettings, kJob}), "103 ok | 32 ok | 103 ok | "},
        {cat({kJob, kEndOfJob}), "103 ok | 5 ok | "},
        {cat({kJob, hex("00"), kJob}),
         "103 ok | offset 0: expected settings block (1B 26 42 1B 25 2D 39 38 37 36 35 58 ...), begin page (1B 24 41 "
         "1B 21 41 00 00 10), end of job (1C 16 04 45 00) or end of a two-sided job (1C 16 04 45 01), found 0x00 | "},
        {cat({kJob, kPage, kPage}), "103 ok | 54 ok | "},
        {cat({kJob, kBeginPage, kBlank}), "103 ok | offset 14: expected blank line (1B 2A 42 01 00), line data (1B "
                                          "2A 41 02 ...) or end page (1B 24 42), found end of stream | "},
        {cat({kJob, hex("1B 26")}),
         "103 ok | offset 2: expected settings block (1B 26 42 1B 25 2D 39 38 37 36 35 58 ...), found end of "
         "stream | "},
        // A two-sided job ended as a one-sided one is broken there, not split.
        {cat({settings(812, 1218, 1, 2, 3, 1), kPage, kEndOfJob, kJob}),
         "offset 102: expected 0x01 (end of job, as the settings block's duplex mode and manual setting ask), found "
         "0x00 | "},
    };
    for (const auto& c : cases)
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, c.stream.size()})
            EXPECT_EQ(feedJobs(c.stream, piece), c.jobs) << "in pieces of " << piece;
}

// A page of two million rows, its widest lines among them, and a stream that
// never ends: what the checker holds stays under the longest command
// however much has gone through.
TEST(StreamChecker, MemoryDoesNotGrowWithTheStream)
{
    // The widest line a paper size can name: 8195 bytes, as 64 x 127 + 66
    // repeated bytes and a one-byte literal (136 encoded bytes).
    Bytes widest = hex("1B 2A 41 02 84 00");
    for (int i = 0; i < 64; ++i)
        widest = cat({widest, hex("82 00")});
    widest = cat({widest, hex("BF 00 00 FF")});
    Bytes rows;
    for (int i = 0; i < 1000; ++i)
        rows = cat({rows, kBlank, kBlank, kBlank, widest});

    Heard heard;
    quorvel::StreamChecker c;
    c.events = {&heard, nullptr, nullptr, nullptr, heardEnd};
    ASSERT_TRUE(quorvel::checkBytes(c, kBeginPage.data(), kBeginPage.size()));
    const std::size_t piece = 4093;  // never on a command's edge for long
    for (int round = 0; round < 500; ++round)
        for (std::size_t at = 0; at < rows.size(); at += piece) {
            ASSERT_TRUE(quorvel::checkBytes(c, rows.data() + at, std::min(piece, rows.size() - at)));
            heard.mostHeld = std::max(heard.mostHeld, c.held.capacity());
        }
    EXPECT_EQ(c.page.blankLines, 1500000u);
    EXPECT_EQ(c.page.dataLines, 500000u);
    EXPECT_EQ(c.page.widestLine, 8195u);
    EXPECT_LT(heard.mostHeld, piece + widest.size());
    EXPECT_EQ(heard.said, "");  // the page has not ended
    ASSERT_TRUE(quorvel::checkBytes(c, kEndPage.data(), kEndPage.size()));
    EXPECT_EQ(heard.said, "E" + std::to_string(9 + 500 * rows.size() + 3) + "/500000/1500000 ");
    EXPECT_TRUE(quorvel::checkEnd(c));
}

}  // namespace
