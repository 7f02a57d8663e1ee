#pragma once
// The value types a message may carry, and the checks every received value passes before a
// handler sees it. They take the place of the other side's object classes: a value that is not
// exactly what the operation declares is refused, never coerced.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

struct IpcValueType {
    // count: an integer of 0 or more (offsets, lengths), which a negative value would turn into nonsense.
    enum class Kind { integer, count, boolean, string, stringArray, object };
    Kind kind = Kind::integer;
    std::string className;  // object only: the required "$class"

    static IpcValueType integer() { return {Kind::integer, {}}; }
    static IpcValueType count() { return {Kind::count, {}}; }
    static IpcValueType boolean() { return {Kind::boolean, {}}; }
    static IpcValueType string() { return {Kind::string, {}}; }
    static IpcValueType stringArray() { return {Kind::stringArray, {}}; }
    static IpcValueType object(std::string className) { return {Kind::object, std::move(className)}; }
};

namespace IpcValue {

// Longest string a message may carry, in bytes of UTF-8. Paths and names are far shorter; the cap
// keeps one hostile message from costing much memory or log space.
inline constexpr std::size_t maxStringBytes = 4096;
// Most items of one array (disk names, allowed kinds).
inline constexpr std::size_t maxArrayItems = 256;
// The key that names an object's class.
inline constexpr const char* classKey = "$class";

// A JSON integer within the signed 64-bit range; floats (even 1.0), booleans and integers above
// the signed range are not integers here. nlohmann's get<int64_t>() would accept all of them.
std::optional<std::int64_t> int64(const nlohmann::json& value);

// Why the value is not a usable string (not a string, too long, holds NUL), or nothing when it is.
// The parser has already refused invalid UTF-8.
std::optional<std::string> stringProblem(const nlohmann::json& value);
// Why the text could not travel as a string (too long, holds NUL), or nothing.
std::optional<std::string> textProblem(std::string_view text);
// Whether the JSON library writes the text between its quotes as it is: printable ASCII other than the quote
// and the backslash, nothing to escape or to replace.
bool isWrittenAsIs(std::string_view text);

// Why the value does not have the type (classes are checked by the caller), or nothing.
std::optional<std::string> shapeProblem(const nlohmann::json& value, const IpcValueType& type);

} // namespace IpcValue
} // namespace vantrel
