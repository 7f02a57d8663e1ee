#pragma once
// Deleted files on exFAT volumes: walks the directory tree from the root directory's cluster and
// reports every deleted file entry set whose name maps to a known kind, with its name, size and first
// cluster. The same walk over live entry sets lists the byte ranges that live files occupy. Layout:
// exFAT standard (Microsoft, 2019), sections 6 and 7.
//
// Clusters of a file or folder follow the exFAT format's one rule, used by the walks, the region
// collection and the cluster-chain reader alike: a stream flagged NoFatChain is one contiguous run of
// ⌈size ÷ cluster size⌉ clusters from its first cluster (the FAT holds nothing for it; the Linux driver
// leaves its entries 0, other writers leave stale values); any other stream follows its FAT chain,
// whose links are 2 to clusterCount + 1, with 0xFFFFFFFF as the end and 0xFFFFFFF7 a bad cluster.
//
// Bounds: the deleted-file walk reads a directory through at most FatChain::maxDirectoryBytes; the live
// walk reads each directory whole, piece by piece, so that no live file is left out of the allocated
// regions. Both walk at most maxDirectoryDepth levels below the root, and a directory whose first cluster
// was walked already is not walked again. A bad spot in a directory or the FAT is counted and passed
// over; so is a directory cut at the byte cap, by the deleted-file walk.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/DeletedFileWalk.h"
#include "recovery/filesystems/PictureSniffer.h"
#include "recovery/filesystems/WalkOutcome.h"
#include "recovery/filesystems/fat/FatChain.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vantrel::ExFATUndeleter {

// The root is depth 0; a directory is walked only at this depth or less.
inline constexpr int maxDirectoryDepth = 15;

// One file entry set (file entry, stream extension, name entries) as the walks use it.
struct EntrySet {
    bool inUse = false;          // type 0x85; a deleted set has type 0x05
    bool isDirectory = false;    // file attribute 0x10
    bool hasStream = false;
    bool noFatChain = false;     // stream flag 0x02: one contiguous run, no FAT chain
    std::uint32_t firstCluster = 0;
    std::uint64_t validDataLength = 0;
    std::uint64_t dataLength = 0;
    std::string name;            // UTF-8 of the name entries' units

    // The bytes a file holds: its valid data length, or its data length when that is 0 or the valid
    // length claims more than the allocation.
    std::uint64_t fileSize() const;
};

// Calls visit for each entry set of a directory's bytes in order (sets with fewer than two secondary
// entries or running past the data are passed over entry by entry), until the end-of-directory
// entry, the data's end, shouldStop returning true before an entry, or visit returning false.
// Returns false when it stopped for shouldStop.
bool forEachEntrySet(ByteView directory, const std::function<bool()>& shouldStop,
                     const std::function<bool(const EntrySet&)>& visit);

// Calls visit for each entry set of a whole directory (the root, or a folder's set), read piece by
// piece through its run or FAT chain up to its end-of-directory entry, its stated length, the most an
// exFAT directory may hold or a cluster met before, until visit returns false. Read failures propagate.
void forEachLiveDirectorySet(ByteSource& source, const VolumeGeometry& geometry, const EntrySet& directory,
                             const std::function<bool(const EntrySet&)>& visit);

// The text of one file name entry: its 15 units up to the first 0.
std::string exfatNameFragment(ByteView entry);

// The bytes of a directory, at most FatChain::maxDirectoryBytes of them whatever its stream states: the
// root (no stream: its FAT chain) or a folder's stream; cut when the directory goes on past the cap.
// Read failures propagate.
FatChain::DirectoryContents readExFATDirectory(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                         bool noFatChain, std::uint64_t dataLength);

// Walks one exFAT volume with a fresh naming state (nothing unless geometry is exFAT with a root
// cluster of the volume). Only a device that is gone propagates. Each hit delivered leaves in the
// cache, when one is given, whether its file is stored without a FAT chain. checkRun (when given) checks
// the files whose clusters are one run only by assumption (DeletedFileWalk::acceptedHit).
WalkOutcome recoverDeleted(ByteSource& source, const VolumeGeometry& geometry,
                          const RecoveryFilters& filters, const AllocatedRegionMap& activeRegions,
                          const std::function<bool()>& shouldCancel,
                          const std::function<void(const RecoveredHit&)>& onHit,
                          const PictureDimensionReader& readDimensions = {},
                          VolumeCache* volumes = nullptr, const ContiguousRunCheck& checkRun = {});

// The deleted-file walk of one directory at the given depth, path ending with "/", in the state the
// FAT walk keeps too (naming, visited directories, outcome).
void walkDirectory(DeletedFileWalk& walk, std::uint32_t firstCluster, bool noFatChain,
                   std::uint64_t dataLength, const std::string& path, int depth);

// Adds the byte ranges of every live file to the map: a NoFatChain file as one range, a chained file
// one range per run of consecutive clusters. When a sector of the folders or FAT could not be read, every
// cluster the allocation bitmap holds is added too, as a live file may hold it. Returns the bad spots
// passed over; a device that is gone propagates.
std::int64_t collectActiveRegions(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into);

// Whether the file a directory walk reported with this first cluster and at least byteLength bytes is
// stored without a FAT chain, from its entry set (deleted sets first, then live ones); nothing when no
// set matches.
// Lets a reader that has only a hit's cluster and size follow the same rule as the walk.
std::optional<bool> storedWithoutFatChain(ByteSource& source, const VolumeGeometry& geometry,
                                          std::uint32_t firstCluster, std::uint64_t byteLength);

} // namespace vantrel::ExFATUndeleter
