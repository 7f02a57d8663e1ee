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
    const auto direct = [&] {
        SourceReads::readAvailableInto(m_source, m_geometry.fatByteOffset + fatOffset, count, out);
        return out.size() == count;
    };
    if (m_windowBytes == 0) return direct();
    const bool inWindow = fatOffset >= m_windowStart && fitsWithin(fatOffset - m_windowStart, count, m_window.size());
    if (!inWindow) {
        const std::uint64_t start = fatOffset - fatOffset % m_windowBytes;
        if (m_failedWindowStart == start) return direct();
        const std::uint64_t length = std::min(m_windowBytes + windowOverlapBytes, m_fatBytes - start);
        m_window.clear();
        std::int64_t passedOver = 0;
        const auto loaded = SourceReads::passOverBadSpot(passedOver, [&] {
            SourceReads::readAvailableInto(m_source, m_geometry.fatByteOffset + start, length, m_window);
            return true;
        });
        if (!loaded) {
            m_failedWindowStart = start;
            return direct();
        }
        m_windowStart = start;
        if (!fitsWithin(fatOffset - m_windowStart, count, m_window.size())) return false;
    }
    const auto begin = m_window.begin() + static_cast<std::ptrdiff_t>(fatOffset - m_windowStart);
    out.assign(begin, begin + static_cast<std::ptrdiff_t>(count));
    return true;
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
