#pragma once
// What the application and its verifying child process `vantrel-verify` say to each other. The child is
// started as
//     vantrel-verify --kind=<kind> [--cut-at-cap] --cpu-seconds=<n> --memory-mib=<n> <file>
// and, when it has judged the file, exits 0 after writing lines of "<key> <value>":
//     verdict ok|suspect|failed|skipped   always, first
//     date YYYY:MM:DD HH:MM:SS             when the picture states a capture time
//     offset +HH:MM                         when it also states that time's offset from universal time
// A file that cannot be read gives the verdict failed. Any other ending is no verdict.

#include <string_view>

namespace vantrel::VerifyProtocol {

inline constexpr std::string_view kindOption = "--kind=";
inline constexpr std::string_view cutAtCapOption = "--cut-at-cap";
inline constexpr std::string_view cpuSecondsOption = "--cpu-seconds=";
inline constexpr std::string_view memoryMiBOption = "--memory-mib=";

inline constexpr std::string_view verdictKey = "verdict";
inline constexpr std::string_view dateKey = "date";
inline constexpr std::string_view offsetKey = "offset";

} // namespace vantrel::VerifyProtocol
