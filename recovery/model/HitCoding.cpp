#include "recovery/model/HitCoding.h"

#include <cstdio>
#include <ctime>
#include <limits>

namespace vantrel::HitCoding {

namespace {

[[noreturn]] void corrupt(std::string_view key, std::string_view what) {
    throw HitDecodingError("stored hit: \"" + std::string(key) + "\" " + std::string(what));
}

// nlohmann reads -5 and 1.5 as numbers; only non-negative integers are unsigned fields.
std::uint64_t requireUnsigned(const Json& value, std::string_view key, std::uint64_t max = UINT64_MAX) {
    if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0))
        corrupt(key, "is not an unsigned integer");
    const auto number = value.get<std::uint64_t>();
    if (number > max) corrupt(key, "is out of range");
    return number;
}

std::int64_t requireSigned(const Json& value, std::string_view key) {
    if (!value.is_number_integer()) corrupt(key, "is not an integer");
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))
        corrupt(key, "is out of range");
    return value.get<std::int64_t>();
}

const Json& require(const Json& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) corrupt(key, "is missing");
    return *found;
}

// Present and not null, or nothing.
const Json* optional(const Json& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::string requireString(const Json& value, std::string_view key) {
    if (!value.is_string()) corrupt(key, "is not a string");
    return value.get<std::string>();
}

bool requireBool(const Json& value, std::string_view key) {
    if (!value.is_boolean()) corrupt(key, "is not a Boolean");
    return value.get<bool>();
}

template <typename Enum>
Enum requireCase(const Json& value, std::string_view key, std::optional<Enum> (*fromRawValue)(std::string_view)) {
    const auto parsed = fromRawValue(requireString(value, key));
    if (!parsed) corrupt(key, "names no case");
    return *parsed;
}

// Days in a month of the Gregorian calendar; month 1 to 12.
int daysInMonth(int year, int month) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Capture dates are clock faces (RecoveredHit.h). They are stored as that clock with an offset, so that
// the text still names the moment of the picture for a reader that takes it as a moment: the picture's
// own offset when it records one (stored again as captureUtcOffsetMinutes), else the offset of this
// computer's zone at that time, the moment that was stored before clock faces were kept. A stored "Z"
// date comes from a catalog of that time: its clock face is that moment in this computer's zone.
constexpr std::int64_t maxUtcOffsetMinutes = 14 * 60;

std::time_t wholeSeconds(HitDate date) {
    return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count());
}

// Seconds east of universal time of this computer's zone when its clocks showed the face.
std::int64_t localOffsetAtFace(HitDate face) {
    const std::time_t seconds = wholeSeconds(face);
    std::tm fields{};
    if (!gmtime_r(&seconds, &fields)) return 0;
    fields.tm_isdst = -1;
    const std::time_t moment = std::mktime(&fields);
    if (moment == static_cast<std::time_t>(-1)) return 0;
    return static_cast<std::int64_t>(seconds) - static_cast<std::int64_t>(moment);
}

// Seconds east of universal time of this computer's zone at the moment.
std::int64_t localOffsetAtMoment(HitDate moment) {
    const std::time_t seconds = wholeSeconds(moment);
    std::tm fields{};
    if (!localtime_r(&seconds, &fields)) return 0;
    return fields.tm_gmtoff;
}

std::string formatClockFace(HitDate face, std::int64_t offsetSeconds) {
    const std::time_t seconds = wholeSeconds(face);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    const std::int64_t minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offsetSeconds < 0 ? '-' : '+', static_cast<int>(minutes / 60 % 100),
                  static_cast<int>(minutes % 60));
    return std::string(text) + zone;
}

HitDate decodeCaptureDate(const Json& value, const DateStrategy& dates) {
    const HitDate moment = dates.decode(value);
    const std::string& text = value.get_ref<const std::string&>();
    if (!text.empty() && text.back() == 'Z') return moment + std::chrono::seconds(localOffsetAtMoment(moment));
    // The clock as written, without its offset.
    // The strategy read the text, so it begins with the 19 characters of a date and time.
    const auto face = parseIso8601(text.substr(0, 19) + "Z");
    if (!face) corrupt("captureDate", "is not a date");
    return *face;
}

} // namespace

std::string formatIso8601(HitDate date) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::optional<HitDate> parseIso8601(std::string_view text) {
    std::tm parts{};
    int consumed = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6 || consumed != 19)
        return std::nullopt;
    if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60)
        return std::nullopt;
    // timegm would carry 30 February into March.
    if (parts.tm_mday > daysInMonth(parts.tm_year, parts.tm_mon)) return std::nullopt;
    std::string_view rest = text.substr(19);
    std::chrono::nanoseconds fraction{0};
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        std::int64_t scale = 100'000'000;
        std::size_t digits = 0;
        while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
            if (scale > 0) fraction += std::chrono::nanoseconds((rest.front() - '0') * scale);
            scale /= 10;
            rest.remove_prefix(1);
            ++digits;
        }
        if (digits == 0) return std::nullopt;
    }
    std::int64_t offsetSeconds = 0;
    if (rest == "Z") {
    } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':') {
        int hours = 0, minutes = 0;
        if (std::sscanf(std::string(rest.substr(1)).c_str(), "%2d:%2d", &hours, &minutes) != 2 || hours > 23 ||
            minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (rest[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const std::time_t utc = timegm(&parts);
    // A date is kept in nanoseconds of 64 bits, about 292 years either side of 1970; converting a year
    // such as 9999 would overflow.
    constexpr std::int64_t limitSeconds = std::numeric_limits<HitDate::rep>::max() / 1'000'000'000 - 86'400;
    if (utc - offsetSeconds > limitSeconds || utc - offsetSeconds < -limitSeconds) return std::nullopt;
    return HitDate(std::chrono::duration_cast<HitDate::duration>(std::chrono::seconds(utc - offsetSeconds) + fraction));
}

DateStrategy DateStrategy::iso8601() {
    return {[](HitDate date) { return Json(formatIso8601(date)); },
            [](const Json& value) {
                if (!value.is_string()) throw HitDecodingError("stored date is not a string");
                const auto date = parseIso8601(value.get<std::string>());
                if (!date) throw HitDecodingError("stored date is not in ISO 8601 form");
                return *date;
            }};
}

Json encode(const RecoveredHit& hit, [[maybe_unused]] const DateStrategy& dates) {
    Json object = Json::object();
    object["id"] = hit.id.toString();
    object["kind"] = FileKind::rawValue(hit.kind);
    object["byteOffset"] = hit.byteOffset;
    object["byteLength"] = hit.byteLength;
    object["suggestedName"] = hit.suggestedName;
    if (hit.reconstructedPath) object["reconstructedPath"] = *hit.reconstructedPath;
    if (hit.dimensions) object["dimensions"] = Json{{"width", hit.dimensions->width}, {"height", hit.dimensions->height}};
    object["isFragmented"] = hit.isFragmented;
    object["source"] = HitSourceName::rawValue(hit.source);
    object["integrity"] = HitIntegrityName::rawValue(hit.integrity);
    if (hit.captureDate) {
        const std::int64_t offset = hit.captureUtcOffsetMinutes ? std::int64_t{*hit.captureUtcOffsetMinutes} * 60
                                                                : localOffsetAtFace(*hit.captureDate);
        object["captureDate"] = formatClockFace(*hit.captureDate, offset);
        if (hit.captureUtcOffsetMinutes) object["captureUtcOffsetMinutes"] = *hit.captureUtcOffsetMinutes;
    }
    if (hit.clusterHint)
        object["clusterHint"] = Json{{"firstCluster", hit.clusterHint->firstCluster},
                                     {"partitionOffset", hit.clusterHint->partitionOffset},
                                     {"fileSystem", FileSystemName::rawValue(hit.clusterHint->fileSystem)}};
    object["clusterReallocated"] = hit.clusterReallocated;
    if (hit.secondPiece) object["secondPiece"] = Json{{"offset", hit.secondPiece->offset}, {"length", hit.secondPiece->length}};
    return object;
}

RecoveredHit decode(const Json& object, const DateStrategy& dates) {
    if (!object.is_object()) throw HitDecodingError("stored hit is not an object");
    RecoveredHit hit;
    const auto id = Uuid::fromString(requireString(require(object, "id"), "id"));
    if (!id) corrupt("id", "is not a UUID");
    hit.id = *id;
    hit.kind = requireCase<RecoveredFileKind>(require(object, "kind"), "kind", FileKind::fromRawValue);
    hit.byteOffset = requireUnsigned(require(object, "byteOffset"), "byteOffset");
    hit.byteLength = requireUnsigned(require(object, "byteLength"), "byteLength");
    hit.suggestedName = requireString(require(object, "suggestedName"), "suggestedName");
    if (const auto* path = optional(object, "reconstructedPath")) hit.reconstructedPath = requireString(*path, "reconstructedPath");
    if (const auto* dimensions = optional(object, "dimensions")) {
        if (!dimensions->is_object()) corrupt("dimensions", "is not an object");
        hit.dimensions = ImageDimensions{requireSigned(require(*dimensions, "width"), "width"),
                                         requireSigned(require(*dimensions, "height"), "height")};
    }
    if (const auto* fragmented = optional(object, "isFragmented")) hit.isFragmented = requireBool(*fragmented, "isFragmented");
    hit.source = requireCase<HitSource>(require(object, "source"), "source", HitSourceName::fromRawValue);
    if (const auto* integrity = optional(object, "integrity"))
        hit.integrity = requireCase<HitIntegrity>(*integrity, "integrity", HitIntegrityName::fromRawValue);
    if (const auto* date = optional(object, "captureDate")) {
        hit.captureDate = decodeCaptureDate(*date, dates);
        if (const auto* offset = optional(object, "captureUtcOffsetMinutes")) {
            const std::int64_t minutes = requireSigned(*offset, "captureUtcOffsetMinutes");
            if (minutes < -maxUtcOffsetMinutes || minutes > maxUtcOffsetMinutes) corrupt("captureUtcOffsetMinutes", "is out of range");
            hit.captureUtcOffsetMinutes = static_cast<std::int32_t>(minutes);
        }
    }
    if (const auto* hint = optional(object, "clusterHint")) {
        if (!hint->is_object()) corrupt("clusterHint", "is not an object");
        ClusterAllocationHint decoded;
        decoded.firstCluster = static_cast<std::uint32_t>(
            requireUnsigned(require(*hint, "firstCluster"), "firstCluster", std::numeric_limits<std::uint32_t>::max()));
        decoded.partitionOffset = requireUnsigned(require(*hint, "partitionOffset"), "partitionOffset");
        decoded.fileSystem =
            requireCase<DetectedFileSystem>(require(*hint, "fileSystem"), "fileSystem", FileSystemName::fromRawValue);
        hit.clusterHint = decoded;
    }
    if (const auto* reallocated = optional(object, "clusterReallocated"))
        hit.clusterReallocated = requireBool(*reallocated, "clusterReallocated");
    if (const auto* piece = optional(object, "secondPiece")) {
        if (!piece->is_object()) corrupt("secondPiece", "is not an object");
        HitPiece decoded{requireUnsigned(require(*piece, "offset"), "offset"), requireUnsigned(require(*piece, "length"), "length")};
        if (!isSecondPieceOf(decoded, hit)) corrupt("secondPiece", "is no piece after the first");
        hit.secondPiece = decoded;
    }
    return hit;
}

} // namespace vantrel::HitCoding
