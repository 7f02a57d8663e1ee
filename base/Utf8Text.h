#pragma once
// Well-formed UTF-8 (RFC 3629): the one test every layer uses, for names read from disks and for texts
// read from files.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::Utf8Text {

// The length of the well-formed sequence that starts at text[at] (1 to 4 bytes), or 0 when none does:
// a stray continuation byte, a lead byte that no sequence has (0xC0, 0xC1, 0xF5 and above), a missing
// continuation byte, an overlong form, a surrogate or a value above U+10FFFF. at must lie inside text.
std::size_t sequenceLength(std::string_view text, std::size_t at);

// Whether the whole text is well-formed UTF-8.
bool isValid(std::string_view text);

// Appends the UTF-8 sequence of a code point (at most U+10FFFF, not a surrogate).
void append(std::string& out, std::uint32_t codePoint);

} // namespace vantrel::Utf8Text
