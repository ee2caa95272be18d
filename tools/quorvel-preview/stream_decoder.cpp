// Stream decoder: walks a printer job command by command, accepting only what
// the filter can send, in the order it sends it, and decodes the line data.
#include "stream_decoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "printer_commands.h"

namespace quorvel {
namespace {

// The commands the stream is made of, as far as their bytes are fixed: the
// settings block by its init command, line data by its header.
enum CommandId {
    kSettingsCmd,
    kBeginPageCmd,
    kBlankLineCmd,
    kLineDataCmd,
    kEndPageCmd,
    kEndOfJobCmd,
    kEndOfJobDoubleCmd,
    kCommandCount
};

struct Command {
    const char* name;
    const unsigned char* bytes;
    std::size_t len;
};

template <std::size_t N>
constexpr Command command(const char* name, const std::array<unsigned char, N>& bytes)
{
    return {name, bytes.data(), N};
}

constexpr Command kCommands[kCommandCount] = {
    command("settings block", szInitCmd),   command("begin page", szBeginPageCmd),
    command("blank line", szBlankLineCmd),  command("line data", kLineDataPrefix),
    command("end page", szEndPageCmd),      command("end of job", szEndDuplexSingleCmd),
    command("end of a two-sided job", szEndDuplexDoubleCmd),
};

// Where the duplex fields sit in the settings block: the value byte of each
// of its last three commands.
constexpr std::size_t kModeAt = kDuplexModeAt + 5, kDoubleAt = kBeginDuplexAt + 4, kManualAt = kManualDuplexAt + 4;

// The settings block of a one-sided job; the bytes at the field offsets are
// placeholders.
const std::array<unsigned char, kSettingsSize>& settingsTemplate()
{
    static const std::array<unsigned char, kSettingsSize> block = [] {
        std::array<unsigned char, kSettingsSize> b{};
        std::size_t at = 0;
        auto put = [&](const auto& cmd) {
            std::memcpy(b.data() + at, cmd.data(), cmd.size());
            at += cmd.size();
        };
        put(szInitCmd), put(szPaperWeightCmd), put(szDarknessCmd), put(szRenderTypeCmd);
        put(szInputBinCmd), put(szPaperSizeCustomCmd), put(szResolutionCmd), put(szNumCopiesCmd);
        put(szDuplexSingleCmd), put(szBeginDuplexSingleCmd), put(szManualDuplexDisableCmd);
        return b;
    }();
    return block;
}

struct SettingsPart {
    const char* name;
    std::size_t len;
};
constexpr SettingsPart kSettingsParts[] = {
    {"init", 12},      {"paper weight", 5}, {"darkness", 5}, {"render type", 5},  {"input bin", 6},
    {"paper size", 8}, {"resolution", 7},   {"copies", 7},   {"duplex mode", 6}, {"begin duplex", 5},
    {"manual duplex", 5},
};

// byteText: one byte as 0xNN.
std::string byteText(unsigned char b)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", b);
    return buf;
}

// hexText: bytes as spaced hex, the way the commands are written down.
std::string hexText(const unsigned char* bytes, std::size_t n)
{
    std::string text;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        text += buf;
    }
    return text;
}

// fail: fill err and report failure, so callers can return fail(...).
bool fail(DecodeError* err, std::size_t offset, std::string expected, std::string found)
{
    if (err) {
        err->offset = offset;
        err->expected = std::move(expected);
        err->found = std::move(found);
    }
    return false;
}

// foundAt: what sits at offset, for an error message.
std::string foundAt(const unsigned char* data, std::size_t size, std::size_t offset)
{
    return offset < size ? byteText(data[offset]) : "end of stream";
}

// describe: the commands allowed at a point, for "expected ...".
std::string describe(const CommandId* allowed, std::size_t n)
{
    if (n == 0)
        return "end of stream after the end-of-job command";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        const Command& c = kCommands[allowed[i]];
        if (i)
            text += i + 1 == n ? " or " : ", ";
        text += c.name;
        const bool more = allowed[i] == kSettingsCmd || allowed[i] == kLineDataCmd;  // fixed bytes only begin it
        text += " (" + hexText(c.bytes, c.len) + (more ? " ...)" : ")");
    }
    return text;
}

// matchCommand: which of the allowed commands starts at pos. A command from
// the stream's vocabulary that is not allowed here is reported at its first
// byte; anything else at the first byte no allowed command can go on with.
int matchCommand(const unsigned char* data, std::size_t size, std::size_t pos, const CommandId* allowed,
                 std::size_t n, DecodeError& err, bool streamEnds)
{
    const std::size_t left = size - pos;
    for (std::size_t i = 0; i < n; ++i) {
        const Command& c = kCommands[allowed[i]];
        if (left >= c.len && std::memcmp(data + pos, c.bytes, c.len) == 0)
            return allowed[i];
    }
    for (int id = 0; id < kCommandCount; ++id) {
        const Command& c = kCommands[id];
        if (std::find(allowed, allowed + n, id) == allowed + n && left >= c.len &&
            std::memcmp(data + pos, c.bytes, c.len) == 0) {
            fail(&err, pos, describe(allowed, n), std::string("a misplaced ") + c.name + " command");
            return -1;
        }
    }
    // The start of a misplaced command, more of it yet to come: blamed when
    // it is whole, so the verdict does not hang on where the bytes were cut.
    for (int id = 0; id < kCommandCount && !streamEnds; ++id) {
        const Command& c = kCommands[id];
        if (left < c.len && std::memcmp(data + pos, c.bytes, left) == 0) {
            fail(&err, size, describe(allowed, n), "end of stream");
            return -1;
        }
    }
    std::size_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Command& c = kCommands[allowed[i]];
        std::size_t k = 0;
        while (k < c.len && k < left && data[pos + k] == c.bytes[k])
            ++k;
        longest = std::max(longest, k);
    }
    CommandId alive[kCommandCount];
    std::size_t nAlive = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (kCommands[allowed[i]].len >= longest && std::memcmp(data + pos, kCommands[allowed[i]].bytes, longest) == 0)
            alive[nAlive++] = allowed[i];
    fail(&err, pos + longest, describe(alive, nAlive), foundAt(data, size, pos + longest));
    return -1;
}

// settingsByteExpected: what the byte at index i of the settings block must be.
std::string settingsByteExpected(std::size_t i)
{
    std::size_t start = 0;
    for (const SettingsPart& part : kSettingsParts) {
        if (i < start + part.len)
            return byteText(settingsTemplate()[i]) + " (byte " + std::to_string(i - start) + " of the " + part.name +
                   " command)";
        start += part.len;
    }
    return "";
}

// readSettings: the 71-byte settings block at pos, its init command already
// matched. Levels outside 0 to 4, a copy count the filter cannot send and a
// wrong CRC are errors: the filter never produces them, so the stream is damaged.
bool readSettings(const unsigned char* data, std::size_t size, std::size_t pos, StreamSettings& s,
                  DecodeError& err)
{
    for (std::size_t i = szInitCmd.size(); i < kSettingsSize; ++i) {
        const std::size_t at = pos + i;
        std::string expected;
        if (i == kWeightAt || i == kDensityAt)
            expected = std::string("a ") + (i == kWeightAt ? "paper weight" : "darkness") + " level, 0x10 to 0x14";
        else if (i == kWidthAt || i == kWidthAt + 1 || i == kHeightAt || i == kHeightAt + 1)
            expected = std::string("the paper ") + (i < kHeightAt ? "width" : "height") + " in dots";
        else if (i == kCopiesAt || i == kCopiesAt + 1)
            expected = "a copy count from 1 to 32767";
        else if (i == kCrcAt || i == kCrcAt + 1) {
            const unsigned crc = cyg_crc16(data + pos + kCopiesCmdAt, 5);
            expected = byteText(static_cast<unsigned char>(i == kCrcAt ? crc & 0xFF : crc >> 8)) +
                       " (CRC-16 of the copies command: " + byteText(static_cast<unsigned char>(crc >> 8)) +
                       byteText(static_cast<unsigned char>(crc & 0xFF)).substr(2) + ")";
        } else if (i == kModeAt)
            expected = "a duplex mode, 0x00 (one-sided), 0x01 (long edge) or 0x02 (short edge)";
        else if (i == kDoubleAt)
            expected = byteText(data[pos + kModeAt] != 0) + " (begin duplex: double for a two-sided job)";
        else if (i == kManualAt)
            expected = "manual duplex, 0x00 (off) or 0x01 (on)";
        else
            expected = settingsByteExpected(i);
        if (at >= size)
            return fail(&err, at, expected, "end of stream");

        const unsigned char b = data[at];
        bool ok = true;
        if (i == kWeightAt || i == kDensityAt)
            ok = b >= 0x10 && b <= 0x14;
        else if (i == kCopiesAt + 1) {
            const unsigned copies = data[at - 1] | b << 8;
            ok = copies >= 1 && copies <= 32767;
        } else if (i == kCrcAt || i == kCrcAt + 1) {
            const unsigned crc = cyg_crc16(data + pos + kCopiesCmdAt, 5);
            ok = b == (i == kCrcAt ? (crc & 0xFF) : (crc >> 8));
        } else if (i == kModeAt)
            ok = b <= 2;
        else if (i == kDoubleAt)
            ok = b == (data[pos + kModeAt] != 0);
        else if (i == kManualAt)
            ok = b <= 1;
        else if (i != kWidthAt && i != kWidthAt + 1 && i != kHeightAt && i != kHeightAt + 1 && i != kCopiesAt)
            ok = b == settingsTemplate()[i];
        if (!ok)
            return fail(&err, at, expected, byteText(b));
    }
    const unsigned char* block = data + pos;
    s.present = true;
    s.weight = block[kWeightAt] - 0x10;
    s.density = block[kDensityAt] - 0x10;
    s.duplex = block[kModeAt];
    s.manualDuplex = block[kManualAt] == 1;
    s.widthDots = block[kWidthAt] | block[kWidthAt + 1] << 8;
    s.heightDots = block[kHeightAt] | block[kHeightAt + 1] << 8;
    s.copies = block[kCopiesAt] | block[kCopiesAt + 1] << 8;
    return true;
}

// allowedAt: the commands that may come at a place in the job, n their count.
const CommandId* allowedAt(StreamPlace place, std::size_t& n)
{
    static constexpr CommandId kAtStart[] = {kSettingsCmd, kBeginPageCmd, kEndOfJobCmd, kEndOfJobDoubleCmd};
    static constexpr CommandId kAfterSettings[] = {kBeginPageCmd};
    static constexpr CommandId kInPage[] = {kBlankLineCmd, kLineDataCmd, kEndPageCmd};
    static constexpr CommandId kBetweenPages[] = {kBeginPageCmd, kEndOfJobCmd, kEndOfJobDoubleCmd};
    switch (place) {
    case StreamPlace::Start: return n = std::size(kAtStart), kAtStart;
    case StreamPlace::AfterSettings: return n = std::size(kAfterSettings), kAfterSettings;
    case StreamPlace::InPage: return n = std::size(kInPage), kInPage;
    case StreamPlace::BetweenPages: return n = std::size(kBetweenPages), kBetweenPages;
    case StreamPlace::AfterEndOfJob: break;
    }
    return n = 0, nullptr;
}

// What one step of the walk came to.
enum class Step { Done, NeedMore, Broken };

// stepCommand: the one command at pos in data[0, size), whose first byte is
// stream offset base + 0. A command that runs past size is not an error yet:
// the grammar is prefix-free, so its bytes so far can only be judged when the
// rest arrives. Whole commands move pos and the checker's place and counts.
Step stepCommand(StreamChecker& c, const unsigned char* data, std::size_t size, std::size_t& pos, std::size_t base,
                 bool streamEnds = false)
{
    std::size_t n = 0;
    const CommandId* allowed = allowedAt(c.place, n);
    DecodeError& err = c.err;
    // Every check below that reaches past the bytes at hand reports the end
    // of them as its offset; no byte that is there can be blamed for that.
    auto broken = [&]() {
        const bool more = err.offset == size;
        err.offset += base;
        return more ? Step::NeedMore : Step::Broken;
    };
    const int id = matchCommand(data, size, pos, allowed, n, err, streamEnds);
    if (id < 0)
        return broken();
    switch (id) {
    case kSettingsCmd:
        if (!readSettings(data, size, pos, c.settings, err))
            return broken();
        pos += kSettingsSize;
        c.place = StreamPlace::AfterSettings;
        if (c.events.settings)
            c.events.settings(c.events.ctx, c.settings);
        break;
    case kBeginPageCmd:
        c.page = DecodedPage{};
        c.page.offset = base + pos;
        ++c.pages;
        pos += szBeginPageCmd.size();
        c.place = StreamPlace::InPage;
        if (c.events.pageBegun)
            c.events.pageBegun(c.events.ctx, c.page.offset);
        break;
    case kBlankLineCmd:
        ++c.page.blankLines;
        c.row.clear();
        if (c.events.row)
            c.events.row(c.events.ctx, base + pos, c.row);
        pos += szBlankLineCmd.size();
        break;
    case kLineDataCmd: {
        const std::size_t lenAt = pos + kLineDataPrefix.size();
        if (size - lenAt < 2)
            return fail(&err, size, "the 2-byte encoded length of the line data command", "end of stream"), broken();
        const std::size_t len = data[lenAt] | data[lenAt + 1] << 8;
        if (len == 0)
            return fail(&err, lenAt, "a non-zero encoded length", "length 0"), broken();
        const std::size_t body = lenAt + 2;
        if (size - body < len)
            return fail(&err, size,
                        std::to_string(len - (size - body)) + " more bytes of the " + std::to_string(len) +
                            "-byte encoded line that starts at offset " + std::to_string(base + body),
                        "end of stream"),
                   broken();
        if (!decodeLine(data + body, len, c.row, &err)) {
            err.offset += body;
            return broken();
        }
        ++c.page.dataLines;
        c.page.widestLine = std::max(c.page.widestLine, c.row.size());
        if (c.events.row)
            c.events.row(c.events.ctx, base + pos, c.row);
        pos = body + len;
        break;
    }
    case kEndPageCmd:
        pos += szEndPageCmd.size();
        c.page.bytes = base + pos - c.page.offset;
        c.place = StreamPlace::BetweenPages;
        if (c.events.pageEnded)
            c.events.pageEnded(c.events.ctx, c.page);
        break;
    case kEndOfJobCmd:
    case kEndOfJobDoubleCmd: {
        // A two-sided job ends as one unless the sheets are turned by hand.
        const StreamSettings& st = c.settings;
        const bool twoSided = st.duplex != 0 && !st.manualDuplex;
        if (st.present && (id == kEndOfJobDoubleCmd) != twoSided) {
            fail(&err, pos + 4,
                 std::string(twoSided ? "0x01" : "0x00") + " (end of job, as the settings block's duplex "
                                                            "mode and manual setting ask)",
                 byteText(data[pos + 4]));
            return broken();
        }
        c.endOfJob = true;
        pos += szEndDuplexSingleCmd.size();
        c.place = StreamPlace::AfterEndOfJob;
        break;
    }
    }
    return Step::Done;
}

// walkCommands: every whole command in data[0, size), the stream's bytes
// from offset base; returns how many bytes they took. Sets broken on a bad
// byte; with oneJob, stops after an end-of-job command.
std::size_t walkCommands(StreamChecker& c, const unsigned char* data, std::size_t size, std::size_t base,
                         bool oneJob)
{
    std::size_t pos = 0;
    while (pos < size && !(oneJob && c.place == StreamPlace::AfterEndOfJob)) {
        const Step step = stepCommand(c, data, size, pos, base);
        if (step == Step::Broken)
            c.broken = true;
        if (step != Step::Done)
            break;
    }
    return pos;
}

// Whole-stream results gathered from the checker's calls.
struct Gather {
    DecodedStream* out;
    bool keepRows;
};

// gatherPage, gatherRow, gatherEnd: the checker's calls for decodeStream and scanStream.
void gatherPage(void* ctx, std::size_t offset)
{
    auto* g = static_cast<Gather*>(ctx);
    g->out->pages.emplace_back();
    g->out->pages.back().offset = offset;
}

void gatherRow(void* ctx, std::size_t, const std::vector<unsigned char>& row)
{
    auto* g = static_cast<Gather*>(ctx);
    if (g->keepRows)
        g->out->pages.back().rows.push_back(row);
}

void gatherEnd(void* ctx, const DecodedPage& page)
{
    DecodedPage& last = static_cast<Gather*>(ctx)->out->pages.back();
    std::vector<std::vector<unsigned char>> rows = std::move(last.rows);
    last = page;
    last.rows = std::move(rows);
}

// parse: decodeStream and scanStream, which differ only in keeping the rows.
bool parse(const unsigned char* data, std::size_t size, DecodedStream& out, DecodeError& err, bool keepRows)
{
    out = DecodedStream{};
    Gather gather{&out, keepRows};
    StreamChecker c;
    c.events.ctx = &gather;
    c.events.pageBegun = gatherPage;
    c.events.row = gatherRow;
    c.events.pageEnded = gatherEnd;
    const bool ok = checkBytes(c, data, size) && checkEnd(c);
    // A page cut short still counts what it had.
    if (!out.pages.empty() && c.place == StreamPlace::InPage) {
        DecodedPage& last = out.pages.back();
        last.dataLines = c.page.dataLines, last.blankLines = c.page.blankLines, last.widestLine = c.page.widestLine;
    }
    out.settings = c.settings;
    out.endOfJob = c.endOfJob;
    if (!ok)
        err = c.err;
    return ok;
}

// feedBytes: checkBytes and checkJobBytes; returns how many of the n bytes
// the job took: all of them unless oneJob and an end-of-job command came
// before their end (and all of them once the stream is broken).
std::size_t feedBytes(StreamChecker& c, const unsigned char* data, std::size_t n, bool oneJob)
{
    auto jobEnded = [&c, oneJob] { return oneJob && c.place == StreamPlace::AfterEndOfJob; };
    std::size_t used = 0;
    while (used < n && !c.broken && !jobEnded()) {
        if (c.held.empty()) {
            // Whole commands straight from the caller's bytes; only the
            // start of a command still coming is copied.
            const std::size_t took = walkCommands(c, data + used, n - used, c.consumed, oneJob);
            c.consumed += took;
            used += took;
            if (jobEnded())
                break;
            if (!c.broken)
                c.held.assign(data + used, data + n);
            used = n;
        } else {
            // Top the held command up by no more than the longest command,
            // so what is held stays under twice that.
            const std::size_t before = c.held.size();
            const std::size_t take = std::min(n - used, kMaxCommandBytes);
            c.held.insert(c.held.end(), data + used, data + used + take);
            const std::size_t took = walkCommands(c, c.held.data(), c.held.size(), c.consumed, oneJob);
            c.consumed += took;
            if (jobEnded()) {
                // The held bytes were a command's start, so the job's end
                // lies past them, in these bytes.
                used += took - before;
                c.held = std::vector<unsigned char>();
                break;
            }
            used += take;
            c.held.erase(c.held.begin(), c.held.begin() + static_cast<std::ptrdiff_t>(took));
            if (c.held.empty() || c.broken)
                c.held = std::vector<unsigned char>();  // give back what a long line took
        }
    }
    return c.broken ? n : used;
}

}  // namespace

bool decodeStream(const unsigned char* data, std::size_t size, DecodedStream& out, DecodeError& err)
{
    return parse(data, size, out, err, true);
}

bool scanStream(const unsigned char* data, std::size_t size, DecodedStream& out, DecodeError& err)
{
    return parse(data, size, out, err, false);
}

bool checkBytes(StreamChecker& c, const unsigned char* data, std::size_t n)
{
    feedBytes(c, data, n, false);
    return !c.broken;
}

std::size_t checkJobBytes(StreamChecker& c, const unsigned char* data, std::size_t n)
{
    return feedBytes(c, data, n, true);
}

bool checkEnd(StreamChecker& c)
{
    if (c.broken)
        return false;
    if (!c.held.empty()) {
        // The held bytes are a command's start: say what it still lacks.
        std::size_t pos = 0;
        stepCommand(c, c.held.data(), c.held.size(), pos, c.consumed, true);
        c.broken = true;
        return false;
    }
    // A job ends after a page or after the end-of-job command; an empty
    // stream or a settings block with no page is not something the filter sends.
    if (c.place == StreamPlace::BetweenPages || c.place == StreamPlace::AfterEndOfJob)
        return true;
    std::size_t n = 0;
    const CommandId* allowed = allowedAt(c.place, n);
    fail(&c.err, c.consumed, describe(allowed, n), "end of stream");
    c.broken = true;
    return false;
}

bool decodeLine(const unsigned char* enc, std::size_t len, std::vector<unsigned char>& out, DecodeError* err)
{
    out.clear();
    std::size_t i = 0;
    while (i < len) {
        const unsigned char header = enc[i];
        // 0x7F, 0x80 and 0x81 would stand for 128 bytes or more, which the
        // encoder never puts in one token.
        if (header >= 0x7F && header <= 0x81)
            return fail(err, i, "a token header, 0x00 to 0x7E (literal) or 0x82 to 0xFF (repeat)", byteText(header));
        const bool literal = header < 0x80;
        const std::size_t covers = literal ? header + 1u : 257u - header;
        const std::size_t dataBytes = literal ? covers : 1;
        if (dataBytes > len - i - 1)
            return fail(err, i,
                        "a token that fits the " + std::to_string(len - i - 1) + " data bytes left in its line",
                        byteText(header) + ", a " + (literal ? "literal" : "repeat") + " token with " +
                            std::to_string(dataBytes) + " data byte" + (dataBytes > 1 ? "s" : ""));
        if (out.size() + covers > kMaxLineBytes)
            return fail(err, i, "a line of at most " + std::to_string(kMaxLineBytes) + " bytes",
                        "a token that takes it to " + std::to_string(out.size() + covers) + " bytes");
        if (literal)
            out.insert(out.end(), enc + i + 1, enc + i + 1 + covers);
        else
            out.insert(out.end(), covers, enc[i + 1]);
        i += 1 + dataBytes;
    }
    return true;
}

bool nextPageRow(PageRows& walk, std::vector<unsigned char>& row)
{
    auto at = [&walk](const unsigned char* bytes, std::size_t n) {
        return walk.size - walk.pos >= n && std::memcmp(walk.data + walk.pos, bytes, n) == 0;
    };
    if (walk.pos > walk.size)
        return false;
    if (at(szBeginPageCmd.data(), szBeginPageCmd.size()))
        walk.pos += szBeginPageCmd.size();
    if (at(szBlankLineCmd.data(), szBlankLineCmd.size())) {
        row.clear();
        walk.pos += szBlankLineCmd.size();
        return true;
    }
    if (at(kLineDataPrefix.data(), kLineDataPrefix.size()) && walk.size - walk.pos >= kLineDataPrefix.size() + 2) {
        const std::size_t lenAt = walk.pos + kLineDataPrefix.size();
        const std::size_t len = walk.data[lenAt] | walk.data[lenAt + 1] << 8;
        if (walk.size - lenAt - 2 >= len && decodeLine(walk.data + lenAt + 2, len, row)) {
            walk.pos = lenAt + 2 + len;
            return true;
        }
    }
    return false;
}

}  // namespace quorvel
