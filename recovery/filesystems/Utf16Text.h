#pragma once
// Names stored as UTF-16 code units (FAT long names and exFAT names little-endian, HFS Plus names
// big-endian), as UTF-8 text.

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(const std::vector<std::uint16_t>& units);

} // namespace vantrel
