// Whole streams: what the summary says about a sound one, and where a
// damaged one is reported, through the built quorvel-preview.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "preview_test.h"
#include "stream_decoder.h"

using namespace ptest;

namespace {

// A two-line page: a blank line, then FF FF FF 00 00 00 00 (sent as FE 00 FD FF).
const Bytes kLine = hex("1B 2A 41 02 04 00 FE 00 FD FF");
const Bytes kPage = cat({kBeginPage, kBlank, kLine, kEndPage});
const Bytes kJob = cat({settingsBlock(812, 1218, 2, 4, 0), kPage, kEndOfJob});

// reportedOffset: N from the error line "quorvel-preview: offset N: ...".
long reportedOffset(const qtest::RunResult& r)
{
    const std::string tag = "quorvel-preview: offset ";
    if (r.err.rfind(tag, 0) != 0 || r.err.find('\n') != r.err.size() - 1)
        return -1;
    return std::stol(r.err.substr(tag.size()));
}

TEST(StreamCheck, SoundStreamsAreDecodedAndSummarised)
{
    quorvel::DecodedStream s;
    quorvel::DecodeError err;
    ASSERT_TRUE(quorvel::decodeStream(kJob.data(), kJob.size(), s, err)) << err.offset << " " << err.expected;
    EXPECT_EQ(s.settings.widthDots, 812u);
    EXPECT_EQ(s.settings.heightDots, 1218u);
    EXPECT_EQ(s.settings.copies, 2u);
    EXPECT_EQ(s.settings.density, 4);
    EXPECT_EQ(s.settings.weight, 0);
    ASSERT_EQ(s.pages.size(), 1u);
    EXPECT_EQ(s.pages[0].rows, (std::vector<Bytes>{{}, hex("00 00 00 FF FF FF FF")}));
    EXPECT_EQ(s.pages[0].bytes, kPage.size());
    EXPECT_TRUE(s.endOfJob);

    const qtest::RunResult r = runPreview(kJob);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()),
              "settings: paper 812 x 1218 dots, copies 2, density 4, weight 0\n"
              "duplex: one-sided, manual duplex off\npages: 1\n"
              "page 1: 2 rows, 1 data lines, 1 blank lines, 27 bytes\nend of job: yes\n");
    const qtest::RunResult twoSided =
        runPreview(cat({proto::settings(812, 1218, 300, 2, 3, 2, 3), kPage, proto::kEndOfJob}));
    const std::string text(twoSided.out.begin(), twoSided.out.end());
    EXPECT_NE(text.find("copies 300,"), std::string::npos) << text << twoSided.err;
    EXPECT_NE(text.find("duplex: short edge, manual duplex on\n"), std::string::npos) << text;

    // Either end of the job may be left out; a job without pages is only its end.
    const qtest::RunResult bare = runPreview(cat({kPage, kPage}));
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_EQ(std::string(bare.out.begin(), bare.out.end()),
              "settings block: suppressed\npages: 2\npage 1: 2 rows, 1 data lines, 1 blank lines, 27 bytes\n"
              "page 2: 2 rows, 1 data lines, 1 blank lines, 27 bytes\nend of job: no\n");
    EXPECT_EQ(runPreview(kEndOfJob).status, 0);
}

TEST(StreamCheck, EveryCutIsReportedWhereTheStreamEnds)
{
    for (std::size_t cut = 0; cut < kJob.size(); ++cut) {
        const std::string prefix = qtest::tempDir() + "/cut" + std::to_string(cut);
        const qtest::RunResult r = runPreview(Bytes(kJob.begin(), kJob.begin() + cut), {"--output", prefix});
        if (cut == kJob.size() - kEndOfJob.size()) {  // a job sent without its end-of-job command
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 1) << "cut at " << cut;
        EXPECT_EQ(reportedOffset(r), static_cast<long>(cut)) << r.err;
        struct stat st;
        EXPECT_NE(stat((prefix + "-1.png").c_str(), &st), 0) << "an image was written for a cut at " << cut;
    }
}

TEST(StreamCheck, DamageIsReportedAtTheFirstBadByte)
{
    const Bytes head = cat({settingsBlock(812, 1218), kBeginPage});  // 80 bytes
    auto withByte = [](Bytes b, std::size_t at, unsigned char v) { b[at] = v; return b; };
    Bytes tooWide = hex("1B 2A 41 02 82 00");  // 65 x 127 bytes, wider than any paper
    for (int i = 0; i < 65; ++i)
        tooWide = cat({tooWide, hex("82 00")});
    // The widest line a paper size can name, 8195 bytes: 64 x 127 + 66, and
    // a literal of one. A literal of two more bytes makes it too wide.
    Bytes widest = hex("1B 2A 41 02 84 00");
    for (int i = 0; i < 64; ++i)
        widest = cat({widest, hex("82 00")});
    widest = cat({widest, hex("BF 00 00 FF")});
    const qtest::RunResult widestOk = runPreview(cat({head, widest, kEndPage}));
    EXPECT_EQ(widestOk.status, 0) << widestOk.err;
    widest[4] = 0x87; // the same line, then a two-byte literal
    const struct { const char* what; Bytes stream; long offset; const char* says = ""; } cases[] = {
        {"token header 0x7F", cat({head, hex("1B 2A 41 02 02 00 7F 00"), kEndPage}), 86},
        {"token header 0x80", cat({head, hex("1B 2A 41 02 04 00 FE 00 80 00"), kEndPage}), 88},
        {"token header 0x81", cat({head, hex("1B 2A 41 02 02 00 81 00"), kEndPage}), 86},
        {"length past the end", cat({head, hex("1B 2A 41 02 FF FF FE 00"), kEndPage}), 91},
        {"zero length", cat({head, hex("1B 2A 41 02 00 00"), kEndPage}), 84},
        {"repeat token without its byte", cat({head, hex("1B 2A 41 02 03 00 FE 00 FF"), kEndPage}), 88},
        {"line too wide", cat({head, tooWide, kEndPage}), 86 + 128},
        {"line two bytes too wide", cat({head, widest, hex("01 00 00"), kEndPage}), 86 + 132},
        {"token past its line", cat({head, hex("1B 2A 41 02 03 00 FE 00 01 1B 24 42"), kEndPage}), 88},
        {"stray byte in a page", cat({head, kBlank, hex("00"), kEndPage}), 85},
        {"stray byte between pages", cat({head, kEndPage, hex("55"), kPage}), 83},
        {"stray ESC between pages", cat({head, kEndPage, hex("1B"), kPage}), 84},  // ESC could begin a page
        {"blank line outside a page", cat({head, kEndPage, kBlank}), 83},
        {"line data before any page", cat({kLine, kPage}), 0},
        {"begin page inside a page", cat({head, kBeginPage, kEndPage}), 80},
        {"settings after a page", cat({kPage, settingsBlock(8, 8)}), 27},
        {"settings without a page", cat({settingsBlock(8, 8), kEndOfJob}), 71},
        {"bytes after end of job", cat({kPage, kEndOfJob, kEndPage}), 32},
        {"density level 5", withByte(kJob, 21, 0x15), 21, "expected a darkness level, 0x10 to 0x14"},
        {"copy count 0", cat({settingsBlock(8, 8, 0), kPage}), 52, "expected a copy count from 1 to 32767"},
        {"CRC high byte", withByte(kJob, 54, kJob[54] ^ 1), 54, "(CRC-16 of the copies command: 0x"},
        {"late byte of the init command", withByte(kJob, 10, 0x00), 10},
        {"fixed settings byte", withByte(kJob, 44, 0x01), 44, "(byte 3 of the resolution command)"},
        {"paper width", cat({withByte(kJob, 35, 0x00)}), -1},
        {"duplex mode 3", withByte(kJob, 60, 0x03), 60, "expected a duplex mode, 0x00 (one-sided)"},
        {"double duplex for a one-sided job", withByte(kJob, 65, 0x01), 65, "expected 0x00 (begin duplex: double"},
        {"manual duplex 2", withByte(kJob, 70, 0x02), 70, "expected manual duplex, 0x00 (off) or 0x01 (on)"},
        {"two-sided end of a one-sided job", cat({settingsBlock(8, 8), kPage, proto::kEndOfJobDouble}), 71 + 27 + 4},
        {"one-sided end of a two-sided job",
         cat({proto::settings(8, 8, 1, 2, 3, 1, 0), kPage, proto::kEndOfJob}), 71 + 27 + 4},
    };
    for (const auto& c : cases) {
        const qtest::RunResult r = runPreview(c.stream);
        if (c.offset < 0) { // any width is a size the printer may be told
            EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(reportedOffset(r), c.offset) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.what;
    }
}

TEST(StreamCheck, CommandLine)
{
    // After --, a name that looks like an option is a file.
    const std::string dir = qtest::tempDir();
    qtest::writeFile(dir + "/-o", std::string(kJob.begin(), kJob.end()));
    const std::string cd = "cd '" + dir + "' && '" + qtest::previewPath() + "' ";
    EXPECT_EQ(qtest::run({"/bin/sh", "-c", cd + "-- -o"}, {}).status, 0);
    EXPECT_EQ(qtest::run({"/bin/sh", "-c", cd + "-o"}, {}).status, 2);
    // --output=PREFIX, and --help says what the program is.
    EXPECT_EQ(qtest::run({"/bin/sh", "-c", cd + "--output=p -- -o"}, {}).status, 0);
    EXPECT_EQ(qtest::readFile(dir + "/p-1.png").substr(1, 3), "PNG");
    const qtest::RunResult help = qtest::run({qtest::previewPath(), "--help"}, {});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(std::string(help.out.begin(), help.out.end()).find("quorvel-preview"), std::string::npos);
    EXPECT_EQ(qtest::run({qtest::previewPath(), "--colour"}, {}).status, 2);
    EXPECT_EQ(qtest::run({qtest::previewPath(), "a", "b"}, {}).status, 2);
    const qtest::RunResult missing = qtest::run({qtest::previewPath(), qtest::tempDir() + "/none"}, {});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos);
    EXPECT_EQ(reportedOffset(runPreview({})), 0);
}

}  // namespace
