#pragma once
// The vocabularies of the results list: its twelve orders and its six status filters, stored and
// compared by their case names, with the titles the status menu shows.

#include "recovery/model/RecoveredHit.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

enum class ResultsSort : std::uint8_t {
    discovery,
    sizeDescending,
    sizeAscending,
    name,
    nameDescending,
    type,
    typeDescending,
    integrity,
    dimensionsDescending,
    dimensionsAscending,
    captureDateDescending,
    captureDateAscending,
};

enum class ResultsIntegrityFilter : std::uint8_t { all, ok, suspect, failed, pending, skipped };

namespace ResultsSortName {
const std::array<ResultsSort, 12>& allCases();
std::string_view rawValue(ResultsSort sort);
// Exact, case-sensitive match of a case name.
std::optional<ResultsSort> fromRawValue(std::string_view text);
} // namespace ResultsSortName

namespace ResultsIntegrityFilterName {
const std::array<ResultsIntegrityFilter, 6>& allCases();
std::string_view rawValue(ResultsIntegrityFilter filter);
// Exact, case-sensitive match of a case name ("failed", not the title "Broken").
std::optional<ResultsIntegrityFilter> fromRawValue(std::string_view text);
// "All statuses", "OK", "Suspect", "Broken", "Queued…", "Not checked", translated.
QString title(ResultsIntegrityFilter filter);
// all lets every integrity through; every other filter only the integrity of its own name.
bool matches(ResultsIntegrityFilter filter, HitIntegrity integrity);
} // namespace ResultsIntegrityFilterName

// Rank of the integrity order: ok, suspect, pending, skipped, failed.
int integrityRank(HitIntegrity integrity);

// The kind as the results list labels it: the case name in capitals, "CRW" for all Canon raws.
std::string_view listLabel(RecoveredFileKind kind);

} // namespace vantrel
