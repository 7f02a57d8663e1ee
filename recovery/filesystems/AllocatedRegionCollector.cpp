#include "recovery/filesystems/AllocatedRegionCollector.h"

#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/fat/FatUndeleter.h"
#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"

namespace vantrel::AllocatedRegionCollector {

AllocatedRegionMap collect(ByteSource& source, const std::vector<DetectedPartition>& partitions, std::int64_t& readErrors) {
    AllocatedRegionMap map;
    for (const DetectedPartition& partition : partitions) {
        switch (partition.fileSystem) {
        case DetectedFileSystem::fat16:
        case DetectedFileSystem::fat32:
            if (partition.geometryAgrees())
                readErrors += FatUndeleter::collectActiveRegions(source, *partition.fatGeometry, map);
            break;
        case DetectedFileSystem::exfat:
            // The walk itself refuses a root cluster outside the volume (0 and 1 included).
            if (partition.geometryAgrees())
                readErrors += ExFATUndeleter::collectActiveRegions(source, *partition.fatGeometry, map);
            break;
        case DetectedFileSystem::hfsPlus:
            readErrors += HfsPlusCatalogWalker::collectActiveRegions(source, partition.offset, partition.length, map);
            break;
        case DetectedFileSystem::unknown:
        case DetectedFileSystem::hfs:
        case DetectedFileSystem::apfs:
            break;
        }
    }
    return map;
}

} // namespace vantrel::AllocatedRegionCollector
