#include "recovery/filesystems/UndeleteNamingState.h"

#include "base/ShardGrowth.h"
#include "base/Utf8Text.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace vantrel {

namespace {

// Letter case is folded for ASCII letters only; names differing in other letters stay distinct.
char foldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether makeSafeFileName leaves the name as it is: well-formed UTF-8 without control characters or
// separators, not "." or "..", and short enough.
bool isSafeAsItIs(std::string_view name) {
    if (name.size() > UndeleteNamingState::maxNameBytes || name == "." || name == "..") return false;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
            ++i;
            continue;
        }
        const std::size_t length = Utf8Text::sequenceLength(name, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
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

std::string_view UndeleteNamingState::claim(std::string_view preferred, RecoveredFileKind kind, std::string& safe,
                                             std::string& numbered) {
    // Most names need no change to be safe: they are looked at where they are.
    std::string_view trimmed = preferred;
    if (!isSafeAsItIs(preferred)) {
        safe = makeSafeFileName(preferred);
        trimmed = safe;
    }
    trimmed = withoutTrailingDotsAndSpaces(trimmed);
    if (!isWeakName(trimmed) && usedNames.insert(trimmed)) return trimmed;
    numbered = numberedName(kind);
    return numbered;
}

std::string UndeleteNamingState::suggestedName(std::string_view preferred, RecoveredFileKind kind) {
    std::string safe, numbered;
    return std::string(claim(preferred, kind, safe, numbered));
}

bool UndeleteNamingState::rename(std::string& name, RecoveredFileKind kind) {
    std::string safe, numbered;
    const std::string_view given = claim(name, kind, safe, numbered);
    if (given.data() == name.data()) {
        // The name itself, perhaps without trailing full stops and spaces.
        if (given.size() == name.size()) return false;
        name.resize(given.size());
        return true;
    }
    name.assign(given);
    return true;
}

std::string UndeleteNamingState::numberedName(RecoveredFileKind kind) {
    // A file of the disk may have carried a numbered name already: such a number is passed over.
    const std::string_view extension = FileKind::preferredExtension(kind);
    for (;;) {
        ++serial;
        char name[96];  // room for the longest serial and a few times the longest extension
        const int length = std::snprintf(name, sizeof name, "recovered_%05lld.%.*s", static_cast<long long>(serial),
                                         static_cast<int>(std::min<std::size_t>(extension.size(), 48)), extension.data());
        const std::string_view made(name, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof name) - 1)));
        if (usedNames.insert(made)) return std::string(made);
    }
}

// ---- The set of names handed out.

std::uint64_t FoldedNameSet::foldedHash(std::string_view name) {
    // FNV-1a over the folded bytes, then mixed so that the high bits (the shard) and the low bits (the
    // slot) both depend on every byte.
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(foldAscii(c));
        hash *= 0x100000001B3ULL;
    }
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDULL;
    hash ^= hash >> 33;
    return hash;
}

bool FoldedNameSet::sameFolded(const Slot& slot, std::string_view name) {
    if (slot.length != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (slot.bytes[i] != foldAscii(name[i])) return false;
    return true;
}

const char* FoldedNameSet::keep(std::string_view name) {
    // A name longer than a block (none that this state hands out is) gets one of its own, placed before
    // the block being filled, which stays the last.
    if (name.size() > blockBytes) {
        auto own = std::make_unique<char[]>(name.size());
        char* bytes = own.get();
        m_blocks.insert(m_blocks.empty() ? m_blocks.end() : m_blocks.end() - 1, std::move(own));
        std::transform(name.begin(), name.end(), bytes, foldAscii);
        return bytes;
    }
    if (blockBytes - m_blockUsed < name.size()) {
        m_blocks.push_back(std::make_unique<char[]>(blockBytes));
        m_blockUsed = 0;
    }
    char* bytes = m_blocks.back().get() + m_blockUsed;
    std::transform(name.begin(), name.end(), bytes, foldAscii);
    m_blockUsed += name.size();
    return bytes;
}

void FoldedNameSet::grow(Shard& shard) {
    constexpr std::size_t smallest = 16;
    std::vector<Slot> old(std::max(smallest, shard.entries.size() * 2));
    old.swap(shard.entries);
    const std::size_t mask = shard.entries.size() - 1;
    for (const Slot& slot : old) {
        if (!slot.bytes) continue;
        // A shard's slots are far fewer than 2^32: the kept low half of the hash picks the slot.
        std::size_t at = slot.hashLow & mask;
        while (shard.entries[at].bytes) at = (at + 1) & mask;
        shard.entries[at] = slot;
    }
}

bool FoldedNameSet::contains(std::string_view name) const {
    const std::uint64_t hash = foldedHash(name);
    const Shard& shard = m_shards[hash >> 58];
    if (shard.entries.empty()) return false;
    const std::size_t mask = shard.entries.size() - 1;
    // The table always keeps empty entries, so the probe ends.
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = shard.entries[at];
        if (!slot.bytes) return false;
        if (slot.hashLow == static_cast<std::uint32_t>(hash) && sameFolded(slot, name)) return true;
    }
}

bool FoldedNameSet::insert(std::string_view name) {
    const std::uint64_t hash = foldedHash(name);
    Shard& shard = m_shards[hash >> 58];
    // At most the shard's own load full (three quarters at most).
    if (ShardGrowth::due(shard.used, shard.entries.size(), hash >> 58, shardCount)) grow(shard);
    const std::size_t mask = shard.entries.size() - 1;
    std::size_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
        const Slot& slot = shard.entries[at];
        if (!slot.bytes) break;
        if (slot.hashLow == static_cast<std::uint32_t>(hash) && sameFolded(slot, name)) return false;
    }
    // An empty name needs a place too, to be told from an empty slot.
    shard.entries[at] = Slot{name.empty() ? "" : keep(name), static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(hash)};
    ++shard.used;
    ++m_size;
    return true;
}

} // namespace vantrel
