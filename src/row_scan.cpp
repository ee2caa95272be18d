// Row scans, in a portable form and an AVX2 form, chosen once per process.
#include "row_scan.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "printer_stream.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUORVEL_HAVE_AVX2_SCANS 1
#endif

namespace {

// load64: eight bytes as one word, first byte lowest, whatever the alignment
// and the machine's byte order.
inline std::uint64_t load64(const unsigned char* p)
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

// ChangeWriter: turns pair-mask words, in order, into change-mask words.
// Pair bits from the last byte on are dropped first (the last byte has no
// next byte), and the guard word follows the last word.
class ChangeWriter {
public:
    ChangeWriter(std::uint32_t n, std::uint64_t* changes)
        : changes_(changes), lastWord_((n - 1) / 64),
          lastBits_((std::uint64_t{1} << ((n - 1) % 64)) - 1)
    {
    }
    std::uint32_t words() const { return lastWord_ + 1; }
    void put(std::uint32_t w, std::uint64_t pairs)
    {
        if (w == lastWord_)
            pairs &= lastBits_;
        changes_[w] = pairs ^ ((pairs << 1) | carry_);
        carry_ = pairs >> 63;
    }
    void finish() { changes_[lastWord_ + 1] = 1; }

private:
    std::uint64_t* changes_;
    std::uint32_t lastWord_;
    std::uint64_t lastBits_;
    std::uint64_t carry_ = 0;
};

// ---- portable forms ----

void fillPortable(unsigned char* p, std::size_t n, unsigned char value)
{
    std::memset(p, value, n);
}

void invertPortable(unsigned char* p, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        w = ~w;
        std::memcpy(p + i, &w, sizeof w);
    }
    for (; i < n; ++i)
        p[i] = static_cast<unsigned char>(~p[i]);
}

// allWhitePortable: four words are and-ed together before one test.
bool allWhitePortable(const unsigned char* p, std::uint32_t n)
{
    constexpr std::uint64_t kWhite = ~std::uint64_t{0};
    std::uint32_t i = 0;
    for (; i + 32 <= n; i += 32)
        if ((load64(p + i) & load64(p + i + 8) & load64(p + i + 16) & load64(p + i + 24)) != kWhite)
            return false;
    for (; i + 8 <= n; i += 8)
        if (load64(p + i) != kWhite)
            return false;
    for (; i < n; ++i)
        if (p[i] != 0xFF)
            return false;
    return true;
}

// equalBytes8: bit j set when byte j of the two words is equal. A byte of
// x is zero exactly when the high bit of ~((x & 7F) + 7F | x | 7F) is set;
// the multiply gathers the eight high bits (one per byte) into the top byte.
inline std::uint64_t equalBytes8(std::uint64_t a, std::uint64_t b)
{
    constexpr std::uint64_t k7F = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t x = a ^ b;
    const std::uint64_t zero = ~(((x & k7F) + k7F) | x | k7F);
    return ((zero >> 7) * 0x0102040810204080ULL) >> 56;
}

void changeMaskPortable(const unsigned char* line, std::uint32_t n, std::uint64_t* changes)
{
    ChangeWriter out(n, changes);
    for (std::uint32_t w = 0; w < out.words(); ++w) {
        const unsigned char* p = line + 64 * w;
        std::uint64_t pairs = 0;
        for (std::uint32_t g = 0; g < 8; ++g)
            pairs |= equalBytes8(load64(p + 8 * g), load64(p + 8 * g + 1)) << (8 * g);
        out.put(w, pairs);
    }
    out.finish();
}

#ifdef QUORVEL_HAVE_AVX2_SCANS

// ---- AVX2 forms: 32 bytes per step ----

__attribute__((target("avx2"))) inline __m256i load256(const unsigned char* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline void store256(unsigned char* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// fillAvx2: plain vector stores; the last store overlaps the one before it
// rather than falling back to bytes.
__attribute__((target("avx2"))) void fillAvx2(unsigned char* p, std::size_t n, unsigned char value)
{
    if (n < 32) {
        std::memset(p, value, n);
        return;
    }
    const __m256i v = _mm256_set1_epi8(static_cast<char>(value));
    std::size_t i = 0;
    // Pages are made white before every read, so this runs over every
    // byte of every page: eight stores per step.
    for (; i + 256 <= n; i += 256)
        for (std::size_t k = 0; k < 256; k += 32)
            store256(p + i + k, v);
    for (; i + 32 <= n; i += 32)
        store256(p + i, v);
    if (i < n)
        store256(p + n - 32, v);
}

__attribute__((target("avx2"))) void invertAvx2(unsigned char* p, std::size_t n)
{
    const __m256i ones = _mm256_set1_epi8(-1);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32)
        store256(p + i, _mm256_xor_si256(load256(p + i), ones));
    invertPortable(p + i, n - i);
}

// allWhiteAvx2: 256 bytes and-ed per test; what is left is tested as
// vectors that end on the last byte, overlapping bytes already tested.
__attribute__((target("avx2"))) inline __m256i and8(const unsigned char* p)
{
    return _mm256_and_si256(
        _mm256_and_si256(_mm256_and_si256(load256(p), load256(p + 32)),
                         _mm256_and_si256(load256(p + 64), load256(p + 96))),
        _mm256_and_si256(_mm256_and_si256(load256(p + 128), load256(p + 160)),
                         _mm256_and_si256(load256(p + 192), load256(p + 224))));
}

__attribute__((target("avx2"))) bool allWhiteAvx2(const unsigned char* p, std::uint32_t n)
{
    if (n < 32)
        return allWhitePortable(p, n);
    const __m256i ones = _mm256_set1_epi8(-1);
    std::uint32_t i = 0;
    for (; i + 256 <= n; i += 256)
        if (!_mm256_testc_si256(and8(p + i), ones))
            return false;
    if (i == n)
        return true;
    if (n >= 256)
        return _mm256_testc_si256(and8(p + n - 256), ones);
    for (; i + 32 <= n; i += 32)
        if (!_mm256_testc_si256(load256(p + i), ones))
            return false;
    return i == n || _mm256_testc_si256(load256(p + n - 32), ones);
}

// changeMaskAvx2: compare the line with itself shifted by one byte, 64
// bytes per mask word. Reads up to 96 bytes past the last word's start.
__attribute__((target("avx2"))) void changeMaskAvx2(const unsigned char* line, std::uint32_t n,
                                                    std::uint64_t* changes)
{
    ChangeWriter out(n, changes);
    for (std::uint32_t w = 0; w < out.words(); ++w) {
        const unsigned char* p = line + 64 * w;
        const auto lo = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(load256(p), load256(p + 1))));
        const auto hi = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(load256(p + 32), load256(p + 33))));
        out.put(w, lo | (std::uint64_t{hi} << 32));
    }
    out.finish();
}

#endif

constexpr ScanOps kPortableOps = {fillPortable, invertPortable, allWhitePortable, changeMaskPortable,
                                 "portable"};

#ifdef QUORVEL_HAVE_AVX2_SCANS
constexpr ScanOps kAvx2Ops = {fillAvx2, invertAvx2, allWhiteAvx2, changeMaskAvx2, "avx2"};
#endif

// pickScans: the best forms the processor has, unless QUORVEL_SCANS=portable
// asks for the portable ones (so tests and benchmarks can run both).
const ScanOps* pickScans()
{
    const char* want = std::getenv("QUORVEL_SCANS");
    if (want != nullptr && std::strcmp(want, "portable") == 0)
        return &kPortableOps;
#ifdef QUORVEL_HAVE_AVX2_SCANS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return &kAvx2Ops;
#endif
    return &kPortableOps;
}

} // namespace

// scans: chosen on first use and never changed. Threads that race to the
// first use all pick the same forms, so a plain atomic pointer will do.
const ScanOps& scans()
{
    static std::atomic<const ScanOps*> chosen{nullptr};
    const ScanOps* ops = chosen.load(std::memory_order_acquire);
    if (ops == nullptr) {
        ops = pickScans();
        chosen.store(ops, std::memory_order_release);
    }
    return *ops;
}

void fillBytes(unsigned char* p, std::size_t n, unsigned char value)
{
    scans().fill(p, n, value);
}

void invertBytes(unsigned char* p, std::size_t n)
{
    scans().invert(p, n);
}

bool allWhite(const unsigned char* p, std::uint32_t n)
{
    return scans().allWhite(p, n);
}

void changeMask(const unsigned char* line, std::uint32_t n, std::uint64_t* changes)
{
    scans().changeMask(line, n, changes);
}

const char* quorvelScanName()
{
    return scans().name;
}
