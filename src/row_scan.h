// Row scans: the byte loops that every row of every page pays for (filling
// the page store, the blank test, finding runs for the encoder), done a
// vector at a time. On x86-64 the AVX2 forms are chosen at run time when the
// processor has them; elsewhere a portable form works a 64-bit word at a
// time. All forms give the same results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "printer_stream.h"

// Words changeMask writes for n bytes: one bit per byte, plus the guard word.
constexpr std::uint32_t changeMaskWords(std::uint32_t n)
{
    return (n + 63) / 64 + 1;
}

// fillBytes: set n bytes at p to value.
void fillBytes(unsigned char* p, std::size_t n, unsigned char value);

// invertBytes: flip every bit of n bytes at p.
void invertBytes(unsigned char* p, std::size_t n);

// allWhite: true when all n bytes at p are 0xFF; true for n = 0.
bool allWhite(const unsigned char* p, std::uint32_t n);

// changeMask: where the runs of equal bytes of a line begin and end. Call
// pair bit k "line[k] == line[k + 1]", for k < n - 1, and clear from the
// last byte on. Bit k of changes (word k / 64, bit k % 64) is set where pair
// bit k differs from pair bit k - 1 (bit -1 counts as clear): at the first
// byte of each run of two or more equal bytes, and at its last byte. The
// word after the line's last word is a guard with bit 0 set. For n >= 1;
// line must have kScanSlack readable bytes after byte n - 1.
void changeMask(const unsigned char* line, std::uint32_t n, std::uint64_t* changes);

// The scans as one set of functions, the form this process uses; a loop
// over many rows takes them once instead of on every call.
struct ScanOps {
    void (*fill)(unsigned char*, std::size_t, unsigned char);
    void (*invert)(unsigned char*, std::size_t);
    bool (*allWhite)(const unsigned char*, std::uint32_t);
    void (*changeMask)(const unsigned char*, std::uint32_t, std::uint64_t*);
    const char* name;
};
const ScanOps& scans();
