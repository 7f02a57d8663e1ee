// Fuzz target: the HFS Plus catalog walk and live-extent collection over hostile bytes. The input is
// one partition, walked whole and again as if it started 512 bytes in. Reads go through
// fuzz::VolumeByteSource, which aborts the run on any read a device would refuse or that starts outside
// the partition being walked.
#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"

#include "VolumeByteSource.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    fuzz::VolumeByteSource source(data, size);
    RecoveryFilters filters;
    for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
    const auto sizeOfHead = [](RecoveredFileKind, ByteView head) {
        return ImageDimensions{static_cast<std::int64_t>(head.size()), 1};
    };
    for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{512}}) {
        if (offset > size) continue;
        // A partition entry may claim more than the device holds.
        for (const std::uint64_t length : {size - offset, std::uint64_t{1} << 40}) {
            source.limitTo(offset, length);
            AllocatedRegionMap live;
            (void)HfsPlusCatalogWalker::collectActiveRegions(source, offset, length, live);
            (void)HfsPlusCatalogWalker::recoverFiles(
                source, offset, length, filters, [] { return false; }, [](const RecoveredHit&) {}, sizeOfHead);
        }
    }
    return 0;
}
