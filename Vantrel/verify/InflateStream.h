#pragma once
// Deflate data (RFC 1951, raw as ZIP stores it, or in its zlib wrapping of RFC 1950 as PDF does) inflated
// through zlib to learn whether it is whole: the output is dropped as it comes, only its length and its
// CRC-32 are kept.

#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>

namespace vantrel::InflateStream {

enum class Wrapping : std::uint8_t { raw, zlib };

enum class End : std::uint8_t {
    complete,    // the data reached its end (and, wrapped, its Adler-32 check) inside the bytes
    ranOut,      // the bytes ended first, with nothing bad before
    bad,         // the data is not deflate data, or its check failed
    overBudget,  // it would produce more than the budget: not judged
};

struct Result {
    End end = End::bad;
    std::uint64_t producedBytes = 0;
    std::uint32_t crc = 0;  // CRC-32 of the output
};

// Inflates data until its end, bad data, the bytes' end, or more than budgetBytes of output.
Result inflate(ByteView data, Wrapping wrapping, std::uint64_t budgetBytes);

// CRC-32 of the bytes, as ZIP records it.
std::uint32_t crc32Of(ByteView data);

} // namespace vantrel::InflateStream
