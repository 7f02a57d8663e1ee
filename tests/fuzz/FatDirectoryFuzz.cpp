// Fuzz target: the FAT directory walks (deleted and live), the entry and long-name readers and the
// cluster-chain reader over hostile bytes. The input is a whole device; each FAT volume the probe
// finds there is walked, and every hit read back. Reads go through fuzz::VolumeByteSource, which aborts
// the run on any read a device would refuse.
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/fat/FatDirectoryEntry.h"
#include "recovery/filesystems/fat/FatUndeleter.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include "VolumeByteSource.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    fuzz::VolumeByteSource source(data, size);
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    // Extraction is bounded so that a huge declared size costs no more than the device holds.
    constexpr std::uint64_t maxExtractBytes = 1 << 20;

    for (const DetectedPartition& partition : FileSystemProbe::probeAll(source)) {
        if (!partition.fatGeometry) continue;
        AllocatedRegionMap live;
        (void)FatUndeleter::collectActiveRegions(source, *partition.fatGeometry, live);
        (void)FatUndeleter::recoverDeleted(
            source, *partition.fatGeometry, filters, live, [] { return false; },
            [&](const RecoveredHit& hit) { (void)ClusterChainReader::extractBytes(source, hit, maxExtractBytes); },
            [](RecoveredFileKind, ByteView head) { return ImageDimensions{static_cast<std::int64_t>(head.size()), 1}; });
    }
    // The entry readers alone over the raw input as one directory.
    const ByteView directory(data, size);
    for (std::size_t offset = 0; offset + 32 <= size; offset += 32) {
        (void)fatShortName(directory.subspan(offset, 32));
        (void)fatLongName(directory, offset);
    }
    return 0;
}
