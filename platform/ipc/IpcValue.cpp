#include "platform/ipc/IpcValue.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vantrel::IpcValue {

std::optional<std::int64_t> int64(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    return std::nullopt;
}

std::optional<std::string> stringProblem(const nlohmann::json& value) {
    if (!value.is_string()) return "not a string";
    return textProblem(value.get_ref<const std::string&>());
}

namespace {

bool isWrittenAsIs(char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

constexpr std::uint64_t everyByte(std::uint8_t value) { return 0x0101'0101'0101'0101ULL * value; }

// Whether any of the eight bytes is below limit (at most 0x80), or has its top bit set: exact as a yes or no.
constexpr bool anyBelowOrHigh(std::uint64_t word, std::uint8_t limit) {
    return ((word - everyByte(limit)) | word) & everyByte(0x80);
}

constexpr bool anyEqual(std::uint64_t word, std::uint8_t value) {
    const std::uint64_t zeroWhereEqual = word ^ everyByte(value);
    return (zeroWhereEqual - everyByte(1)) & ~zeroWhereEqual & everyByte(0x80);
}

} // namespace

bool isWrittenAsIs(std::string_view text) {
    // Eight bytes at a time, the last eight overlapping those before them: every string of every hit a scan
    // sends is looked at here.
    const auto wordAsIs = [&](std::size_t at) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        return !(anyBelowOrHigh(word, 0x20) || anyEqual(word, 0x7F) || anyEqual(word, '"') || anyEqual(word, '\\'));
    };
    if (text.size() < 8) return std::all_of(text.begin(), text.end(), [](char c) { return isWrittenAsIs(c); });
    for (std::size_t at = 0; at + 8 < text.size(); at += 8)
        if (!wordAsIs(at)) return false;
    return wordAsIs(text.size() - 8);
}

std::optional<std::string> textProblem(std::string_view text) {
    if (text.size() > maxStringBytes) return "string longer than " + std::to_string(maxStringBytes) + " bytes";
    if (text.find('\0') != std::string_view::npos) return "string holds a NUL character";
    return std::nullopt;
}

std::optional<std::string> shapeProblem(const nlohmann::json& value, const IpcValueType& type) {
    switch (type.kind) {
    case IpcValueType::Kind::integer:
        if (!int64(value)) return "not an integer within 64 bits";
        return std::nullopt;
    case IpcValueType::Kind::count: {
        const auto number = int64(value);
        if (!number) return "not an integer within 64 bits";
        if (*number < 0) return "a negative offset or length";
        return std::nullopt;
    }
    case IpcValueType::Kind::boolean:
        if (!value.is_boolean()) return "not a boolean";
        return std::nullopt;
    case IpcValueType::Kind::string:
        return stringProblem(value);
    case IpcValueType::Kind::stringArray:
        if (!value.is_array()) return "not an array";
        if (value.size() > maxArrayItems) return "array longer than " + std::to_string(maxArrayItems) + " items";
        for (const auto& item : value)
            if (auto problem = stringProblem(item)) return "array item " + *problem;
        return std::nullopt;
    case IpcValueType::Kind::object: {
        if (!value.is_object()) return "not an object";
        const auto found = value.find(classKey);
        if (found == value.end() || !found->is_string() || found->get_ref<const std::string&>() != type.className)
            return "not an object of class " + type.className;
        return std::nullopt;
    }
    }
    return "unknown type";
}

} // namespace vantrel::IpcValue
