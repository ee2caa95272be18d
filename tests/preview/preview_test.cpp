// quorvel-preview: the summary of a sound stream, where a damaged one is
// reported, its command line, and the pages it draws.
#include <gtest/gtest.h>

#include <png.h>
#include <unistd.h>

#include "protocol.h"
#include "stream_decoder.h"
#include "stream_report.h"

using namespace proto;

namespace {

// damage: where both of the decoder's passes find the stream broken, with
// what they say, or -1 for a sound stream.
long damage(const Bytes& stream, std::string* says = nullptr)
{
    quorvel::DecodedStream decoded;
    quorvel::DecodeError scanned, full;
    const bool ok = quorvel::scanStream(stream.data(), stream.size(), decoded, scanned);
    const std::string summary = quorvel::describeStream(decoded);
    EXPECT_EQ(ok, quorvel::decodeStream(stream.data(), stream.size(), decoded, full)); // the same object again
    EXPECT_TRUE(!ok || quorvel::describeStream(decoded) == summary);
    EXPECT_EQ(quorvel::describeError(scanned), quorvel::describeError(full));
    if (says)
        *says = quorvel::describeError(full);
    return ok ? -1 : static_cast<long>(full.offset);
}

// A two-line page: a blank line, then FF FF FF 00 00 00 00 (sent as FE 00 FD FF).
const Bytes kLine = hex("1B 2A 41 02 04 00 FE 00 FD FF");
const Bytes kPage = cat({kBeginPage, kBlank, kLine, kEndPage});
const Bytes kJob = cat({settings(812, 1218, 2, 4, 0), kPage, kEndOfJob});

// The program as a user runs it: the summary of a sound stream (either end
// of a job may be left out), its command line, and the error line of a
// broken stream, which leaves no page drawn.
TEST(Preview, Program)
{
    const std::string dir = qtest::tempDir();
    qtest::writeFile(dir + "/-o", kJob);
    const std::string noStream = "expected settings block (1B 26 42 1B 25 2D 39 38 37 36 35 58 ...), begin page (1B 24 "
                                 "41 1B 21 41 00 00 10), end of job (1C 16 04 45 00) or end of a two-sided job";
    const std::string summary = "settings: paper 812 x 1218 dots, copies 2, density 4, weight 0\nduplex: one-sided, "
                                "manual duplex off\npages: 1\npage 1: 2 rows, 1 data lines, 1 blank lines, 27 bytes\n"
                                "end of job: yes\n";
    const struct {
        std::string args;
        Bytes in;
        int status;
        std::string out, err = "";
    } cases[] = {
        {"", kJob, 0, summary},
        {"-", cat({settings(8, 8, 300, 2, 3, 2, 3), kPage, kEndOfJob}), 0,
         "settings: paper 8 x 8 dots, copies 300, density 2, weight 3\nduplex: short edge, manual duplex on\n"},
        {"", cat({settings(8, 8, 1, 1, 2, 1, 0), kPage, kEndOfJobDouble}), 0, "weight 2\nduplex: long edge, manual"},
        {"", cat({kPage, kPage}), 0, "settings block: suppressed\npages: 2\npage 1: 2 rows, 1 data lines, 1 blank "
                                     "lines, 27 bytes\npage 2: 2 rows, 1 data lines, 1 blank lines, 27 bytes\nend of job: no\n"},
        {"", kEndOfJob, 0, "settings block: suppressed\npages: 0\nend of job: yes\n"},
        {"", {}, 1, "", "quorvel-preview: offset 0: " + noStream},
        {"-o cut", Bytes(kJob.begin(), kJob.end() - 1), 1, "", "quorvel-preview: offset 102: expected end of job"},
        {"-- -o", {}, 0, "pages: 1\n"},
        {"--output=p -- -o", {}, 0, "wrote p-1.png\n"},
        {"--help", {}, 0, "usage: quorvel-preview"},
        {"-o", kJob, 2, "", "usage: quorvel-preview"},
        {"-o ''", kJob, 2, "", "usage: quorvel-preview"}, // no prefix to write to
        {"--colour", kJob, 2, "", "usage:"},
        {"a b", kJob, 2, "", "usage:"},
        {"none", kJob, 1, "", "quorvel-preview: cannot read none: "},
        {"-o /nonexistent/p", kJob, 1, summary, "quorvel-preview: cannot create /nonexistent/p-1.png: "},
        // The virtual printer's command line: a folder, no file, a whole rate.
        {"--listen 0", kJob, 2, "", "usage:"},
        {"--listen 0 -o d in", kJob, 2, "", "usage:"},
        {"--rate 100 -o d", kJob, 2, "", "usage:"},
        {"--listen 0 -o d --rate 0", kJob, 2, "", "usage:"},
        {"--listen 0 -o d --rate=5k", kJob, 2, "", "usage:"},
        {"--listen 127.0.0.1:nosuchport -o d", kJob, 1, "", "quorvel-preview: cannot listen on 127.0.0.1:nosuchport"},
        {"--listen 0 -o /nonexistent/d", kJob, 1, "", "quorvel-preview: cannot create /nonexistent/d: "},
    };
    for (const auto& c : cases) {
        qtest::writeFile(dir + "/in", c.in);
        const qtest::RunResult r = qtest::run("cd " + dir + " && " QUORVEL_PREVIEW " " + c.args + " <in");
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(std::string(r.out.begin(), r.out.end()).find(c.out), std::string::npos) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << ": " << r.err;
        EXPECT_TRUE(c.status == 0 || std::string(r.out.begin(), r.out.end()) == c.out) << c.args;
    }
    EXPECT_TRUE(qtest::readFile(dir + "/cut-1.png").empty());
}

// Cut anywhere, a job is broken where it ends, except where only its
// end-of-job command is missing.
TEST(Preview, EveryCutIsReportedWhereTheStreamEnds)
{
    for (std::size_t cut = 0; cut < kJob.size(); ++cut)
        EXPECT_EQ(damage(Bytes(kJob.begin(), kJob.begin() + cut)), cut == 98 ? -1 : static_cast<long>(cut));
}

TEST(Preview, DamageIsReportedAtTheFirstBadByte)
{
    const Bytes head = cat({settings(812, 1218), kBeginPage}); // 80 bytes
    auto with = [](Bytes b, std::size_t at, unsigned char v) { b[at] = v; return b; };
    // The widest line a paper size can name, 8195 bytes: 64 x 127 + 66, and
    // a literal of one. Two more bytes make it too wide.
    Bytes widest = hex("1B 2A 41 02 84 00");
    for (int i = 0; i < 64; ++i)
        widest = cat({widest, hex("82 00")});
    widest = cat({widest, hex("BF 00 00 FF")});
    EXPECT_EQ(damage(cat({head, widest, kEndPage})), -1);
    widest[4] = 0x87;
    const struct {
        Bytes stream;
        long offset;
        const char* says = "";
    } cases[] = {
        {cat({head, hex("1B 2A 41 02 02 00 7F 00"), kEndPage}), 86},
        {cat({head, hex("1B 2A 41 02 04 00 FE 00 80 00"), kEndPage}), 88},
        {cat({head, hex("1B 2A 41 02 02 00 81 00"), kEndPage}), 86},
        {cat({head, hex("1B 2A 41 02 FF FF FE 00"), kEndPage}), 91},          // length past the end
        {cat({head, hex("1B 2A 41 02 00 00"), kEndPage}), 84},                // zero length
        {cat({head, hex("1B 2A 41 02 03 00 FE 00 FF"), kEndPage}), 88},       // repeat without its byte
        {cat({head, widest, hex("01 00 00"), kEndPage}), 86 + 132},           // two bytes too wide
        {cat({head, hex("1B 2A 41 02 03 00 FE 00 01 1B 24 42"), kEndPage}), 88}, // token past its line
        {cat({head, kBlank, hex("00"), kEndPage}), 85},                       // stray byte in a page
        {cat({head, kEndPage, hex("55"), kPage}), 83},
        {cat({head, kEndPage, hex("1B"), kPage}), 84},                        // ESC could begin a page
        {cat({head, kEndPage, kBlank}), 83},
        {cat({kLine, kPage}), 0},
        {cat({head, kBeginPage, kEndPage}), 80},
        {cat({kPage, settings(8, 8)}), 27},
        {cat({settings(8, 8), kEndOfJob}), 71},
        {cat({kPage, kEndOfJob, kEndPage}), 32},
        {with(kJob, 21, 0x15), 21, "expected a darkness level, 0x10 to 0x14"},
        {with(kJob, 16, 0x0F), 16},
        {with(kJob, 53, 0x00), 53, "(CRC-16 of the copies command: 0x"},
        {with(kJob, 54, 0x71), 54, "expected 0x70 (CRC-16 of the copies command: 0x701A), found 0x71"},
        {with(kJob, 52, 0x80), 52}, // a count of 0x8002
        {with(kJob, 10, 0x00), 10},
        {with(kJob, 44, 0x01), 44, "(byte 3 of the resolution command)"},
        {with(kJob, 60, 0x03), 60, "expected a duplex mode, 0x00 (one-sided)"},
        {with(kJob, 65, 0x01), 65, "expected 0x00 (begin duplex: double"},
        {with(kJob, 70, 0x02), 70, "expected manual duplex, 0x00 (off) or 0x01 (on)"},
        {cat({settings(8, 8), kPage, kEndOfJobDouble}), 71 + 27 + 4},
        {cat({settings(8, 8, 1, 2, 3, 1, 0), kPage, kEndOfJob}), 71 + 27 + 4},
    };
    for (const auto& c : cases) {
        std::string says;
        EXPECT_EQ(damage(c.stream, &says), c.offset) << &c - cases << ": " << says;
        EXPECT_NE(says.find(c.says), std::string::npos) << says;
    }
    // Any paper width is a size the printer may be told; a copy count is 1 to 32767.
    EXPECT_EQ(damage(with(kJob, 35, 0x00)), -1);
    EXPECT_EQ(damage(cat({settings(8, 8, 0), kPage})), 52);
}

// The pages drawn, as 1-bit grey PNGs read back as 8-bit grey: the width
// is the paper's or the widest line's, a line is drawn from its first
// pixel, the lead bytes included, and a long-edge back side is drawn
// turned back the way the sheet shows it.
TEST(Preview, Pages)
{
    const Bytes w = Bytes(8, 255), b = Bytes(8, 0);
    const struct {
        Bytes stream;
        unsigned width, height;
        Bytes grey;
    } cases[] = {
        {cat({settings(100, 50), kBeginPage, kEndPage}), 100, 1, Bytes(100, 255)},
        {cat({settings(100, 50), kBeginPage, lineCmd(hex("01 FF 0F")), kEndPage}), 100, 1,
         cat({b, Bytes(4, 255), Bytes(4, 0), Bytes(84, 255)})},
        {cat({settings(8, 8), kBeginPage, kBlank, lineCmd(hex("00 FF 00 00")), kEndPage}), 16, 2, cat({w, w, b, w})},
        {cat({kBeginPage, lineCmd(hex("00 FF 00 00")), kEndPage}), 16, 1, cat({b, w})},
        {cat({settings(16, 8, 1, 2, 3, 1, 0), kBeginPage, lineCmd(hex("01 80 00")), kBlank, kEndPage}), 40, 2,
         cat({w, w, w, w, w, w, w, w, Bytes(15, 255), Bytes(1, 0)})},
    };
    for (const auto& c : cases) {
        const std::string prefix = qtest::tempDir() + "/page";
        qtest::writeFile(prefix, c.stream);
        const qtest::RunResult r = qtest::run(QUORVEL_PREVIEW " -o " + prefix + " " + prefix);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string file = qtest::readFile(prefix + "-1.png");
        EXPECT_TRUE(file.size() > 26 && file[24] == 1 && file[25] == 0) << &c - cases << " is not 1-bit grey";
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, (prefix + "-1.png").c_str()));
        image.format = PNG_FORMAT_GRAY;
        Bytes grey(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr));
        EXPECT_EQ(std::vector<unsigned>({image.width, image.height}), std::vector<unsigned>({c.width, c.height}));
        EXPECT_EQ(grey, c.grey) << &c - cases;
    }
}

// A page that cannot be written (here the disk is full once libpng's first
// block of compressed rows goes out) is reported with libpng's word for it,
// and its file is removed.
TEST(Preview, PageThatCannotBeWrittenIsReported)
{
    Bytes noisy = cat({settings(1024, 100), kBeginPage});
    std::uint32_t x = 12345;
    for (int row = 0; row < 100; ++row) {
        Bytes literal = {0x7E}; // 127 bytes that deflate cannot shrink
        for (int i = 0; i < 127; ++i)
            literal.push_back(static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24));
        noisy = cat({noisy, lineCmd(literal)});
    }
    noisy = cat({noisy, kEndPage, kEndOfJob});
    const std::string dir = qtest::tempDir();
    qtest::writeFile(dir + "/in", noisy);
    ASSERT_EQ(symlink("/dev/full", (dir + "/full-1.png").c_str()), 0);
    const qtest::RunResult r = qtest::run(QUORVEL_PREVIEW " -o " + dir + "/full " + dir + "/in");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("quorvel-preview: cannot write " + dir + "/full-1.png: Write Error"), std::string::npos) << r.err;
    EXPECT_NE(access((dir + "/full-1.png").c_str(), F_OK), 0);
}

}  // namespace
