// Line encoder. Tokens: header 0..126 is a literal of header + 1 inverted
// bytes; header -126..-1 repeats one inverted byte 1 - header times. No token
// covers more than 127 input bytes, so 127, -127 and -128 never occur.
#include "line_encoder.h"

#include <cstring>

#include "output_cache.h"
#include "printer_commands.h"

unsigned char* szCompressBuf = nullptr;
std::uint32_t gCompressBufSize = 0;

constexpr std::uint32_t kMaxTokenBytes = 127;

// load64: eight bytes as one word, whatever their alignment.
static inline std::uint64_t load64(const unsigned char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// runLength: how many bytes from i equal line[i], at most limit. Long runs
// (white margins, solid bars) are compared a word at a time.
static inline std::uint32_t runLength(const unsigned char* line, std::uint32_t i,
                                      std::uint32_t limit)
{
    const unsigned char b = line[i];
    const std::uint64_t pattern = 0x0101010101010101ULL * b;
    std::uint32_t count = 1;
    while (count + 8 <= limit && load64(line + i + count) == pattern)
        count += 8;
    while (count < limit && line[i + count] == b)
        ++count;
    return count;
}

// encodeLine: the whole token grammar in one pass.
std::uint32_t encodeLine(const unsigned char* line, std::uint32_t n, unsigned char* out)
{
    std::uint32_t i = 0;
    std::uint32_t o = 0;
    while (i < n) {
        const std::uint32_t r = n - i;
        if (r == 1) {
            out[o++] = 0x00;
            out[o++] = static_cast<unsigned char>(~line[i]);
            break;
        }
        if (line[i] == line[i + 1]) {
            // A run: two equal bytes are always a repeat token, even when a
            // literal could have absorbed them.
            std::uint32_t count = 2;
            if (r > 2 && line[i + 2] == line[i])
                count = runLength(line, i, r < kMaxTokenBytes ? r : kMaxTokenBytes);
            out[o++] = static_cast<unsigned char>(1 - static_cast<int>(count));
            out[o++] = static_cast<unsigned char>(~line[i]);
            i += count;
            continue;
        }
        // line[i] differs from line[i + 1].
        std::uint32_t c = 1;
        if (r > 2 && line[i + 1] != line[i + 2]) {
            // A literal stops before the next equal pair, at 127 bytes, or one
            // byte short of the line end: that last byte is always sent as a
            // literal of its own.
            std::uint32_t j = i + 3;
            while (j != n && j - i - 1 != kMaxTokenBytes && line[j] != line[j - 1])
                ++j;
            c = j - i - 1;
        }
        out[o++] = static_cast<unsigned char>(c - 1);
        for (std::uint32_t k = 0; k < c; ++k)
            out[o++] = static_cast<unsigned char>(~line[i + k]);
        i += c;
    }
    return o;
}

// compressImageData: header, then the encoded line, as two pieces. When both
// pieces are sure to fit without a write-out, the command is built straight
// into the cache, which gives the same bytes in the same write-outs without
// the copy through the encode buffer.
void compressImageData(const unsigned char* line, std::uint32_t n)
{
    unsigned char header[kLineDataHeaderSize] = {kLineDataPrefix[0], kLineDataPrefix[1],
                                                 kLineDataPrefix[2], kLineDataPrefix[3], 0, 0};
    const std::uint64_t worst = std::uint64_t{2} * n;
    if (worst + kLineDataHeaderSize < kPrnCacheSize) {
        if (unsigned char* tail = cacheTailFor(kLineDataHeaderSize + static_cast<std::uint32_t>(worst))) {
            const std::uint32_t len = encodeLine(line, n, tail + kLineDataHeaderSize);
            putLe16(header + 4, len);
            std::memcpy(tail, header, kLineDataHeaderSize);
            cacheCommit(kLineDataHeaderSize + len);
            return;
        }
    }
    const std::uint32_t len = encodeLine(line, n, szCompressBuf);
    putLe16(header + 4, len);
    cachePrnCmd(header, kLineDataHeaderSize);
    cachePrnCmd(szCompressBuf, len);
}
