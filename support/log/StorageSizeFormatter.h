#pragma once
// Byte counts for status lines, in binary units: "64 MB", "1.5 GB", "2 TB". There is no unit below MB,
// so 512 KiB reads "0.5 MB" and 0 bytes "0 MB".

#include <cstdint>
#include <string>

namespace vantrel::StorageSizeFormatter {

std::string format(std::uint64_t bytes);
// A negative count reads as 0.
std::string format(std::int64_t bytes);

} // namespace vantrel::StorageSizeFormatter
