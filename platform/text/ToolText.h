#pragma once
// What a system tool wrote, made fit to show in a message: terminal escape sequences dropped, other
// control characters as blanks, blanks around each line trimmed, empty lines left out and the lines
// joined into one text (a line without closing punctuation gets a full stop), cut at a character
// boundary with "…" when longer than the cap.

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::ToolText {

std::string readable(std::string_view raw, std::size_t maxBytes);

} // namespace vantrel::ToolText
