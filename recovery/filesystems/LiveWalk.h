#pragma once
// The state of one volume's live walk, shared by the FAT and exFAT walks: the byte ranges of every live
// file's clusters go into the map.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/VisitedClusters.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"

#include <cstdint>

namespace vantrel {

struct LiveWalk {
    ByteSource& source;
    const VolumeGeometry& geometry;
    AllocatedRegionMap& into;
    VisitedClusters walkedDirectories{};
    std::int64_t readErrors = 0;
};

} // namespace vantrel
