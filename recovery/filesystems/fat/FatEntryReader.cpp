#include "recovery/filesystems/fat/FatEntryReader.h"

#include "base/Bounds.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

namespace vantrel {
namespace {

constexpr std::uint32_t fat32EntryMask = 0x0FFFFFFF;
// A window reaches this far past its nominal end, so that a 12-bit entry straddling it still fits.
constexpr std::uint64_t windowOverlapBytes = 4;

struct EntryPlace {
    std::uint64_t byteOffset;  // within the FAT
    std::uint64_t bytes;       // bytes to read
};

EntryPlace entryPlace(std::uint8_t entryBits, std::uint32_t cluster) {
    const std::uint64_t n = cluster;
    switch (entryBits) {
    case 12: return {n + n / 2, 2};  // two entries share three bytes
    case 16: return {n * 2, 2};
    default: return {n * 4, 4};
    }
}

} // namespace

FatEntryReader::FatEntryReader(ByteSource& source, const VolumeGeometry& geometry, std::uint64_t windowBytes)
    : m_source(source), m_geometry(geometry), m_windowBytes(windowBytes) {
    m_fatBytes = checkedMultiply(geometry.fatSizeSectors, geometry.bytesPerSector).value_or(0);
}

bool FatEntryReader::load(std::uint64_t fatOffset, std::uint64_t count, Bytes& out) {
    if (m_windowBytes == 0) {
        SourceReads::readAvailableInto(m_source, m_geometry.fatByteOffset + fatOffset, count, out);
        return out.size() == count;
    }
    const bool inWindow = fatOffset >= m_windowStart && fitsWithin(fatOffset - m_windowStart, count, m_window.size());
    if (!inWindow) {
        const std::uint64_t start = fatOffset - fatOffset % m_windowBytes;
        loadWindow(start, std::min(m_windowBytes + windowOverlapBytes, m_fatBytes - start));
        if (!fitsWithin(fatOffset - m_windowStart, count, m_window.size())) return false;
    }
    // An entry that a bad sector holds fails as that sector did, without another read of it.
    const std::uint64_t sectorBytes = std::max<std::uint64_t>(m_geometry.bytesPerSector, 1);
    for (std::uint64_t sector = fatOffset - fatOffset % sectorBytes; sector < fatOffset + count; sector += sectorBytes)
        if (m_badSectors.contains(sector)) throw ByteSourceError::readFailed(m_geometry.fatByteOffset + sector);
    const auto begin = m_window.begin() + static_cast<std::ptrdiff_t>(fatOffset - m_windowStart);
    out.assign(begin, begin + static_cast<std::ptrdiff_t>(count));
    return true;
}

void FatEntryReader::loadWindow(std::uint64_t start, std::uint64_t length) {
    m_windowStart = start;
    std::int64_t passedOver = 0;
    const auto read = [&](std::uint64_t from, std::uint64_t bytes, Bytes& into) {
        return SourceReads::passOverBadSpot(passedOver, [&] {
            SourceReads::readAvailableInto(m_source, m_geometry.fatByteOffset + from, bytes, into);
            return true;
        }).has_value();
    };
    if (read(start, length, m_window)) return;
    // A bad spot fails the whole window: its sectors are read one by one, and those that fail are
    // remembered, so that they fail only their own entries and are not read again.
    const std::uint64_t sectorBytes = std::max<std::uint64_t>(m_geometry.bytesPerSector, 1);
    m_window.clear();
    for (std::uint64_t at = start; at < start + length; at += sectorBytes - at % sectorBytes) {
        const std::uint64_t want = std::min(sectorBytes - at % sectorBytes, start + length - at);
        if (m_badSectors.contains(at - at % sectorBytes) || !read(at, want, m_sector)) {
            m_badSectors.insert(at - at % sectorBytes);
            m_sector.assign(want, 0);
        }
        m_window.insert(m_window.end(), m_sector.begin(), m_sector.end());
        if (m_sector.size() < want) return;
    }
}

std::uint32_t FatEntryReader::entry(std::uint32_t cluster) {
    const std::uint8_t bits = m_geometry.entryBits();
    const EntryPlace place = entryPlace(bits, cluster);
    // An entry beyond the first FAT would read the second copy or the data area.
    if (!fitsWithin(place.byteOffset, place.bytes, m_fatBytes)) return 0;
    if (!checkedAdd(m_geometry.fatByteOffset, place.byteOffset + place.bytes)) return 0;
    if (!load(place.byteOffset, place.bytes, m_entryBytes)) return 0;
    switch (bits) {
    case 12: {
        const std::uint16_t pair = FieldReader::u16le(m_entryBytes, 0);
        return (cluster & 1) ? std::uint32_t{pair} >> 4 : std::uint32_t{pair} & 0x0FFF;
    }
    case 16: return FieldReader::u16le(m_entryBytes, 0);
    default: {
        // FAT32 reserves the top four bits; exFAT entries use all 32.
        const std::uint32_t value = FieldReader::u32le(m_entryBytes, 0);
        return m_geometry.fileSystem == DetectedFileSystem::exfat ? value : value & fat32EntryMask;
    }
    }
}

std::optional<std::uint32_t> FatEntryReader::nextCluster(std::uint32_t cluster) {
    const std::uint32_t value = entry(cluster);
    if (!m_geometry.isValidCluster(value)) return std::nullopt;
    return value;
}

} // namespace vantrel
