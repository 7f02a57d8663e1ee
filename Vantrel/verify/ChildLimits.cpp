#include "Vantrel/verify/ChildLimits.h"

#include <charconv>

namespace vantrel::ChildLimits {

std::optional<std::uint64_t> count(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0) return std::nullopt;
    return value;
}

bool limit(int resource, rlim_t value) {
    const rlimit bounds{value, value};
    return ::setrlimit(resource, &bounds) == 0;
}

bool limitCoreAndMemory(std::uint64_t memoryMiB) {
    if (!limit(RLIMIT_CORE, 0)) return false;
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return limit(RLIMIT_AS, static_cast<rlim_t>(memoryMiB) << 20);
}

} // namespace vantrel::ChildLimits
