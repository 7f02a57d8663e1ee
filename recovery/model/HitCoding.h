#pragma once
// The stored form of a hit, as scan catalogs hold it: a JSON object keyed by field name, keys in field
// order, absent optionals omitted, enumerations as their case names.

#include "recovery/model/RecoveredHit.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace vantrel {

// A stored hit that cannot be read: a missing or mistyped key, or a word that names no case.
class HitDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace HitCoding {

using Json = nlohmann::ordered_json;

// How dates are read; the container (the catalog) chooses. A hit's one date, its capture date, is
// written as the camera's clock with an offset (HitCoding.cpp says which) and read back as that clock.
struct DateStrategy {
    std::function<Json(HitDate)> encode;
    // Throws HitDecodingError on a value it cannot read.
    std::function<HitDate(const Json&)> decode;

    // "2024-05-01T10:00:00Z": whole seconds in UTC; reading also takes fractions and "+02:00" offsets.
    static DateStrategy iso8601();
};

Json encode(const RecoveredHit& hit, const DateStrategy& dates = DateStrategy::iso8601());

// Throws HitDecodingError. Keys outside the stored form are ignored; a null optional reads as absent.
RecoveredHit decode(const Json& object, const DateStrategy& dates = DateStrategy::iso8601());

std::string formatIso8601(HitDate date);
std::optional<HitDate> parseIso8601(std::string_view text);

} // namespace HitCoding
} // namespace vantrel
