#include "recovery/filesystems/fat/FatDirectoryEntry.h"

#include "recovery/filesystems/KindForFileName.h"
#include "recovery/filesystems/Utf16Text.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace vantrel {
namespace {

using FieldReader::u16le;
using FieldReader::u32le;
using FieldReader::u8;

// A long name is at most 255 characters, 13 to an entry.
constexpr std::size_t unitsPerLongNameEntry = 13;
constexpr std::size_t maxLongNameEntries = 20;
// Long-name entry: byte 0 the sequence number (low five bits, 1 for the entry nearest the short
// entry) with 0x40 on the name's last entry; byte 13 the checksum of the short entry's 11 name bytes.
constexpr std::uint8_t sequenceNumberMask = 0x1F;
constexpr std::uint8_t lastLongNameEntryFlag = 0x40;
constexpr std::int64_t checksumOffset = 13;
constexpr std::int64_t shortNameBytes = 11;
struct CharacterGroup {
    std::int64_t offset;
    int count;
};
constexpr std::array<CharacterGroup, 3> longNameGroups{{{1, 5}, {14, 6}, {28, 2}}};

std::string asciiWithout(ByteView bytes, std::int64_t from, std::int64_t to, bool& isAscii) {
    std::string text;
    isAscii = true;
    for (std::int64_t at = from; at < to; ++at) {
        const std::uint8_t byte = u8(bytes, at);
        if (byte == 0x00 || byte == 0x20 || byte == 0xFF) continue;
        if (byte > 0x7F) isAscii = false;
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

// The first name byte that gives a short entry the checksum, the other ten bytes being the entry's:
// each step of the checksum (rotate right, add a byte) is undone from the last byte back.
std::uint8_t firstByteForChecksum(ByteView entry, std::uint8_t checksum) {
    std::uint8_t sum = checksum;
    for (std::int64_t i = shortNameBytes - 1; i >= 1; --i) {
        sum = static_cast<std::uint8_t>(sum - u8(entry, i));
        sum = static_cast<std::uint8_t>((sum << 1) | (sum >> 7));
    }
    return sum;
}

// A byte that may begin a short name (FAT standard, 6.1): no space, control character, lower-case
// letter or one of " * + , . / : ; < = > ? [ \ ] |. 0x05 stands for a name beginning with 0xE5.
bool isLegalFirstShortNameByte(std::uint8_t byte) {
    if (byte == 0x05) return true;
    if (byte <= 0x20 || byte == 0x7F || byte == FatDirectoryEntry::deletedMark || (byte >= 'a' && byte <= 'z')) return false;
    constexpr std::string_view illegal = "\"*+,./:;<=>?[\\]|";
    return illegal.find(static_cast<char>(byte)) == std::string_view::npos;
}

// The text after a name's last ".", or empty.
std::string_view extensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
}

// Whether a short name's extension is the long name's first three extension characters in upper case (as
// short names are made), or the two names give one kind.
bool extensionsAgree(const std::string& longName, const std::string& shortName) {
    std::string made(extensionOf(longName).substr(0, 3));
    for (char& c : made) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (!made.empty() && made == extensionOf(shortName)) return true;
    return kindForFileName(longName) == kindForFileName(shortName);
}

} // namespace

FatDirectoryEntry FatDirectoryEntry::parse(ByteView entry, const VolumeGeometry& geometry) {
    FatDirectoryEntry parsed;
    parsed.status = u8(entry, 0);
    parsed.attributes = u8(entry, 11);
    const std::uint32_t low = u16le(entry, 26);
    // FAT12/16 reuse the high word (extended attributes of other systems); it is no part of the cluster.
    const std::uint32_t high = geometry.entryBits() == 32 ? u16le(entry, 20) : 0;
    parsed.firstCluster = (high << 16) | low;
    parsed.fileSize = u32le(entry, 28);
    return parsed;
}

std::string fatShortName(ByteView entry) {
    const std::int64_t baseStart = u8(entry, 0) == FatDirectoryEntry::deletedMark ? 1 : 0;
    bool baseIsAscii = true;
    bool extensionIsAscii = true;
    std::string base = asciiWithout(entry, baseStart, 8, baseIsAscii);
    std::string extension = asciiWithout(entry, 8, 11, extensionIsAscii);
    if (!baseIsAscii) base = "FILE";
    if (!extensionIsAscii) extension.clear();
    return extension.empty() ? base : base + "." + extension;
}

std::uint8_t shortNameChecksum(ByteView entry) {
    std::uint8_t sum = 0;
    for (std::int64_t i = 0; i < shortNameBytes; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + u8(entry, i));
    return sum;
}

std::optional<std::string> fatLongName(ByteView directory, std::size_t entryOffset) {
    const ByteView shortEntry = entryOffset < directory.size() ? directory.subspan(entryOffset) : ByteView{};
    const bool deleted = u8(shortEntry, 0) == FatDirectoryEntry::deletedMark;
    // A live name's entries carry the short entry's checksum. A deleted entry has lost its first
    // byte, so its checksum is unknown: the name's entries must agree among themselves on one that
    // some legal first byte gives.
    std::optional<std::uint8_t> checksum;
    if (!deleted) checksum = shortNameChecksum(shortEntry);

    std::vector<std::uint16_t> units;
    bool terminated = false;
    bool lastEntryFull = false;
    std::size_t taken = 0;
    for (std::size_t offset = entryOffset; offset >= FatDirectoryEntry::entryBytes && taken < maxLongNameEntries && !terminated;) {
        offset -= FatDirectoryEntry::entryBytes;
        const auto at = static_cast<std::int64_t>(offset);
        if (u8(directory, at + 11) != FatDirectoryEntry::longNameAttributes) break;
        const std::uint8_t sequence = u8(directory, at);
        const std::uint8_t entryChecksum = u8(directory, at + checksumOffset);
        if (deleted) {
            // The long-name entries of a deleted file are deleted with it; a live one belongs to another file.
            if (sequence != FatDirectoryEntry::deletedMark) break;
            if (!checksum) {
                if (!isLegalFirstShortNameByte(firstByteForChecksum(shortEntry, entryChecksum))) break;
                checksum = entryChecksum;
            }
        } else if ((sequence & sequenceNumberMask) != taken + 1) {
            break;
        }
        if (entryChecksum != *checksum) break;
        ++taken;
        std::size_t entryUnits = 0;
        bool entryEnds = false;
        for (const CharacterGroup& group : longNameGroups) {
            for (int i = 0; i < group.count && !entryEnds; ++i) {
                const std::uint16_t unit = u16le(directory, at + group.offset + 2 * i);
                if (unit == 0x0000 || unit == 0xFFFF) {
                    entryEnds = true;
                    break;
                }
                units.push_back(unit);
                ++entryUnits;
            }
        }
        lastEntryFull = entryUnits == unitsPerLongNameEntry;
        // The name's last entry: flagged in a live name; in a deleted one (whose sequence bytes are
        // gone) the one whose text ends before the entry does.
        terminated = deleted ? !lastEntryFull : (sequence & lastLongNameEntryFlag) != 0;
    }
    if (taken == 0) return std::nullopt;
    std::string name = utf8FromUtf16(units);
    // A deleted name that fills its last entry exactly may end there or may have lost the entries
    // after it to a new file. It is taken as whole when its extension is the one the short name was made
    // from, or names the short name's kind.
    if (!terminated && !(deleted && lastEntryFull && extensionsAgree(name, fatShortName(shortEntry))))
        return std::nullopt;
    const auto first = name.find_first_not_of('\0');
    name = first == std::string::npos ? std::string{} : name.substr(first);
    while (!name.empty() && name.back() == '\0') name.pop_back();
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
}

} // namespace vantrel
