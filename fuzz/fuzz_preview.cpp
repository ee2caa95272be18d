// Fuzz target: any bytes through the stream decoder. Besides not crashing,
// the two decoding passes must agree with each other, with the checker fed
// in pieces and with the row walk that draws the pages, and an error must
// point inside the stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "stream_decoder.h"
#include "stream_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quorvel::DecodedStream full, scanned;
    quorvel::DecodeError err, scanErr;
    const bool ok = quorvel::decodeStream(data, size, full, err);
    if (ok != quorvel::scanStream(data, size, scanned, scanErr))
        std::abort();
    std::vector<unsigned char> row;
    quorvel::DecodeError lineErr;
    if (!quorvel::decodeLine(data, size, row, &lineErr) && lineErr.offset >= size)
        std::abort();
    if (!ok && (err.offset > size || err.offset != scanErr.offset || quorvel::describeError(err).empty()))
        std::abort();
    // The same bytes as a network printer gets them, in pieces of 1 to 97
    // bytes: the same verdict, the same error.
    quorvel::StreamChecker checker;
    const std::size_t piece = size ? 1 + data[0] % 97 : 1;
    for (std::size_t at = 0; at < size && quorvel::checkBytes(checker, data + at, std::min(piece, size - at));)
        at += piece;
    if (quorvel::checkEnd(checker) != ok ||
        (!ok && quorvel::describeError(checker.err) != quorvel::describeError(err)))
        std::abort();
    if (!ok)
        return 0;
    if (quorvel::describeStream(full) != quorvel::describeStream(scanned))
        std::abort();
    for (const quorvel::DecodedPage& page : full.pages) {
        if (page.rows.size() != page.dataLines + page.blankLines || page.offset + page.bytes > size)
            std::abort();
        quorvel::PageRows walk{data, size, page.offset};
        std::size_t r = 0;
        for (; quorvel::nextPageRow(walk, row); ++r)
            if (r >= page.rows.size() || row != page.rows[r] || row.size() > quorvel::kMaxLineBytes)
                std::abort();
        if (r != page.rows.size() || walk.pos + 3 != page.offset + page.bytes)
            std::abort();
    }
    return 0;
}
