#pragma once
// The byte ranges that live files occupy on a whole device, gathered once per scan before any
// search: the live directory trees of every FAT and exFAT partition and the catalog of every HFS Plus
// partition the probe found. Carving tests its hits against the map, and the FAT and exFAT walks test
// a deleted file's clusters against it.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/partitions/DetectedPartition.h"
#include "recovery/model/AllocatedRegionMap.h"

#include <cstdint>
#include <vector>

namespace vantrel::AllocatedRegionCollector {

// The ranges of every partition, merged where they touch (see AllocatedRegionMap). A partition
// contributes only when its geometry agrees with its file system (FAT12/16/32, exFAT with a root
// cluster of the volume) or when it is HFS Plus; others add nothing. A bad spot in a directory, the
// FAT or the catalog is added to readErrors and passed over (on FAT, every cluster whose owner it leaves
// unknown counts as live; see FatUndeleter::collectActiveRegions); a device that has gone away fails
// with its error.
AllocatedRegionMap collect(ByteSource& source, const std::vector<DetectedPartition>& partitions, std::int64_t& readErrors);

} // namespace vantrel::AllocatedRegionCollector
