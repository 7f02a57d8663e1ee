#include "platform/disks/MountTable.h"

#include "platform/text/DecimalNumber.h"

#include <fstream>
#include <iterator>

namespace vantrel::MountTable {

namespace {

// Splits off the next blank-separated field; empty when none is left.
std::string_view nextField(std::string_view& rest) {
    const auto start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const auto end = rest.find(' ');
    const auto field = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return field;
}

// Sets out to the field's number; false when it holds none.
bool parseNumber(std::string_view text, std::uint32_t& out) {
    const auto number = DecimalNumber::parse<std::uint32_t>(text);
    if (number) out = *number;
    return number.has_value();
}

bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }

} // namespace

std::string unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) && isOctalDigit(field[i + 2]) &&
            isOctalDigit(field[i + 3])) {
            const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            // \400 and above do not fit a byte; keep such text as it is.
            if (value <= 0xFF) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::optional<MountEntry> parseLine(std::string_view line) {
    MountEntry entry;
    std::string_view rest = line;
    if (!parseNumber(nextField(rest), entry.mountId)) return std::nullopt;
    if (!parseNumber(nextField(rest), entry.parentId)) return std::nullopt;
    const auto device = nextField(rest);
    const auto colon = device.find(':');
    if (colon == std::string_view::npos || !parseNumber(device.substr(0, colon), entry.major) ||
        !parseNumber(device.substr(colon + 1), entry.minor))
        return std::nullopt;
    const auto root = nextField(rest);
    const auto target = nextField(rest);
    const auto mountOptions = nextField(rest);
    if (root.empty() || target.empty() || mountOptions.empty()) return std::nullopt;
    entry.root = unescape(root);
    entry.target = unescape(target);
    entry.mountOptions = std::string(mountOptions);
    // Optional fields (shared:N, master:N, ...) run up to the lone separator.
    for (;;) {
        const auto field = nextField(rest);
        if (field.empty()) return std::nullopt;
        if (field == "-") break;
    }
    const auto type = nextField(rest);
    const auto source = nextField(rest);
    if (type.empty() || source.empty()) return std::nullopt;
    entry.fileSystemType = unescape(type);
    entry.source = unescape(source);
    entry.superOptions = unescape(nextField(rest));
    return entry;
}

std::vector<MountEntry> parse(std::string_view text) {
    std::vector<MountEntry> entries;
    while (!text.empty() && entries.size() < maxEntries) {
        const auto end = text.find('\n');
        if (auto entry = parseLine(text.substr(0, end))) entries.push_back(std::move(*entry));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return entries;
}

std::optional<std::vector<MountEntry>> read(const std::filesystem::path& path) {
    // A proc file reports size 0, so read it in pieces up to the cap.
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text;
    std::string chunk(64 * 1024, '\0');
    while (file && text.size() <= maxTableBytes) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        text.append(chunk.data(), static_cast<std::size_t>(file.gcount()));
    }
    if (text.size() > maxTableBytes) return std::nullopt;
    return parse(text);
}

} // namespace vantrel::MountTable
