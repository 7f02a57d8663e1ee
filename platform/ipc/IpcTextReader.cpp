#include "platform/ipc/IpcTextReader.h"

#include "base/Utf8Text.h"

#include <limits>

namespace vantrel {

namespace {

constexpr std::uint64_t largestMagnitude = std::uint64_t{1} << 63;  // of INT64_MIN

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Bytes a string holds as they are: printable ASCII and DEL, but for the quote and the backslash.
bool isPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

} // namespace

bool IpcTextReader::integer(std::int64_t& value) {
    std::size_t at = m_position;
    const bool negative = at < m_text.size() && m_text[at] == '-';
    if (negative) ++at;
    if (at == m_text.size() || !isDigit(m_text[at])) return false;
    std::uint64_t magnitude = 0;
    if (m_text[at] == '0') {
        ++at;  // a leading zero is a number of its own ("01" is not JSON)
    } else {
        for (; at < m_text.size() && isDigit(m_text[at]); ++at) {
            const auto digit = static_cast<std::uint64_t>(m_text[at] - '0');
            if (magnitude > (largestMagnitude - digit) / 10) return false;  // past the signed range either way
            magnitude = magnitude * 10 + digit;
        }
    }
    // A fraction or an exponent makes it a floating-point number, which is no integer here.
    if (at < m_text.size() && (m_text[at] == '.' || m_text[at] == 'e' || m_text[at] == 'E')) return false;
    if (negative) {
        value = magnitude == largestMagnitude ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
    } else {
        if (magnitude == largestMagnitude) return false;
        value = static_cast<std::int64_t>(magnitude);
    }
    m_position = at;
    return true;
}

bool IpcTextReader::boolean(bool& value) {
    if (literal("true")) return value = true, true;
    if (literal("false")) return value = false, true;
    return false;
}

bool IpcTextReader::string(std::string& out, std::size_t maxBytes) {
    if (!literal("\"")) return false;
    out.clear();
    for (;;) {
        // The run of bytes taken as they are, in one append.
        std::size_t end = m_position;
        while (end < m_text.size() && isPlain(static_cast<unsigned char>(m_text[end]))) ++end;
        out.append(m_text.data() + m_position, end - m_position);
        m_position = end;
        if (out.size() > maxBytes || m_position == m_text.size()) return false;
        const auto c = static_cast<unsigned char>(m_text[m_position]);
        if (c == '"') {
            ++m_position;
            return out.size() <= maxBytes;
        }
        if (c == '\\') {
            if (!escape(out)) return false;
        } else if (c >= 0x80) {
            if (!utf8Sequence(out)) return false;
        } else {
            return false;  // a control character, which JSON text must escape
        }
    }
}

bool IpcTextReader::escape(std::string& out) {
    if (m_position + 1 >= m_text.size()) return false;
    const char c = m_text[m_position + 1];
    m_position += 2;
    switch (c) {
    case '"': out += '"'; return true;
    case '\\': out += '\\'; return true;
    case '/': out += '/'; return true;
    case 'b': out += '\b'; return true;
    case 'f': out += '\f'; return true;
    case 'n': out += '\n'; return true;
    case 'r': out += '\r'; return true;
    case 't': out += '\t'; return true;
    case 'u': break;
    default: return false;
    }
    std::uint32_t point = 0;
    if (!hex4(point)) return false;
    if (point >= 0xDC00 && point <= 0xDFFF) return false;  // the second half of a pair, alone
    if (point >= 0xD800 && point <= 0xDBFF) {
        std::uint32_t low = 0;
        if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
    }
    if (point == 0) return false;  // NUL, which no string of the protocol may hold
    Utf8Text::append(out, point);
    return true;
}

bool IpcTextReader::hex4(std::uint32_t& value) {
    if (m_text.size() - m_position < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = m_text[m_position + i];
        std::uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else return false;
        value = value << 4 | digit;
    }
    m_position += 4;
    return true;
}

// One well-formed UTF-8 sequence of two to four bytes (no overlong form, no surrogate, nothing past
// U+10FFFF), taken as it is.
bool IpcTextReader::utf8Sequence(std::string& out) {
    const std::size_t length = Utf8Text::sequenceLength(m_text, m_position);
    if (length < 2) return false;
    out.append(m_text.data() + m_position, length);
    m_position += length;
    return true;
}

} // namespace vantrel
