// Google Benchmark for the two per-row costs of the filter: the blank-row
// test every row goes through and the line encoder every printed row goes
// through, on the kinds of rows real pages are made of (A4 at 600 dpi). Figures only; the
// round-trip and end-to-end tests guard the bytes.
#include "line_encoder.h"
#include "line_output.h"
#include "output_cache.h"
#include "row_scan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

namespace {

// A4 at 600 dpi: 4960 dots, 620 bytes a row. Rows are white-is-set: 0xFF is
// white, a clear bit prints.
constexpr std::uint32_t kRowBytes = 620;

enum class Row { White, Text, Barcode, Solid, Noise };

std::vector<unsigned char> makeRow(Row kind)
{
    std::vector<unsigned char> row(kRowBytes, 0xFF);
    std::mt19937 rng(620);
    switch (kind) {
    case Row::White:
        break;
    case Row::Text:
        // A line through 10-point type: glyph stems a few bytes wide with
        // white between words and wide white margins.
        for (std::uint32_t x = 60; x < kRowBytes - 60; x += 1 + rng() % 6) {
            if (rng() % 7 == 0) {
                x += 4; // a word gap
                continue;
            }
            row[x] = static_cast<unsigned char>(rng());
        }
        break;
    case Row::Barcode:
        // Bars and spaces of one to four modules of eight dots.
        for (std::uint32_t x = 100; x < kRowBytes - 100;) {
            const std::uint32_t bar = 1 + rng() % 4, space = 1 + rng() % 4;
            for (std::uint32_t i = 0; i < bar && x < kRowBytes - 100; ++i)
                row[x++] = 0x00;
            x += space;
        }
        break;
    case Row::Solid:
        for (std::uint32_t x = 40; x < kRowBytes - 40; ++x)
            row[x] = 0x00;
        break;
    case Row::Noise:
        for (auto& b : row)
            b = static_cast<unsigned char>(rng());
        break;
    }
    return row;
}

const char* rowName(Row kind)
{
    switch (kind) {
    case Row::White: return "white";
    case Row::Text: return "text";
    case Row::Barcode: return "barcode";
    case Row::Solid: return "solid";
    case Row::Noise: return "noise";
    }
    return "?";
}

// Each benchmark runs on the scans the processor has, and again on the
// portable word-at-a-time forms ("/portable").
struct Case {
    Row kind;
    bool portable;
};

void BM_isBlankRow(benchmark::State& state, Case c)
{
    usePortableScans(c.portable);
    const std::vector<unsigned char> row = makeRow(c.kind);
    for (auto _ : state)
        benchmark::DoNotOptimize(isBlankRow(row.data(), kRowBytes));
    usePortableScans(false);
}

// paddedRow: a row as the page store holds it, with readable bytes after it.
std::vector<unsigned char> paddedRow(Row kind)
{
    std::vector<unsigned char> row = makeRow(kind);
    row.resize(kRowBytes + kScanSlack, 0xFF);
    return row;
}

// The encoder alone: the row with its three white lead bytes.
void BM_encodeRow(benchmark::State& state, Case c)
{
    usePortableScans(c.portable);
    const std::vector<unsigned char> row = paddedRow(c.kind);
    std::vector<unsigned char> out(2 * (kRowBytes + kRowLead) + kScanSlack);
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeRow(row.data(), kRowBytes, out.data()));
        benchmark::ClobberMemory();
    }
    usePortableScans(false);
    state.SetBytesProcessed(state.iterations() * kRowBytes);
}

// The whole line data command built into the output cache, written out to
// /dev/null whenever the cache fills.
void BM_compressRow(benchmark::State& state, Case c)
{
    usePortableScans(c.portable);
    std::FILE* sink = std::fopen("/dev/null", "wb");
    setPrinterStream(sink);
    resetOutputCache();
    const std::vector<unsigned char> row = paddedRow(c.kind);
    std::vector<unsigned char> buf(2 * (kRowBytes + kRowLead) + 2 + kScanSlack);
    szCompressBuf = buf.data();
    gCompressBufSize = static_cast<std::uint32_t>(buf.size() - kScanSlack);
    for (auto _ : state)
        compressRow(row.data(), kRowBytes);
    cmdprn_to_out();
    szCompressBuf = nullptr;
    gCompressBufSize = 0;
    setPrinterStream(stdout);
    std::fclose(sink);
    usePortableScans(false);
    state.SetBytesProcessed(state.iterations() * kRowBytes);
}

void registerAll()
{
    for (bool portable : {false, true}) {
        const std::string suffix = portable ? "/portable" : "";
        for (Row kind : {Row::White, Row::Text, Row::Barcode, Row::Solid, Row::Noise}) {
            const std::string name = rowName(kind) + suffix;
            const Case c{kind, portable};
            benchmark::RegisterBenchmark(("isBlankRow/" + name).c_str(), BM_isBlankRow, c);
            if (kind == Row::White)
                continue; // white rows never reach the encoder
            benchmark::RegisterBenchmark(("encodeRow/" + name).c_str(), BM_encodeRow, c);
            benchmark::RegisterBenchmark(("compressRow/" + name).c_str(), BM_compressRow, c);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
