#pragma once
// Lists the files an HFS Plus volume's catalog records, read straight from the device without mounting
// it (Apple Technical Note TN1150, "HFS Plus Volume Format"): every file whose data lies in one
// contiguous run and whose name maps to a known kind becomes a hit with its folder path, and the data
// extents of every catalogued file are added to the allocated-region map.
//
// Only the catalog B-tree is read: the extents-overflow file, the attributes file and resource forks are
// not, so a file (or a catalog) with more than eight extents is seen through its first eight only.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/PictureSniffer.h"
#include "recovery/filesystems/WalkOutcome.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveredHit.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>

namespace vantrel::HfsPlusCatalogWalker {

// The most leaf nodes one walk visits; a catalog of a removable card holds far fewer.
constexpr std::uint64_t maxLeafNodes = 100'000;
// A node with more records than this is taken as garbage: the count comes from the disk, and each record
// costs an entry in the node's list before it is checked. No real catalog node comes near it: a record
// needs at least a key of 8 bytes, a thread record's 10 bytes and its 2-byte offset, so a node of the
// largest size, 32,768 bytes, holds at most 1,637.
constexpr std::uint64_t maxRecordsPerNode = 1'999;
// Folder levels above a file that its path names.
constexpr int maxPathDepth = 64;

using CancelCheck = std::function<bool()>;
using HitHandler = std::function<void(const RecoveredHit&)>;

// Delivers, through onHit and in leaf-chain order, each catalogued file that passes the filters; JPEG
// and PNG files are sized through readDimensions. shouldCancel is asked before every node and every
// record; true ends the walk quietly. A catalog node that cannot be read (a bad spot) is counted in
// the outcome and ends the walk of this volume; a device that has gone away fails with its error.
// Malformed structures end the walk quietly.
WalkOutcome recoverFiles(ByteSource& source, std::uint64_t partitionOffset, std::uint64_t partitionLength,
                         const RecoveryFilters& filters, const CancelCheck& shouldCancel,
                         const HitHandler& onHit, const PictureDimensionReader& readDimensions = {});

// Appends the data extents of every file record (whatever its name or kind) to into, in walk order,
// each cut to the file's logical size and to the partition. Returns the bad spots passed over; a
// device that has gone away fails with its error.
std::int64_t collectActiveRegions(ByteSource& source, std::uint64_t partitionOffset, std::uint64_t partitionLength,
                                  AllocatedRegionMap& into);

} // namespace vantrel::HfsPlusCatalogWalker
