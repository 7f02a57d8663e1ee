#include "recovery/engine/ScanMode.h"

namespace vantrel::ScanModeName {

const std::array<ScanMode, 2>& allCases() {
    static constexpr std::array<ScanMode, 2> cases{ScanMode::standard, ScanMode::quickUndelete};
    return cases;
}

std::string_view rawValue(ScanMode mode) {
    switch (mode) {
    case ScanMode::standard: return "standard";
    case ScanMode::quickUndelete: return "quickUndelete";
    }
    return "standard";
}

std::optional<ScanMode> fromRawValue(std::string_view text) {
    for (const ScanMode mode : allCases())
        if (rawValue(mode) == text) return mode;
    return std::nullopt;
}

} // namespace vantrel::ScanModeName
