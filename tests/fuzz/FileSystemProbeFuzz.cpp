// Fuzz target: the partition maps, the boot-sector tests and FAT entry reads over hostile bytes. The
// input is the whole device; each geometry found is then used to follow chains through its FAT, to lay
// out a deleted file by the FAT or the exFAT allocation bitmap, and to read an exFAT root whole.
// Reads go through fuzz::VolumeByteSource, which aborts the run on any read a device would refuse.
#include "recovery/filesystems/DeletedFileClusters.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/fat/FatChain.h"
#include "recovery/filesystems/fat/FatEntryReader.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include "VolumeByteSource.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void followChains(vantrel::ByteSource& source, const vantrel::VolumeGeometry& geometry) {
    using namespace vantrel;
    for (std::uint32_t cluster = 0; cluster < 8; ++cluster) (void)FatEntryReader(source, geometry, 0).entry(cluster);
    const std::uint32_t start = geometry.rootCluster >= 2 ? geometry.rootCluster : 2;
    (void)FatChain::readDirectory(source, geometry, start);
    (void)FatChain::isChainFragmented(source, geometry, start, UINT32_MAX);
    AllocatedRegionMap ranges;
    FatChain::appendChainExtents(source, geometry, start, UINT32_MAX, ranges);
    // A file as long as the volume's clusters allow, so that the free-cluster search runs to the end.
    ClusterAllocation allocation(source, geometry);
    const DeletedFileLayout layout =
        DeletedFileClusters::layout(source, geometry, start, geometry.bytesPerCluster() * 64, true, allocation);
    std::uint64_t clusters = 0;
    for (const ClusterRun& run : layout.runs) clusters += run.count;
    if (clusters > 64 || layout.fragmented != (layout.runs.size() > 1)) std::abort();
    ExFATUndeleter::EntrySet root;
    root.firstCluster = start;
    ExFATUndeleter::forEachLiveDirectorySet(source, geometry, root, [](const ExFATUndeleter::EntrySet&) { return true; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    fuzz::VolumeByteSource source(data, size);
    for (const DetectedPartition& partition : FileSystemProbe::probeAll(source))
        if (partition.fatGeometry) followChains(source, *partition.fatGeometry);
    // The boot-sector tests alone, with a partition as long as can be: the geometry then points past
    // the source, which every read must survive.
    const ByteView boot(data, size < 4096 ? size : 4096);
    if (auto geometry = FileSystemProbe::fatGeometry(boot, 0, UINT64_MAX)) followChains(source, *geometry);
    if (auto geometry = FileSystemProbe::exfatGeometry(boot, 0, UINT64_MAX)) followChains(source, *geometry);
    return 0;
}
