#pragma once
// The state of one volume's deleted-file walk, shared by the FAT and exFAT walks, and the steps that
// make a hit of a deleted file either walk finds: its kind from its name, its picture size and the
// plausibility test, its name and folder path, where its clusters lie, its cluster hint, and the scan's
// filters.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/filesystems/ContiguousRunReader.h"
#include "recovery/filesystems/DeletedFileClusters.h"
#include "recovery/filesystems/PictureSniffer.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/filesystems/VisitedClusters.h"
#include "recovery/filesystems/VolumeCache.h"
#include "recovery/filesystems/WalkOutcome.h"
#include "recovery/filesystems/partitions/VolumeGeometry.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveredHit.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// A deleted file as its directory entry describes it.
struct DeletedFile {
    std::string_view kindName;            // the name whose extension gives the kind (FAT: the long name when
                                          // the entry keeps a whole one, else the short name)
    std::optional<std::string> ownName;   // the name to keep when it is usable (FAT: the long name)
    std::string_view folderPath;          // "/" and the folders down to the file, ending with "/"
    std::uint32_t firstCluster = 0;
    std::uint64_t byteLength = 0;
    HitSource source = HitSource::fatUndelete;
};

// Where a deleted file's clusters lie: whether they leave consecutive clusters, whether a live file now
// holds one of them, and whether a run of them is one only because nothing on the volume says otherwise
// (a cleared chain), not because the entry says so.
struct ClusterPlacement {
    bool isFragmented = false;
    bool clusterReallocated = false;
    // One run of more than one cluster, the clusters after the chain's placed there by assumption only:
    // the file's structure is asked whether the run holds it.
    bool runAssumed = false;
};

// The state of one partition's deleted-file walk. The callbacks run on the caller's thread.
struct DeletedFileWalk {
    ByteSource& source;
    const VolumeGeometry& geometry;
    const RecoveryFilters& filters;
    const AllocatedRegionMap& activeRegions;
    UndeleteNamingState& naming;
    std::function<bool()> shouldCancel;
    std::function<void(const RecoveredHit&)> onHit;
    PictureDimensionReader readDimensions;
    VisitedClusters walkedDirectories{};
    WalkOutcome outcome{};
    // Where a walk leaves what reading its hits back needs to know; none when nobody keeps it.
    VolumeCache* volumes = nullptr;
    // The kind of a file whose name gives none, from its first bytes; without it such files are passed over.
    ContentKindReader readKind{};
    // Whether a file's clusters, taken to be one run, hold one whole file; without it a JPEG too small in
    // bytes for its pixels is dropped and other runs are taken as they are.
    ContiguousRunCheck checkRun{};
    // Which clusters live files and folders hold, read when a file's placement first asks.
    std::optional<ClusterAllocation> allocation{};

    // The hit of a deleted file, or nothing when it is dropped. In this order: its first cluster must
    // lie in the volume and its name must promise a known kind, or else its first bytes must show one; a
    // JPEG or PNG is sized from its first bytes and dropped when its sides are no picture's;
    // placement() then says where its clusters lie (a reallocated file is suspect); a run of more than
    // one cluster that is one run only because nothing says otherwise, and a JPEG too small in bytes for
    // its pixels, are checked with checkRun: a run that is not one whole file is flagged fragmented, and
    // a JPEG small for its pixels is kept only when whole; it is named after its own name when that is
    // usable, else numbered, and placed below its folder path; last the scan's filters decide. Bad spots
    // read on the way are counted in outcome. The caller delivers the hit.
    std::optional<RecoveredHit> acceptedHit(const DeletedFile& file, const std::function<ClusterPlacement()>& placement);

    // The placement of a file stored with a FAT chain, as DeletedFileClusters lays it out (the chain
    // while it holds, then the following clusters nothing live holds): fragmented when it is not one run,
    // reallocated when one of its clusters lies in a live range, assumed when it is one run longer than
    // its chain. A FAT whose chain cannot be read leaves
    // the file fragmented when unreadMeansFragmented says so.
    ClusterPlacement chainPlacement(std::uint32_t firstCluster, std::uint64_t byteLength, bool unreadMeansFragmented);

    // The run check of acceptedHit: false when the hit is dropped; flags the hit when its run is broken.
    bool keepsRun(RecoveredHit& hit, bool runAssumed);
};

} // namespace vantrel
