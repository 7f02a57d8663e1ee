#pragma once
// A ZIP archive's central directory as its end record states it, its records one by one, and the local
// header each record points at (PKWARE APPNOTE.TXT, sections 4.3.7, 4.3.12 and 4.3.16). Little-endian.
//
// End of central directory record (4.3.16):
//   0 signature 50 4B 05 06 (4)
//   4 number of this disk (2), 6 disk where the directory starts (2): 0 for a single-file archive
//   8 records on this disk (2), 10 records in total (2): equal for a single-file archive; FFFF in a
//     ZIP64 archive, whose own end record holds the count
//  12 directory size (4), 16 directory offset from the archive's start (4): FFFFFFFF in a ZIP64 archive
//  20 comment length (2), then the comment
// Central directory record (4.3.12):
//   0 signature 50 4B 01 02 (4)
//   4 version made by (2), 6 version needed (2), 8 flags (2): bit 0 encrypted, bit 3 sizes in a data
//     descriptor after the data
//  10 compression method (2): 0 stored, 8 deflated
//  12 time (2), 14 date (2), 16 CRC-32 (4), 20 compressed size (4), 24 uncompressed size (4)
//  28 name length (2), 30 extra field length (2), 32 comment length (2)
//  34 disk number (2), 36 internal attributes (2), 38 external attributes (4)
//  42 local header offset (4)
//  46 name, extra field, comment
// A size or offset of FFFFFFFF is held in the ZIP64 extra field (tag 0001) instead; those records are
// passed over here (zip64 true), as the ZIP64 end record is.
// Local file header (4.3.7):
//   0 signature 50 4B 03 04 (4), 4 version (2), 6 flags (2), 8 method (2), 10 time, date (4)
//  14 CRC-32 (4), 18 compressed size (4), 22 uncompressed size (4): zero with flag bit 3
//  26 name length (2), 28 extra field length (2), 30 name, extra field, then the data

#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>
#include <optional>

namespace vantrel::ZipDirectory {

inline constexpr std::uint64_t endRecordBytes = 22;
inline constexpr std::uint64_t recordFixedBytes = 46;
inline constexpr std::uint64_t localFixedBytes = 30;
// The end record lies within this many bytes of the archive's end: its own bytes and the longest comment.
inline constexpr std::uint64_t endSearchBytes = endRecordBytes + 0xFFFF;

inline constexpr std::uint16_t encryptedFlag = 0x0001;
inline constexpr std::uint16_t dataDescriptorFlag = 0x0008;
inline constexpr std::uint16_t storedMethod = 0;
inline constexpr std::uint16_t deflatedMethod = 8;

struct EndRecord {
    std::uint64_t recordOffset = 0;     // from the archive's start
    std::uint64_t directoryOffset = 0;  // as stated: from the archive's start
    std::uint64_t directorySize = 0;
    std::uint64_t records = 0;
    std::uint64_t archiveEnd = 0;       // the end of the comment
    bool zip64 = false;                 // the sizes and offsets are in the ZIP64 end record, not read here
};

// The last end record in tail (the bytes [tailOffset, tailOffset + tail.size()) of the archive) that is
// one of a single-file archive and whose comment ends inside the tail, exactly at its end when
// exactEnd; its directory, unless zip64, ends where it begins. Nothing when none is.
std::optional<EndRecord> endRecord(ByteView tail, std::uint64_t tailOffset, bool exactEnd);

struct Record {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localHeaderOffset = 0;
    ByteView name;                       // inside the directory bytes it was read from
    bool zip64 = false;                  // a size or the offset is FFFFFFFF: in the extra field
};

// The record at pos of the directory bytes, and pos moved past it; nothing when no whole record with its
// signature lies there.
std::optional<Record> record(ByteView directory, std::uint64_t& pos);

struct LocalHeader {
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint64_t dataOffset = 0;        // from the header's start
    ByteView name;                       // inside the bytes it was read from
};

// The local header at the start of bytes, when its signature and whole name lie there.
std::optional<LocalHeader> localHeader(ByteView bytes);

} // namespace vantrel::ZipDirectory
