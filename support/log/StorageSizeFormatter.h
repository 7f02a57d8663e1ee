#pragma once
// Byte counts for status lines, in binary units: "64 MB", "1.5 GB", "2 TB". There is no unit below MB,
// so 512 KiB reads "0.5 MB" and 0 bytes "0 MB".

#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

namespace vantrel::StorageSizeFormatter {

std::string format(std::uint64_t bytes);
// A negative count reads as 0.
std::string format(std::int64_t bytes);

// Other integer types go to the overload of their signedness, so format(0) is not ambiguous.
template <std::integral Count>
    requires(!std::same_as<Count, std::uint64_t> && !std::same_as<Count, std::int64_t> && !std::same_as<Count, bool>)
std::string format(Count bytes) {
    if constexpr (std::is_signed_v<Count>)
        return format(static_cast<std::int64_t>(bytes));
    else
        return format(static_cast<std::uint64_t>(bytes));
}

} // namespace vantrel::StorageSizeFormatter
