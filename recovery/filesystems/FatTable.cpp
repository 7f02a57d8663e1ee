#include "recovery/filesystems/FatTable.h"

#include "recovery/bytesource/Bounds.h"
#include "recovery/filesystems/SourceReads.h"

namespace vantrel {
namespace {

constexpr std::uint32_t fat32EntryMask = 0x0FFFFFFF;

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

std::uint32_t readFatEntry(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster) {
    const EntryPlace place = entryPlace(geometry.entryBits(), cluster);
    const auto fatBytes = checkedMultiply(geometry.fatSizeSectors, geometry.bytesPerSector);
    // An entry beyond the first FAT would read the second copy or the data area.
    if (!fatBytes || !fitsWithin(place.byteOffset, place.bytes, *fatBytes)) return 0;
    const auto offset = checkedAdd(geometry.fatByteOffset, place.byteOffset);
    if (!offset) return 0;
    const Bytes raw = SourceReads::readAvailable(source, *offset, place.bytes);
    if (raw.size() < place.bytes) return 0;
    switch (geometry.entryBits()) {
    case 12: {
        const std::uint16_t pair = FieldReader::u16le(raw, 0);
        return (cluster & 1) ? std::uint32_t{pair} >> 4 : std::uint32_t{pair} & 0x0FFF;
    }
    case 16: return FieldReader::u16le(raw, 0);
    default: {
        const std::uint32_t entry = FieldReader::u32le(raw, 0);
        return geometry.fileSystem == DetectedFileSystem::exfat ? entry : entry & fat32EntryMask;
    }
    }
}

namespace FatTable {

bool isChainLink(const VolumeGeometry& geometry, std::uint32_t entry) {
    return geometry.isValidCluster(entry);
}

std::optional<std::uint32_t> nextCluster(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t cluster) {
    const std::uint32_t entry = readFatEntry(source, geometry, cluster);
    if (!isChainLink(geometry, entry)) return std::nullopt;
    return entry;
}

} // namespace FatTable
} // namespace vantrel
