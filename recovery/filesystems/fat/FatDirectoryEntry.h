#pragma once
// The 32-byte FAT directory entry and its long-name entries (FAT standard, sections 6 and 7).

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vantrel {

// Short entry, little-endian; only these fields are read:
//   0   1  status and first name byte: 0x00 ends the directory, 0xE5 marks a deleted entry
//   0   8  base name, ASCII, padded with spaces
//   8   3  extension, ASCII, padded with spaces
//  11   1  attributes: exactly 0x0F = long-name entry; bit 0x08 volume label; bit 0x10 directory
//  20   2  high word of the first cluster (FAT32 only; FAT12/16 keep other data there)
//  26   2  low word of the first cluster
//  28   4  file size in bytes
// Long-name entry (attributes 0x0F): byte 0 sequence number (low five bits), UTF-16LE characters:
// 5 at offset 1, 6 at 14, 2 at 28. They stand before their short entry, the nearest holding the
// name's first 13 characters.
struct FatDirectoryEntry {
    static constexpr std::size_t entryBytes = 32;
    static constexpr std::uint8_t endOfDirectoryMark = 0x00;
    static constexpr std::uint8_t deletedMark = 0xE5;
    static constexpr std::uint8_t longNameAttributes = 0x0F;
    static constexpr std::uint8_t volumeLabelBit = 0x08;
    static constexpr std::uint8_t directoryBit = 0x10;

    std::uint8_t status = 0;        // byte 0
    std::uint8_t attributes = 0;
    std::uint32_t firstCluster = 0;
    std::uint32_t fileSize = 0;

    // The entry at the start of the bytes; the high cluster word counts only on FAT32.
    static FatDirectoryEntry parse(ByteView entry, const VolumeGeometry& geometry);

    bool endsDirectory() const { return status == endOfDirectoryMark; }
    bool isDeleted() const { return status == deletedMark; }
    bool isLongName() const { return attributes == longNameAttributes; }
    bool isVolumeLabel() const { return (attributes & volumeLabelBit) != 0; }
    bool isDirectory() const { return (attributes & directoryBit) != 0; }
};

// The 8.3 name of a short entry: blanks, NULs and 0xFF dropped, "." only before a non-empty
// extension; a deleted entry loses its first character. A base with a non-ASCII byte reads "FILE".
std::string fatShortName(ByteView entry);

// The checksum of a short entry's 11 name bytes, as its long-name entries carry it at offset 13.
std::uint8_t shortNameChecksum(ByteView entry);

// The long name of the short entry at entryOffset in the directory bytes, as UTF-8, or nothing when
// it has none or only part of one. Entries are taken while they carry the short entry's checksum
// and are live with a live short entry (sequence numbers 1, 2, ... up to the one flagged last), or
// deleted with a deleted one. A deleted short entry has lost its first byte, so its name's entries
// must agree on one checksum that a legal first byte gives; their sequence numbers are gone, so the
// last entry is the one whose text ends inside it (or, filling it exactly, whose extension the short
// name was made from or names the short name's kind). A name without its last entry, cut where a new
// file took a slot, is nothing.
std::optional<std::string> fatLongName(ByteView directory, std::size_t entryOffset);

} // namespace vantrel
