#pragma once
// The search for a short byte string in a buffer, as the length rules use it for end markers and footers
// ("FF D9" of a JPEG, "%%EOF" of a PDF, ...): what memmem gives, found by comparing the string's first and
// last bytes at 32 positions at once and checking only the positions where both match (in random or
// compressed data about one in 65,536).

#include "recovery/bytesource/FieldReaders.h"

#include <cstddef>

namespace vantrel::ByteSearch {

// The position of the first occurrence of needle that starts at or after from and lies wholly inside hay,
// or hay.size() when there is none (also when from lies past the end). An empty needle is found at from.
std::size_t find(ByteView hay, ByteView needle, std::size_t from = 0);

// The same through the widest path no wider than bits (0: the plain library search, 256: the 32-byte
// vectors where the processor has them), so that tests can check each path against the others.
std::size_t findWithin(ByteView hay, ByteView needle, std::size_t from, int bits);

} // namespace vantrel::ByteSearch
