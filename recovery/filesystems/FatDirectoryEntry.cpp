#include "recovery/filesystems/FatDirectoryEntry.h"

#include "recovery/filesystems/Utf16Text.h"

#include <array>
#include <vector>

namespace vantrel {
namespace {

using FieldReader::u16le;
using FieldReader::u32le;
using FieldReader::u8;

// A long name is at most 255 characters, 13 to an entry.
constexpr std::size_t maxLongNameEntries = 20;
constexpr std::uint8_t sequenceNumberMask = 0x1F;
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

std::optional<std::string> fatLongName(ByteView directory, std::size_t entryOffset) {
    std::vector<std::uint16_t> units;
    bool foundEntry = false;
    std::size_t taken = 0;
    for (std::size_t offset = entryOffset; offset >= FatDirectoryEntry::entryBytes && taken < maxLongNameEntries; ++taken) {
        offset -= FatDirectoryEntry::entryBytes;
        const auto at = static_cast<std::int64_t>(offset);
        if (u8(directory, at + 11) != FatDirectoryEntry::longNameAttributes) break;
        const std::uint8_t sequence = u8(directory, at);
        if (sequence != FatDirectoryEntry::deletedMark &&
            (sequence == FatDirectoryEntry::endOfDirectoryMark || (sequence & sequenceNumberMask) == 0))
            break;
        foundEntry = true;
        for (const CharacterGroup& group : longNameGroups) {
            for (int i = 0; i < group.count; ++i) {
                const std::uint16_t unit = u16le(directory, at + group.offset + 2 * i);
                if (unit == 0x0000 || unit == 0xFFFF) break;
                units.push_back(unit);
            }
        }
    }
    if (!foundEntry) return std::nullopt;
    std::string name = utf8FromUtf16(units);
    const auto first = name.find_first_not_of('\0');
    name = first == std::string::npos ? std::string{} : name.substr(first);
    while (!name.empty() && name.back() == '\0') name.pop_back();
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    if (name.empty()) return std::nullopt;
    return name;
}

} // namespace vantrel
