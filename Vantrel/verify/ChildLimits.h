#pragma once
// What the serving program and the decoding program share of their arguments and limits: the exit
// statuses, the bounds on a file and on memory, the parsing of a count and the setting of a limit.

#include <cstdint>
#include <optional>
#include <string_view>
#include <sys/resource.h>

namespace vantrel::ChildLimits {

inline constexpr int usageExit = 2;
inline constexpr int limitExit = 3;
// The largest file read: the application hands over probes of at most 12 MiB and recovered pictures.
inline constexpr std::uint64_t maxFileBytes = 1ULL << 30;
inline constexpr std::uint64_t maxMemoryMiB = 1ULL << 20;

// A count above zero, the whole of text; nothing otherwise.
std::optional<std::uint64_t> count(std::string_view text);

// The soft and the hard limit of resource, both at value.
bool limit(int resource, rlim_t value);

// No core files, and the address space bounded at memoryMiB: every allocation a decoder makes stays
// within it. AddressSanitizer reserves terabytes of shadow memory up front, so its builds rely on the
// CPU and wall-clock limits alone.
bool limitCoreAndMemory(std::uint64_t memoryMiB);

} // namespace vantrel::ChildLimits
