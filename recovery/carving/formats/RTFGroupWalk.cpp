#include "recovery/carving/formats/RTFGroupWalk.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel::RTFGroupWalk {

namespace {

constexpr std::string_view opening = "{\\rtf";

bool isLetter(std::uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Where the walk is between bytes.
enum class State : std::uint8_t { text, escape, word, parameter };

} // namespace

std::optional<std::uint64_t> walk(CandidateCursor& cursor) {
    std::uint8_t start[opening.size()];
    if (!cursor.copy(0, opening.size(), start) || !std::equal(opening.begin(), opening.end(), start)) return std::nullopt;

    State state = State::text;
    std::uint64_t depth = 0;
    // The control word being read: whether its letters so far spell the start of "bin", how many there
    // are, and its parameter.
    std::size_t letters = 0;
    bool binSoFar = false;
    bool negative = false;
    int digits = 0;
    std::uint64_t parameter = 0;

    std::uint64_t pos = 0;
    while (pos < cursor.limit()) {
        const ByteView view = cursor.from(pos);
        if (view.empty()) return std::nullopt;
        std::size_t i = 0;
        std::uint64_t skipTo = 0; // past \bin data, when it ends the view's use
        for (; i < view.size() && skipTo == 0; ++i) {
            const std::uint8_t c = view[i];
            // A byte that ends a control word is read again as text (a space is the word's own).
            bool again = true;
            while (again) {
                again = false;
                // Only \bin data may hold a NUL; the byte that ends its word may be its first.
                if (c == 0 && !(state == State::parameter && binSoFar && letters == 3)) return std::nullopt;
                switch (state) {
                case State::text:
                    if (c == '{') {
                        ++depth;
                    } else if (c == '}') {
                        if (--depth == 0) {
                            std::uint64_t end = pos + i + 1;
                            if (cursor.byteAt(end) == '\r') ++end;
                            if (cursor.byteAt(end) == '\n') ++end;
                            return end;
                        }
                    } else if (c == '\\') {
                        state = State::escape;
                    }
                    break;
                case State::escape:
                    if (isLetter(c)) {
                        state = State::word;
                        letters = 1;
                        binSoFar = c == 'b';
                    } else {
                        state = State::text; // a control symbol: \{ \} \\ \' \* \~ ...
                    }
                    break;
                case State::word:
                    if (isLetter(c)) {
                        binSoFar = binSoFar && letters < 3 && c == "bin"[letters];
                        ++letters;
                    } else if (c == '-' || isDigit(c)) {
                        state = State::parameter;
                        negative = c == '-';
                        digits = negative ? 0 : 1;
                        parameter = negative ? 0 : c - '0';
                    } else {
                        state = State::text;
                        again = c != ' ';
                    }
                    break;
                case State::parameter:
                    if (isDigit(c)) {
                        if (++digits > maxParameterDigits) return std::nullopt;
                        parameter = parameter * 10 + (c - '0');
                        break;
                    }
                    state = State::text;
                    if (binSoFar && letters == 3 && !negative && digits > 0 && parameter > 0) {
                        // The data start after the delimiting space, or at this byte when there is none.
                        const std::uint64_t dataStart = pos + i + (c == ' ' ? 1 : 0);
                        if (!fitsWithin(dataStart, parameter, cursor.limit())) return std::nullopt;
                        skipTo = dataStart + parameter;
                        break;
                    }
                    again = c != ' ';
                    break;
                }
            }
        }
        pos = skipTo != 0 ? skipTo : pos + i;
    }
    return std::nullopt;
}

} // namespace vantrel::RTFGroupWalk
