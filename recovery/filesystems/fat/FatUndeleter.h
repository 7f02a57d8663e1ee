#pragma once
// Deleted files on FAT12, FAT16 and FAT32 volumes: walks the directory tree from the root and reports
// every deleted entry whose name maps to a known kind, with its long name, size and first cluster.
// The same walk over live entries lists the byte ranges that live files occupy. Layout: FAT
// standard, sections 6 and 7; entries are read through FatDirectoryEntry.
//
// Bounds: a directory is read through at most FatChain::maxDirectoryBytes, at most maxDirectoryDepth
// levels below the root, and a directory whose first cluster was walked already (a looping tree) is
// not walked again. An unreadable sector costs what it holds: a directory's sector its entries, a FAT
// sector the links it holds (a chain ends there); each is counted, and the walk goes on with the rest.
// A directory cut at the byte cap is counted by the deleted-file walk (the live walk of the same
// directory does not count it again).

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/DeletedFileWalk.h"
#include "recovery/filesystems/LiveWalk.h"
#include "recovery/filesystems/PictureSniffer.h"
#include "recovery/filesystems/WalkOutcome.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vantrel::FatUndeleter {

// The root is depth 0; a directory is walked only at this depth or less.
inline constexpr int maxDirectoryDepth = 15;

// Walks one FAT12/16/32 volume with a fresh naming state: the fixed root region of FAT12/16, or the
// root chain of FAT32. Nothing for other file systems. Only a device that is gone propagates. A deleted
// file takes its kind from its whole long name, else from its short name; when the name gives none,
// readKind (when given) tells it from the file's first bytes. checkRun (when given) checks the files whose
// clusters are one run only by assumption (DeletedFileWalk::acceptedHit).
WalkOutcome recoverDeleted(ByteSource& source, const VolumeGeometry& geometry, const RecoveryFilters& filters,
                           const AllocatedRegionMap& activeRegions, const std::function<bool()>& shouldCancel,
                           const std::function<void(const RecoveredHit&)>& onHit,
                           const PictureDimensionReader& readDimensions = {},
                           const ContentKindReader& readKind = {}, const ContiguousRunCheck& checkRun = {});

// One directory held in clusters, at the given depth; path ends with "/".
void walkDirectory(DeletedFileWalk& walk, std::uint32_t firstCluster, const std::string& path, int depth);
// A directory whose bytes the caller read (the fixed root region); no depth test of its own.
void walkRootDirectory(DeletedFileWalk& walk, ByteView directory, const std::string& path, int depth);

// Adds the byte ranges of every live file's clusters to the map (directories' own clusters are not
// added). When a sector of the volume's folders or FAT could not be read, the live files it told of are
// unknown, so every cluster the FAT does not show free is added too. Returns the bad spots passed
// over; a device that is gone propagates.
std::int64_t collectActiveRegions(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into);
void collectLiveDirectory(LiveWalk& walk, std::uint32_t firstCluster, int depth);
void collectLiveRootDirectory(LiveWalk& walk, ByteView directory, int depth);

// The fixed root region of a FAT12/16 volume: where it starts and how many bytes it holds.
struct RootRegion {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};
RootRegion fixedRootRegion(const VolumeGeometry& geometry);

} // namespace vantrel::FatUndeleter
