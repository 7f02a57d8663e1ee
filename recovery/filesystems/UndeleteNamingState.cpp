#include "recovery/filesystems/UndeleteNamingState.h"

#include "base/Utf8Text.h"

#include <algorithm>
#include <cstdio>

namespace vantrel {

namespace {

// Letter case is folded for ASCII letters only; names differing in other letters stay distinct.
std::string asciiLower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return result;
}

// Whether text starts with "FILE" in any letter case.
bool startsWithFileWord(std::string_view text) {
    constexpr std::string_view word = "FILE";
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = text[i];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != word[i]) return false;
    }
    return true;
}

std::string_view withoutTrailingDotsAndSpaces(std::string_view name) {
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.remove_suffix(1);
    return name;
}

// Cuts a valid UTF-8 text to at most maxBytes without splitting a character.
std::string_view cutToBytes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// The name without its last extension; a name whose only full stop is its first character keeps it.
std::string_view deletingPathExtension(std::string_view name) {
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

} // namespace

std::string UndeleteNamingState::trimTrailingDotsAndSpaces(std::string_view name) {
    return std::string(withoutTrailingDotsAndSpaces(name));
}

std::string UndeleteNamingState::makeSafeFileName(std::string_view name) {
    std::string safe;
    safe.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = Utf8Text::sequenceLength(name, i);
        const auto c = static_cast<unsigned char>(name[i]);
        if (length == 0) {
            safe.push_back('_');
            ++i;
            continue;
        }
        if (length == 1 && (c < 0x20 || c == 0x7F || c == '/' || c == '\\')) safe.push_back('_');
        else safe.append(name.substr(i, length));
        i += length;
    }
    if (safe == "." || safe == "..") return {};
    if (safe.size() <= maxNameBytes) return safe;
    // Keep an extension of up to 16 bytes so the cut name still opens with the right program.
    constexpr std::size_t maxKeptExtensionBytes = 16;
    const auto dot = safe.find_last_of('.');
    if (dot != std::string::npos && dot > 0 && safe.size() - dot <= maxKeptExtensionBytes) {
        const std::string extension = safe.substr(dot);
        return std::string(cutToBytes(std::string_view(safe).substr(0, dot), maxNameBytes - extension.size())) + extension;
    }
    return std::string(cutToBytes(safe, maxNameBytes));
}

bool UndeleteNamingState::isWeakName(std::string_view name) {
    // Letter case does not count: FILE, file and File are the same word.
    const std::string_view trimmed = withoutTrailingDotsAndSpaces(name);
    if (trimmed.empty()) return true;
    const std::string_view base = deletingPathExtension(trimmed);
    if (base.empty()) return true;
    constexpr std::size_t numberedFileBaseBytes = 9;  // FILE and FILE0001 are weak, FILE00001 is not
    if (startsWithFileWord(base) && base.size() < numberedFileBaseBytes) return true;
    return trimmed.find('~') != std::string_view::npos;
}

bool UndeleteNamingState::isUsableUndeleteName(std::string_view name) {
    return !withoutTrailingDotsAndSpaces(name).empty() && !isWeakName(name);
}

std::string UndeleteNamingState::suggestedName(std::string_view preferred, RecoveredFileKind kind) {
    std::string trimmed = makeSafeFileName(preferred);
    trimmed.resize(withoutTrailingDotsAndSpaces(trimmed).size());
    if (!isWeakName(trimmed)) {
        if (usedNames.insert(asciiLower(trimmed)).second) return trimmed;
    }
    return numberedName(kind);
}

std::string UndeleteNamingState::numberedName(RecoveredFileKind kind) {
    // A file of the disk may have carried a numbered name already: such a number is passed over.
    std::string name;
    do {
        ++serial;
        char number[32];
        std::snprintf(number, sizeof number, "%05lld", static_cast<long long>(serial));
        name = "recovered_" + std::string(number) + "." + std::string(FileKind::preferredExtension(kind));
    } while (!usedNames.insert(asciiLower(name)).second);
    return name;
}

} // namespace vantrel
