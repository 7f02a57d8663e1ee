// Fuzz target: the exFAT directory walks (deleted and live), the entry-set reader and the cluster-chain
// reader for exFAT hits, over hostile bytes. The input is a whole device; each exFAT volume the probe
// finds there is walked and every hit read back. The raw input is also read as one directory. Reads go
// through fuzz::VolumeByteSource, which aborts the run on any read a device would refuse.
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
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
        if (!partition.fatGeometry || partition.fatGeometry->fileSystem != DetectedFileSystem::exfat) continue;
        const VolumeGeometry& geometry = *partition.fatGeometry;
        AllocatedRegionMap live;
        (void)ExFATUndeleter::collectActiveRegions(source, geometry, live);
        (void)ExFATUndeleter::recoverDeleted(
            source, geometry, filters, live, [] { return false; },
            [&](const RecoveredHit& hit) { (void)ClusterChainReader::extractBytes(source, hit, maxExtractBytes); },
            [](RecoveredFileKind, ByteView head) { return ImageDimensions{static_cast<std::int64_t>(head.size()), 1}; });
    }
    (void)ExFATUndeleter::forEachEntrySet(ByteView(data, size), {}, [](const ExFATUndeleter::EntrySet& set) {
        (void)set.fileSize();
        return true;
    });
    return 0;
}
