// The printer stream read back: checks a job's bytes against the command
// grammar the filter speaks and decodes the pages into rows of printer bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorvel {

// What the settings block at the head of a job said; present is false when
// the job was sent without one.
struct StreamSettings {
    bool present = false;
    unsigned widthDots = 0, heightDots = 0, copies = 0;
    int density = -1, weight = -1;  // levels 0 to 4
    int duplex = 0;                 // 0 one-sided, 1 long edge (pages sent turned round), 2 short edge
    bool manualDuplex = false;
};

struct DecodedPage {
    // One entry per line command, in order: the decoded printer bytes (set bit
    // = black), the three lead bytes included; a blank-line command is an
    // empty vector. Left empty by scanStream.
    std::vector<std::vector<unsigned char>> rows;
    unsigned dataLines = 0, blankLines = 0;
    std::size_t bytes = 0;       // stream bytes of the page, begin and end commands included
    std::size_t offset = 0;      // stream offset of the page's begin-page command
    std::size_t widestLine = 0;  // bytes in the page's widest decoded line
};

struct DecodedStream {
    StreamSettings settings;
    std::vector<DecodedPage> pages;
    bool endOfJob = false;
};

struct DecodeError {
    std::size_t offset = 0;  // the first byte that breaks the grammar (the stream size at a cut)
    std::string expected;    // what the grammar allows there
    std::string found;       // what is there instead: a byte, a misplaced command, or end of stream
};

// A decoded line never holds more than this: the widest paper the size
// command can name (65535 dots, in whole bytes) plus the three lead bytes.
constexpr std::size_t kMaxLineBytes = 8195;

// decodeStream: whole-stream validation and decoding; false with err filled
// on the first byte that breaks the grammar.
bool decodeStream(const unsigned char* data, std::size_t size, DecodedStream& out, DecodeError& err);

// scanStream: the same validation and counts as decodeStream, without keeping
// the rows, so a long job costs no more memory than its bytes.
bool scanStream(const unsigned char* data, std::size_t size, DecodedStream& out, DecodeError& err);

// Where a walk over a job is: which commands may come next.
enum class StreamPlace { Start, AfterSettings, InPage, BetweenPages, AfterEndOfJob };

// What the incremental checker tells its caller as commands complete; any
// call may be left null. Offsets count from the stream's first byte.
struct CheckEvents {
    void* ctx = nullptr;
    void (*settings)(void* ctx, const StreamSettings& settings) = nullptr;
    void (*pageBegun)(void* ctx, std::size_t offset) = nullptr;
    // row: a line command at offset, decoded (empty for a blank line).
    void (*row)(void* ctx, std::size_t offset, const std::vector<unsigned char>& row) = nullptr;
    // pageEnded: the page's counts once its end-page command is in.
    void (*pageEnded)(void* ctx, const DecodedPage& page) = nullptr;
};

// StreamChecker: a job checked as its bytes arrive, in pieces of any size.
// It holds only the command not yet whole (at most a line data command,
// 65541 bytes) and the current page's counts, so a stream that never ends,
// or a page of millions of rows, costs no more memory than a short one.
struct StreamChecker {
    CheckEvents events;
    StreamPlace place = StreamPlace::Start;
    StreamSettings settings;
    DecodedPage page;              // the page being read or the last one read; rows never kept
    std::size_t pages = 0;         // begin-page commands read
    std::size_t consumed = 0;      // stream bytes taken as whole commands
    bool endOfJob = false;
    bool broken = false;           // a byte broke the grammar: err says where, later bytes are ignored
    DecodeError err;
    std::vector<unsigned char> held;  // the start of a command still coming
    std::vector<unsigned char> row;   // scratch for decoded lines
};

// The longest command a stream can hold: a line data command with the
// largest encoded length its 16-bit field can give.
constexpr std::size_t kMaxCommandBytes = 6 + 65535;

// checkBytes: the next n bytes of the stream; false once it is broken.
bool checkBytes(StreamChecker& checker, const unsigned char* data, std::size_t n);

// checkJobBytes: checkBytes for a connection that carries jobs back to back,
// as a printer's raw port takes them: it stops after an end-of-job command
// and returns how many of the n bytes are this job's (all of them once the
// job is broken). The bytes it leaves begin the next job.
std::size_t checkJobBytes(StreamChecker& checker, const unsigned char* data, std::size_t n);

// checkEnd: the stream has ended; false (err filled, found "end of stream")
// when it ends inside a command, or where the filter never ends a job.
bool checkEnd(StreamChecker& checker);

// decodeLine: decode one encoded line body of len bytes; false if malformed
// (err offset relative to enc).
bool decodeLine(const unsigned char* enc, std::size_t len, std::vector<unsigned char>& out,
                DecodeError* err = nullptr);

// PageRows: a walk over the line commands of one page that decodeStream or
// scanStream has accepted; start it at the page's offset.
struct PageRows {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
};

// nextPageRow: the next row of the page into row (empty for a blank line);
// false once the end-page command is reached.
bool nextPageRow(PageRows& walk, std::vector<unsigned char>& row);

}  // namespace quorvel
