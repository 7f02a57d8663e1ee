#pragma once
// Byte counts as file managers show them: decimal units (1 KB = 1000 bytes), whole kilobytes, one decimal
// for megabytes, two for larger units, no trailing zeros: "Zero KB", "1 byte", "999 bytes", "12 KB",
// "1.5 MB", "31.91 GB". No grouping separators, no locale.

#include <cstdint>
#include <string>

namespace vantrel::ByteCountText {

std::string fileStyle(std::uint64_t bytes);

} // namespace vantrel::ByteCountText
