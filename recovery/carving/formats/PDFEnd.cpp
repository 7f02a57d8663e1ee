#include "recovery/carving/formats/PDFEnd.h"

#include "recovery/carving/ByteSearch.h"

#include <algorithm>
#include <string_view>

namespace vantrel::PDFEnd {

namespace {

// PDF white-space characters (ISO 32000-1, table 1).
bool isWhiteSpace(std::uint8_t byte) {
    return byte == 0x00 || byte == 0x09 || byte == 0x0A || byte == 0x0C || byte == 0x0D || byte == 0x20;
}

bool isDigit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

// The first position of text in bytes at or after from, or bytes.size().
std::size_t find(ByteView bytes, std::string_view text, std::size_t from) {
    return ByteSearch::find(bytes, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                            std::min(from, bytes.size()));
}

std::size_t skipWhiteSpace(ByteView bytes, std::size_t at) {
    while (at < bytes.size() && isWhiteSpace(bytes[at])) ++at;
    return at;
}

// Parses up to maxDigits decimal digits at at; returns the position after them, or nothing when there
// are none or too many.
std::optional<std::size_t> skipNumber(ByteView bytes, std::size_t at, std::size_t maxDigits, std::uint64_t* value = nullptr) {
    std::size_t end = at;
    std::uint64_t number = 0;
    while (end < bytes.size() && isDigit(bytes[end])) {
        if (end - at == maxDigits) return std::nullopt;
        number = number * 10 + (bytes[end] - '0');
        ++end;
    }
    if (end == at) return std::nullopt;
    if (value != nullptr) *value = number;
    return end;
}

} // namespace

std::optional<std::uint64_t> linearizedLength(ByteView head) {
    const ByteView start = head.first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), linearizationWindowBytes)));
    const std::size_t key = find(start, "/Linearized", 0);
    if (key == start.size()) return std::nullopt;
    // The dictionary around the key: the last "<<" before it up to the first ">>" after it.
    std::size_t open = start.size();
    for (std::size_t at = find(start, "<<", 0); at < key; at = find(start, "<<", at + 1)) open = at;
    const std::size_t close = find(start, ">>", key);
    if (open == start.size() || close == start.size()) return std::nullopt;
    const ByteView dictionary = start.subspan(open, close - open);
    for (std::size_t at = find(dictionary, "/L", 0); at < dictionary.size(); at = find(dictionary, "/L", at + 1)) {
        const std::size_t after = at + 2;
        // "/L" as a whole name: white space or a digit follows, not a further name character.
        if (after >= dictionary.size() || !(isWhiteSpace(dictionary[after]) || isDigit(dictionary[after]))) continue;
        std::uint64_t length = 0;
        // A length of up to 18 digits cannot overflow.
        if (!skipNumber(dictionary, skipWhiteSpace(dictionary, after), 18, &length)) return std::nullopt;
        if (length == 0) return std::nullopt;
        return length;
    }
    return std::nullopt;
}

bool updateFollows(CandidateCursor& cursor, std::uint64_t end) {
    // The bytes are looked at where they lie; only when the bytes in hand end sooner (the head's end, a
    // chunk's end) are they gathered into the buffer.
    std::uint8_t buffer[updateLookBytes];
    ByteView bytes = cursor.from(end);
    if (bytes.size() >= updateLookBytes) {
        bytes = bytes.first(updateLookBytes);
    } else {
        std::size_t count = 0;
        while (count < updateLookBytes) {
            const ByteView more = cursor.from(end + count);
            if (more.empty()) break;
            const std::size_t take = std::min<std::size_t>(more.size(), updateLookBytes - count);
            std::copy_n(more.begin(), take, buffer + count);
            count += take;
        }
        bytes = ByteView(buffer, count);
    }
    const std::size_t at = skipWhiteSpace(bytes, 0);
    if (FieldReader::matches(bytes, static_cast<std::int64_t>(at), "xref")) return true;
    // An object header: object number, generation number, "obj".
    const auto number = skipNumber(bytes, at, 10);
    if (!number || *number == bytes.size() || !isWhiteSpace(bytes[*number])) return false;
    const auto generation = skipNumber(bytes, skipWhiteSpace(bytes, *number), 5);
    if (!generation || *generation == bytes.size() || !isWhiteSpace(bytes[*generation])) return false;
    return FieldReader::matches(bytes, static_cast<std::int64_t>(skipWhiteSpace(bytes, *generation)), "obj");
}

std::uint64_t pastEndOfLine(CandidateCursor& cursor, std::uint64_t end) {
    constexpr std::uint8_t carriageReturn = 0x0D, lineFeed = 0x0A;
    const auto first = cursor.byteAt(end);
    if (first == lineFeed) return end + 1;
    if (first != carriageReturn) return end;
    return cursor.byteAt(end + 1) == lineFeed ? end + 2 : end + 1;
}

} // namespace vantrel::PDFEnd
