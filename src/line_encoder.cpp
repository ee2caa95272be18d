// Line encoder. Tokens: header 0..126 is a literal of header + 1 inverted
// bytes; header -126..-1 repeats one inverted byte 1 - header times. No token
// covers more than 127 input bytes, so 127, -127 and -128 never occur.
//
// The grammar, read left to right from byte i of an n-byte line:
//   - the last byte alone is a one-byte literal;
//   - two equal bytes start a run, as long as the bytes stay equal (at most
//     127), even where a literal could have absorbed them;
//   - otherwise a literal runs up to the next pair of equal bytes, at most
//     127 bytes, and always stops one byte short of the line end.
// Every decision looks only at the bytes from i on, so a line can be
// encoded from any token boundary onward, independently of what came first.
//
// Fast path: instead of comparing byte by byte, changeMask marks with one
// bit per byte where each run of equal bytes begins and ends, so each token
// boundary is one count-trailing-zeros away; literals are copied and
// inverted eight bytes at a time. This costs a few instructions per token
// rather than per byte.
#include "line_encoder.h"

#include <cstring>

#include "printer_commands.h"
#include "row_scan.h"

namespace {

constexpr std::uint32_t kMaxTokenBytes = 127;

// Boundaries: the set bits of a change mask, in order, after a given start.
// They alternate: a run's first byte, its last byte, the next run's first
// byte, ...; the bytes between one run's last byte and the next run's
// first are literal bytes. The guard bit past the line ends the list.
class Boundaries {
public:
    Boundaries(const std::uint64_t* changes, std::uint32_t after)
        : changes_(changes), w_(after / 64), base_(64 * w_)
    {
        // (~0 << s) << 1 rather than ~0 << (s + 1), which is undefined for s = 63.
        t_ = changes_[w_] & ((~std::uint64_t{0} << (after % 64)) << 1);
    }

    // next: the next boundary; past the line's end, the guard.
    std::uint32_t next()
    {
        while (t_ == 0) {
            t_ = changes_[++w_];
            base_ += 64;
        }
        const std::uint32_t at = base_ + static_cast<std::uint32_t>(__builtin_ctzll(t_));
        t_ &= t_ - 1;
        return at;
    }

private:
    const std::uint64_t* changes_;
    std::uint32_t w_;
    std::uint32_t base_;
    std::uint64_t t_;
};

// copyInverted: c >= 1 inverted bytes, eight at a time; may read and write
// up to seven bytes past the literal (both buffers have the slack). Most
// literals are a few edge bytes of a glyph, so the first word is unrolled.
inline void copyInverted(unsigned char* out, const unsigned char* in, std::uint32_t c)
{
    std::uint32_t k = 0;
    do {
        std::uint64_t w;
        std::memcpy(&w, in + k, sizeof w);
        w = ~w;
        std::memcpy(out + k, &w, sizeof w);
        k += 8;
    } while (k < c);
}

// putRun: a repeat token of c bytes of value v (v not yet inverted).
inline unsigned char* putRun(unsigned char* o, std::uint32_t c, unsigned char v)
{
    o[0] = static_cast<unsigned char>(1 - static_cast<int>(c));
    o[1] = static_cast<unsigned char>(~v);
    return o + 2;
}

// putLiteral: a literal token of the c >= 1 bytes at in.
inline unsigned char* putLiteral(unsigned char* o, const unsigned char* in, std::uint32_t c)
{
    o[0] = static_cast<unsigned char>(c - 1);
    copyInverted(o + 1, in, c);
    return o + c + 1;
}

// encodeTokens: the tokens for line[p..n), p a token boundary, given the
// line's change mask. line and out need kScanSlack bytes of slack. The loop
// alternates a run phase and a literal phase, each one boundary long.
std::uint32_t encodeTokens(const unsigned char* line, std::uint32_t n, std::uint32_t p,
                           const std::uint64_t* changes, unsigned char* out)
{
    const std::uint32_t last = n - 1;
    unsigned char* o = out;
    if (p < last) {
        Boundaries bounds(changes, p);
        bool inRun = line[p] == line[p + 1];
        for (;;) {
            if (inRun) {
                // Bytes p to b are equal (at least two). Whole tokens of 127
                // first; a single byte left over cannot be a run and opens
                // the literal.
                const std::uint32_t b = bounds.next();
                const unsigned char v = line[p];
                std::uint32_t c = b - p + 1;
                p = b + 1;
                if (c > kMaxTokenBytes) {
                    for (; c > kMaxTokenBytes; c -= kMaxTokenBytes)
                        o = putRun(o, kMaxTokenBytes, v);
                    if (c == 1)
                        p = b;
                }
                if (p != b)
                    o = putRun(o, c, v);
                if (p >= last)
                    break;
            }
            inRun = true;
            // Literal bytes up to the next run's start, stopping one byte
            // short of the line end.
            const std::uint32_t a = bounds.next();
            const std::uint32_t end = a < last ? a : last;
            for (; end - p > kMaxTokenBytes; p += kMaxTokenBytes)
                o = putLiteral(o, line + p, kMaxTokenBytes);
            if (end > p) {
                o = putLiteral(o, line + p, end - p);
                p = end;
            }
            if (a >= last)
                break;
        }
    }
    if (p == last) {
        o[0] = 0x00;
        o[1] = static_cast<unsigned char>(~line[last]);
        o += 2;
    }
    return static_cast<std::uint32_t>(o - out);
}

} // namespace

// encodeRow: the three lead bytes are white, so the line always opens with
// a run of white covering them and any white at the start of the pixels;
// the pixels' own tokens follow from where that run ends.
std::uint32_t encodeRow(const unsigned char* pixels, std::uint32_t n, unsigned char* out)
{
    std::uint64_t changes[changeMaskWords(kMaxRowBytes)];
    std::uint32_t count = kRowLead;
    if (n > 0) {
        changeMask(pixels, n, changes);
        if (pixels[0] == 0xFF) {
            // White pixels from the first on: one, or up to the end of the
            // run that starts at byte 0 (its first boundary is byte 0).
            count += n > 1 && pixels[1] == 0xFF ? Boundaries(changes, 0).next() + 1 : 1;
        }
        if (count > kMaxTokenBytes)
            count = kMaxTokenBytes;
    }
    out[0] = static_cast<unsigned char>(1 - static_cast<int>(count));
    out[1] = 0x00;
    if (n == 0)
        return 2;
    return 2 + encodeTokens(pixels, n, count - kRowLead, changes, out + 2);
}

std::uint32_t encodeLine(const unsigned char* line, std::uint32_t n, unsigned char* out)
{
    if (n == 0)
        return 0;
    std::uint64_t changes[changeMaskWords(kMaxRowBytes)];
    changeMask(line, n, changes);
    return encodeTokens(line, n, 0, changes, out);
}
