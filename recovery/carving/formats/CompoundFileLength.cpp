#include "recovery/carving/formats/CompoundFileLength.h"

#include <algorithm>
#include <vector>

namespace vantrel::CompoundFileLength {

namespace {

constexpr std::uint64_t headerBytes = 512;
constexpr std::uint32_t freeSector = 0xFFFFFFFF;
constexpr std::uint32_t fatSectorMark = 0xFFFFFFFD;
constexpr std::uint32_t difatSectorMark = 0xFFFFFFFC;
constexpr std::uint32_t headerFATEntries = 109;

} // namespace

std::optional<std::uint64_t> fromAllocationTable(CandidateCursor& cursor) {
    std::uint8_t headerBuffer[headerBytes];
    if (!cursor.copy(0, headerBytes, headerBuffer)) return std::nullopt;
    const ByteView header(headerBuffer, headerBytes);
    if (!FieldReader::matches(header, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return std::nullopt;
    const std::uint16_t major = FieldReader::u16le(header, 26);
    const std::uint16_t sectorShift = FieldReader::u16le(header, 30);
    if (FieldReader::u16le(header, 28) != 0xFFFE || FieldReader::u16le(header, 32) != 6) return std::nullopt;
    if (!((major == 3 && sectorShift == 9) || (major == 4 && sectorShift == 12))) return std::nullopt;
    const std::uint64_t sectorSize = std::uint64_t{1} << sectorShift;
    const std::uint64_t entriesPerSector = sectorSize / 4;

    // Sectors that fit after the header within the limit; every sector number must lie below this.
    const std::uint64_t sectorCount = cursor.limit() / sectorSize;
    if (sectorCount < 2) return std::nullopt;
    const std::uint64_t maxSectors = sectorCount - 1;
    const std::uint64_t fatSectors = FieldReader::u32le(header, 44);
    // A table longer than needed for every sector within the limit describes a larger file.
    if (fatSectors == 0 || fatSectors > (maxSectors + entriesPerSector - 1) / entriesPerSector) return std::nullopt;

    std::vector<std::uint32_t> fatSectorNumbers;
    fatSectorNumbers.reserve(static_cast<std::size_t>(fatSectors));
    for (std::uint32_t i = 0; i < headerFATEntries && fatSectorNumbers.size() < fatSectors; ++i)
        fatSectorNumbers.push_back(FieldReader::u32le(header, 76 + 4 * std::int64_t{i}));

    // Further FAT sector numbers come from the DIFAT chain; its length is bounded by the table's length.
    std::vector<std::uint32_t> difatSectorNumbers;
    std::uint32_t difat = FieldReader::u32le(header, 68);
    const std::uint64_t difatCount = FieldReader::u32le(header, 72);
    Bytes sector(static_cast<std::size_t>(sectorSize));
    while (fatSectorNumbers.size() < fatSectors) {
        if (difatSectorNumbers.size() >= difatCount || difat >= maxSectors) return std::nullopt;
        difatSectorNumbers.push_back(difat);
        if (!cursor.copy((std::uint64_t{difat} + 1) * sectorSize, sector.size(), sector.data())) return std::nullopt;
        for (std::uint64_t i = 0; i + 1 < entriesPerSector && fatSectorNumbers.size() < fatSectors; ++i)
            fatSectorNumbers.push_back(FieldReader::u32le(sector, static_cast<std::int64_t>(4 * i)));
        difat = FieldReader::u32le(sector, static_cast<std::int64_t>(sectorSize - 4));
    }

    Bytes table(static_cast<std::size_t>(fatSectors * sectorSize));
    for (std::size_t i = 0; i < fatSectorNumbers.size(); ++i) {
        const std::uint64_t number = fatSectorNumbers[i];
        if (number >= maxSectors) return std::nullopt;
        if (!cursor.copy((number + 1) * sectorSize, static_cast<std::size_t>(sectorSize), table.data() + i * sectorSize))
            return std::nullopt;
    }
    const auto entry = [&](std::uint64_t index) { return FieldReader::u32le(table, static_cast<std::int64_t>(4 * index)); };
    // The table marks its own sectors and the DIFAT sectors; a table that does not is not this file's.
    for (const std::uint32_t number : fatSectorNumbers)
        if (entry(number) != fatSectorMark) return std::nullopt;
    for (const std::uint32_t number : difatSectorNumbers)
        if (entry(number) != difatSectorMark) return std::nullopt;
    const std::uint64_t directory = FieldReader::u32le(header, 48);
    if (directory >= maxSectors || entry(directory) == freeSector) return std::nullopt;

    std::uint64_t used = fatSectors * entriesPerSector;
    while (used > 0 && entry(used - 1) == freeSector) --used;
    // used > 0: the table's own sectors are marked. The header is sector -1, so used sectors end at
    // (used + 1) sectors from the start.
    const std::uint64_t length = (used + 1) * sectorSize;
    if (length > cursor.limit()) return std::nullopt;
    return length;
}

} // namespace vantrel::CompoundFileLength
