#include "recovery/filesystems/partitions/PartitionMap.h"

#include "base/Bounds.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::PartitionMap {
namespace {

using FieldReader::matches;
using SourceReads::readAvailable;

// A candidate [first × sector, (first + count) × sector) clamped to the source; nothing when it starts
// at or past the end, is empty or its arithmetic overflows. Entries pointing past the device are dropped.
std::optional<ByteRange> clampedRange(std::uint64_t firstSector, std::uint64_t sectorCount, std::uint64_t sectorBytes,
                                      std::uint64_t sourceLength) {
    if (sectorCount == 0) return std::nullopt;
    const auto offset = checkedMultiply(firstSector, sectorBytes);
    if (!offset || *offset >= sourceLength) return std::nullopt;
    const auto length = checkedMultiply(sectorCount, sectorBytes);
    const std::uint64_t room = sourceLength - *offset;
    return ByteRange{*offset, length ? std::min(*length, room) : room};
}

// GPT header (LBA 1), the fields we read:
//   0   8  signature "EFI PART"
//  72   8  first LBA of the partition entry array
//  80   4  number of entries; 1 to maxGptEntries
//  84   4  size of one entry; 128 to maxGptEntryBytes
// Partition entry:
//   0  16  partition type GUID; all zero = unused entry
//  32   8  first LBA
//  40   8  last LBA, inclusive; not below the first
constexpr std::uint64_t gptHeaderBytes = 92;
constexpr std::uint32_t gptMinEntryBytes = 128;
constexpr std::uint64_t gptEntryFieldsBytes = 56;

// Apple partition map block:
//   0   2  signature "PM"
//   4   4  number of map entries (big-endian); 1 to maxAppleMapEntries, read from the first block
//   8   4  first physical block of the partition
//  12   4  number of blocks
//  48  32  partition type, NUL-terminated ASCII
constexpr std::uint64_t appleMinimumSourceBytes = 1024;
constexpr std::uint64_t appleFirstBlockMinimumBytes = 16;
constexpr std::uint64_t appleEntryMinimumBytes = 84;
constexpr std::int64_t appleTypeOffset = 48;
constexpr std::size_t appleTypeBytes = 32;

// MBR: four 16-byte entries from 446, boot signature 0x55 0xAA at 510. Entry: byte 4 type (0 unused,
// 0xEE GPT protective, 0x05, 0x0F or 0x85 extended), 8: 4 bytes first LBA, 12: 4 bytes sector count.
// An extended partition holds a chain of extended boot records (EBRs), one sector each and laid out as
// an MBR: its first entry is a logical partition, its first LBA counted from the EBR's own sector; its
// second, when used, links to the next EBR, its first LBA counted from the extended partition's start.
constexpr std::uint64_t mbrBytes = 512;
constexpr std::array<std::int64_t, 4> mbrEntryOffsets{446, 462, 478, 494};
constexpr std::uint8_t mbrProtectiveType = 0xEE;

struct MbrEntry {
    std::uint8_t type = 0;
    std::uint32_t startLba = 0;
    std::uint32_t sectorCount = 0;
};
using MbrTable = std::array<MbrEntry, 4>;

bool isExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The four entries of the boot record at offset, or nothing when it carries no boot signature.
std::optional<MbrTable> readBootRecord(ByteSource& source, std::uint64_t offset) {
    const Bytes sector = readAvailable(source, offset, mbrBytes);
    if (sector.size() < mbrBytes || FieldReader::u8(sector, 510) != 0x55 || FieldReader::u8(sector, 511) != 0xAA)
        return std::nullopt;
    MbrTable table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::int64_t entry = mbrEntryOffsets[i];
        table[i] = {FieldReader::u8(sector, entry + 4), FieldReader::u32le(sector, entry + 8),
                    FieldReader::u32le(sector, entry + 12)};
    }
    return table;
}

// The four primary entries of sector 0.
std::optional<MbrTable> readMbr(ByteSource& source) {
    if (source.length() < mbrBytes) return std::nullopt;
    return readBootRecord(source, 0);
}

// An entry that lists a partition: used, not the protective entry of a GPT disk (which covers the
// whole disk), and not starting at sector 0, which holds the table itself.
bool listsPartition(const MbrEntry& entry) {
    return entry.type != 0 && entry.type != mbrProtectiveType && entry.startLba != 0;
}

// The logical partitions of the extended partition at [firstSector, firstSector + sectorCount), in
// chain order. The chain is followed through at most maxLogicalPartitions EBRs and ends at a link that
// leaves the extended partition, comes back to an EBR read already, or reaches a sector without a boot
// signature, or that guard(read) gives nothing for (a bad spot the caller passes over); the logical
// partitions found before it stay. A logical partition that does not start inside the extended
// partition is dropped, one that runs past its end is cut there.
template <typename Guard>
std::vector<ByteRange> logicalRanges(ByteSource& source, std::uint64_t firstSector, std::uint64_t sectorCount,
                                     std::uint64_t sectorBytes, Guard&& guard) {
    const std::uint64_t sourceLength = source.length();
    std::vector<ByteRange> ranges;
    const std::uint64_t endSector = firstSector + sectorCount;  // both below 2^32
    std::vector<std::uint64_t> visited;
    std::uint64_t ebr = firstSector;
    for (std::uint32_t link = 0; link < maxLogicalPartitions; ++link) {
        if (ebr < firstSector || ebr >= endSector) break;
        if (std::find(visited.begin(), visited.end(), ebr) != visited.end()) break;
        visited.push_back(ebr);
        const auto offset = checkedMultiply(ebr, sectorBytes);
        if (!offset || *offset >= sourceLength) break;
        const auto record = guard([&] { return readBootRecord(source, *offset); }).value_or(std::nullopt);
        if (!record) break;
        const MbrEntry& logical = (*record)[0];
        // The first entry counts from the EBR; another extended entry there is no partition of its own.
        if (logical.type != 0 && !isExtendedType(logical.type) && logical.startLba != 0 && logical.sectorCount != 0) {
            const std::uint64_t start = ebr + logical.startLba;
            if (start < endSector) {
                const std::uint64_t count = std::min<std::uint64_t>(logical.sectorCount, endSector - start);
                if (auto range = clampedRange(start, count, sectorBytes, sourceLength)) ranges.push_back(*range);
            }
        }
        const MbrEntry& next = (*record)[1];
        if (next.type == 0 || next.startLba == 0) break;
        ebr = firstSector + next.startLba;
    }
    return ranges;
}

// The partitions an MBR lists: its primary entries in order, then the logical partitions of its extended
// entries, whose chains are read through guard (see logicalRanges).
template <typename Guard>
std::vector<ByteRange> mbrTableRanges(ByteSource& source, const MbrTable& table, std::uint64_t sectorBytes, Guard&& guard) {
    const std::uint64_t sourceLength = source.length();
    std::vector<ByteRange> ranges;
    for (const MbrEntry& entry : table) {
        if (!listsPartition(entry) || isExtendedType(entry.type)) continue;
        if (auto range = clampedRange(entry.startLba, entry.sectorCount, sectorBytes, sourceLength)) ranges.push_back(*range);
    }
    for (const MbrEntry& entry : table) {
        if (!listsPartition(entry) || !isExtendedType(entry.type)) continue;
        const auto logical = logicalRanges(source, entry.startLba, entry.sectorCount, sectorBytes, guard);
        ranges.insert(ranges.end(), logical.begin(), logical.end());
    }
    return ranges;
}

// Runs a read and lets its failure propagate.
constexpr auto unguarded = [](auto&& read) -> std::optional<decltype(read())> { return read(); };

// Whether the MBR describes the partitions in use: it lists one (an extended one counts, whatever its
// chain holds), and none is the GPT protective entry. A tool that repartitions a GPT disk in MBR form
// may rewrite sector 0 only, leaving a stale GPT header at LBA 1; the kernel then goes by the MBR, and
// so must we.
bool mbrInUse(const MbrTable& table, std::uint64_t sectorBytes, std::uint64_t sourceLength) {
    const bool protective = std::any_of(table.begin(), table.end(), [](const MbrEntry& entry) {
        return entry.type == mbrProtectiveType;
    });
    return !protective && std::any_of(table.begin(), table.end(), [&](const MbrEntry& entry) {
        return listsPartition(entry) && clampedRange(entry.startLba, entry.sectorCount, sectorBytes, sourceLength);
    });
}

// The sector size the maps of this source are read in: the logical block size the device reports,
// 512 when it reports none we know (an image file, an odd value).
std::uint64_t deviceSectorBytes(const ByteSource& source) {
    const std::uint64_t reported = source.blockSize();
    return std::has_single_bit(reported) && reported >= mapSectorBytes && reported <= maxMapSectorBytes ? reported
                                                                                                        : mapSectorBytes;
}

// The sector sizes a GPT is looked for in. A device's own report is believed; a source that says 512
// (an image file says nothing else) may hold the image of a 4 KiB-sector disk, whose GPT header then
// lies at 4096 and proves that size.
std::vector<std::uint64_t> gptSectorSizes(std::uint64_t sectorBytes) {
    if (sectorBytes == mapSectorBytes) return {mapSectorBytes, imageAlternateSectorBytes};
    return {sectorBytes};
}

// The type field up to its first NUL, trimmed of blanks; empty when it holds a non-ASCII byte.
std::string appleType(ByteView block) {
    std::string type;
    for (std::size_t i = 0; i < appleTypeBytes; ++i) {
        const auto byte = FieldReader::u8(block, appleTypeOffset + static_cast<std::int64_t>(i));
        if (byte == 0) break;
        if (byte > 0x7F) return {};
        type.push_back(static_cast<char>(byte));
    }
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    while (!type.empty() && isBlank(type.back())) type.pop_back();
    const auto first = std::find_if_not(type.begin(), type.end(), isBlank);
    return std::string(first, type.end());
}

bool isAppleHousekeepingType(std::string_view type) {
    return type == "Apple_partition_map" || type.starts_with("Apple_Driver") || type == "Apple_Free";
}

// The maps in the order they are tried: GPT before MBR, since a GPT disk's MBR holds only the
// protective entry, but only while the MBR is protective or absent; the Apple map between them, as its
// block 0 carries no MBR signature. guard(read) runs one map's read and gives its result, or nothing for
// a bad spot the caller passes over.
template <typename Guard>
std::vector<ByteRange> rangesInMapOrder(ByteSource& source, Guard&& guard) {
    const std::uint64_t sourceLength = source.length();
    const std::uint64_t sectorBytes = deviceSectorBytes(source);
    const std::optional<MbrTable> mbr = guard([&] { return readMbr(source); }).value_or(std::nullopt);
    if (!mbr || !mbrInUse(*mbr, sectorBytes, sourceLength)) {
        for (const std::uint64_t gptSectorBytes : gptSectorSizes(sectorBytes))
            if (auto ranges = guard([&] { return gptRanges(source, gptSectorBytes); }).value_or(std::vector<ByteRange>{});
                !ranges.empty())
                return ranges;
    }
    if (auto ranges = guard([&] { return appleMapRanges(source); }).value_or(std::vector<ByteRange>{}); !ranges.empty())
        return ranges;
    if (mbr)
        if (auto ranges = mbrTableRanges(source, *mbr, sectorBytes, guard); !ranges.empty()) return ranges;
    return {ByteRange{0, sourceLength}};
}

} // namespace

std::vector<ByteRange> partitionRanges(ByteSource& source) { return rangesInMapOrder(source, unguarded); }

std::vector<ByteRange> partitionRanges(ByteSource& source, std::int64_t& readErrors) {
    return rangesInMapOrder(source, [&](auto&& read) { return SourceReads::passOverBadSpot(readErrors, read); });
}

std::vector<ByteRange> alternateMbrRanges(ByteSource& source) {
    if (deviceSectorBytes(source) != mapSectorBytes) return {};
    const auto mbr = readMbr(source);
    if (!mbr) return {};
    const auto inSmallSectors = mbrTableRanges(source, *mbr, mapSectorBytes, unguarded);
    if (inSmallSectors.empty() || partitionRanges(source) != inSmallSectors) return {};
    return mbrTableRanges(source, *mbr, imageAlternateSectorBytes, unguarded);
}

std::vector<ByteRange> gptRanges(ByteSource& source, std::uint64_t sectorBytes) {
    const std::uint64_t sourceLength = source.length();
    // The protective MBR, the header and one entry: LBA 0, LBA 1 and at least 128 bytes of LBA 2.
    if (sourceLength < 2 * sectorBytes + gptMinEntryBytes) return {};
    const Bytes header = readAvailable(source, sectorBytes, gptHeaderBytes);
    if (header.size() < gptHeaderBytes || !matches(header, 0, "EFI PART")) return {};
    const std::uint64_t entryLba = FieldReader::u64le(header, 72);
    const std::uint32_t entryCount = FieldReader::u32le(header, 80);
    const std::uint32_t entryBytes = FieldReader::u32le(header, 84);
    if (entryBytes < gptMinEntryBytes || entryBytes > maxGptEntryBytes) return {};
    if (entryCount == 0 || entryCount > maxGptEntries) return {};

    const auto tableOffset = checkedMultiply(entryLba, sectorBytes);
    const std::uint64_t tableLength = std::uint64_t{entryBytes} * entryCount;
    if (!tableOffset || !fitsWithin(*tableOffset, tableLength, sourceLength)) return {};
    const Bytes table = readAvailable(source, *tableOffset, tableLength);

    std::vector<ByteRange> ranges;
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::uint64_t entryStart = std::uint64_t{i} * entryBytes;
        if (!fitsWithin(entryStart, gptEntryFieldsBytes, table.size())) break;
        const ByteView entry = ByteView(table).subspan(entryStart, gptEntryFieldsBytes);
        if (std::all_of(entry.begin(), entry.begin() + 16, [](std::uint8_t b) { return b == 0; })) continue;
        const std::uint64_t firstLba = FieldReader::u64le(entry, 32);
        const std::uint64_t lastLba = FieldReader::u64le(entry, 40);
        if (lastLba < firstLba || lastLba - firstLba == UINT64_MAX) continue;
        if (auto range = clampedRange(firstLba, lastLba - firstLba + 1, sectorBytes, sourceLength)) ranges.push_back(*range);
    }
    return ranges;
}

std::vector<ByteRange> appleMapRanges(ByteSource& source) {
    const std::uint64_t sourceLength = source.length();
    if (sourceLength < appleMinimumSourceBytes) return {};
    const Bytes descriptor = readAvailable(source, 0, 2);
    if (!matches(descriptor, 0, "ER")) return {};
    const Bytes firstBlock = readAvailable(source, mapSectorBytes, mapSectorBytes);
    if (firstBlock.size() < appleFirstBlockMinimumBytes || !matches(firstBlock, 0, "PM")) return {};
    const std::uint32_t entryCount = FieldReader::u32be(firstBlock, 4);
    if (entryCount < 1 || entryCount > maxAppleMapEntries) return {};

    std::vector<ByteRange> ranges;
    for (std::uint64_t block = 1; block <= entryCount; ++block) {
        if (sourceLength < (block + 1) * mapSectorBytes) break;
        const Bytes entry = readAvailable(source, block * mapSectorBytes, mapSectorBytes);
        if (entry.size() < appleEntryMinimumBytes || !matches(entry, 0, "PM")) continue;
        if (isAppleHousekeepingType(appleType(entry))) continue;
        const std::uint32_t startBlock = FieldReader::u32be(entry, 8);
        const std::uint32_t blockCount = FieldReader::u32be(entry, 12);
        if (auto range = clampedRange(startBlock, blockCount, mapSectorBytes, sourceLength)) ranges.push_back(*range);
    }
    return ranges;
}

std::vector<ByteRange> mbrRanges(ByteSource& source, std::uint64_t sectorBytes) {
    const auto table = readMbr(source);
    return table ? mbrTableRanges(source, *table, sectorBytes, unguarded) : std::vector<ByteRange>{};
}

} // namespace vantrel::PartitionMap
