// Google Benchmark for the two per-row costs of the filter: the blank-row
// test every row goes through and the line encoder every printed row goes
// through, on the kinds of rows real pages are made of (A4 at 600 dpi). Figures only; the
// round-trip and end-to-end tests guard the bytes.
#include "line_encoder.h"
#include "printer_stream.h"
#include "row_scan.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
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

// The scans are chosen once per process: run again with
// QUORVEL_SCANS=portable for the portable word-at-a-time forms.
void BM_allWhite(benchmark::State& state, Row kind)
{
    const std::vector<unsigned char> row = makeRow(kind);
    for (auto _ : state)
        benchmark::DoNotOptimize(allWhite(row.data(), kRowBytes));
}

// paddedRow: a row as the page store holds it, with readable bytes after it.
std::vector<unsigned char> paddedRow(Row kind)
{
    std::vector<unsigned char> row = makeRow(kind);
    row.resize(kRowBytes + kScanSlack, 0xFF);
    return row;
}

// The encoder alone: the row with its three white lead bytes.
void BM_encodeRow(benchmark::State& state, Row kind)
{
    const std::vector<unsigned char> row = paddedRow(kind);
    std::vector<unsigned char> out(2 * (kRowBytes + kRowLead) + kScanSlack);
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeRow(row.data(), kRowBytes, out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kRowBytes);
}

int discard(void*, const unsigned char*, std::size_t)
{
    return 0;
}

// A row's whole way through a job: blank test, encoder, output cache, sink.
void BM_sendRow(benchmark::State& state, Row kind)
{
    const std::vector<unsigned char> row = paddedRow(kind);
    QuorvelPage page;
    page.width = 8 * kRowBytes, page.height = kStoreRows, page.bytesPerLine = kRowBytes;
    QuorvelJob job;
    quorvelJobInit(job, discard, nullptr);
    quorvelStartJob(job, page, PrintJobAttr());
    quorvelStartPage(job, page);
    std::uint32_t rows = 0;
    for (auto _ : state) {
        if (rows++ == kStoreRows) {
            quorvelEndPage(job);
            quorvelStartPage(job, page);
            rows = 1;
        }
        quorvelSendRows(job, row.data(), 0, 1);
    }
    quorvelEndJob(job);
    state.SetBytesProcessed(state.iterations() * kRowBytes);
}

void registerAll()
{
    const std::string scans = quorvelScanName();
    for (Row kind : {Row::White, Row::Text, Row::Barcode, Row::Solid, Row::Noise}) {
        const std::string name = std::string(rowName(kind)) + "/" + scans;
        benchmark::RegisterBenchmark(("allWhite/" + name).c_str(), BM_allWhite, kind);
        benchmark::RegisterBenchmark(("sendRow/" + name).c_str(), BM_sendRow, kind);
        if (kind != Row::White) // white rows never reach the encoder
            benchmark::RegisterBenchmark(("encodeRow/" + name).c_str(), BM_encodeRow, kind);
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
