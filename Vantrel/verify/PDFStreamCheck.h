#pragma once
// Whether the compressed streams of a PDF inflate whole (ISO 32000-1, 7.3.8 and 7.4.4): each stream
// whose first filter is FlateDecode must reach the end of its zlib data (RFC 1950, with its Adler-32
// check) within its declared /Length, or up to its "endstream" keyword where the length is an indirect
// object. A PDF reader draws around a damaged font or picture stream without a word; zlib's own check
// does not pass it.
//
// Runs on bytes from damaged or hostile media: call it only inside the verifying child process.

#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>

namespace vantrel::PDFStreamCheck {

// Streams inflated at most, and bytes inflated at most over all of them; the streams after are not read.
inline constexpr std::uint64_t maxStreams = 10'000;
inline constexpr std::uint64_t maxInflatedBytes = 512ULL << 20;

// How many FlateDecode streams do not inflate whole, read until budgetSeconds of CPU time are spent.
// An encrypted document's streams are not read (they inflate only once decrypted).
std::uint64_t brokenStreams(ByteView bytes, double budgetSeconds);

} // namespace vantrel::PDFStreamCheck
