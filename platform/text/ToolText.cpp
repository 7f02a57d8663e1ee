#include "platform/text/ToolText.h"

#include <vector>

namespace vantrel::ToolText {

namespace {

constexpr unsigned char escape = 0x1B;
constexpr std::string_view ellipsis = "\u2026";

bool isBlank(char c) { return c == ' '; }

std::string trimmedBlanks(std::string_view line) {
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
    return std::string(line);
}

// The lines with escape sequences removed and every other control character as a blank. C1 controls
// (U+0080 to U+009F, two bytes in UTF-8) count as control characters too.
std::vector<std::string> cleanLines(std::string_view raw) {
    std::vector<std::string> lines(1);
    for (std::size_t at = 0; at < raw.size(); ++at) {
        const auto c = static_cast<unsigned char>(raw[at]);
        if (c == '\n' || c == '\r') {
            lines.emplace_back();
        } else if (c == escape) {
            // ESC [ parameters final (a colour, a cursor move), or ESC and one more character.
            if (at + 1 < raw.size() && raw[at + 1] == '[') {
                at += 2;
                while (at < raw.size() && !(raw[at] >= 0x40 && raw[at] <= 0x7E)) ++at;
            } else {
                ++at;
            }
        } else if (c < 0x20 || c == 0x7F) {
            lines.back() += ' ';
        } else if (c == 0xC2 && at + 1 < raw.size() && static_cast<unsigned char>(raw[at + 1]) >= 0x80 &&
                   static_cast<unsigned char>(raw[at + 1]) <= 0x9F) {
            lines.back() += ' ';
            ++at;
        } else {
            lines.back() += static_cast<char>(c);
        }
    }
    return lines;
}

bool endsASentence(const std::string& line) {
    const char last = line.back();
    return last == '.' || last == '!' || last == '?' || last == ':' || last == ';' || last == ',';
}

} // namespace

std::string readable(std::string_view raw, std::size_t maxBytes) {
    std::string text;
    for (const auto& line : cleanLines(raw)) {
        std::string kept = trimmedBlanks(line);
        if (kept.empty()) continue;
        if (!text.empty()) text += endsASentence(text) ? " " : ". ";
        text += kept;
    }
    if (text.size() <= maxBytes) return text;
    // Cut where a character begins (not on a UTF-8 continuation byte), leaving room for the ellipsis.
    if (maxBytes < ellipsis.size()) return {};
    std::size_t cut = maxBytes - ellipsis.size();
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return trimmedBlanks(std::string_view(text).substr(0, cut)) + std::string(ellipsis);
}

} // namespace vantrel::ToolText
