#pragma once
// The one entry through which a whole device is searched: partitions and file systems, the map of space
// that live files occupy, the FAT, exFAT and HFS+ walks for deleted or catalogued files, and, in the
// standard mode, signature carving over the whole device.
//
// Rules the engine keeps:
// - it runs on the caller's thread and talks back only through the three callbacks; it starts no
//   threads, takes no locks and writes no log;
// - a bad spot (an unreadable sector) in the probe, the region map or a walk is passed over, and the
//   scan goes on to carving; the progress's readErrors is the number of sectors that could not be read
//   (see BadSectorTally), each counted once whichever step met it;
// - a device that is gone, or shorter than when it was opened (ByteSourceError::deviceChanged), or a
//   closed source ends the scan with that error, never as complete;
// - cancellation is not a failure: the scan returns at the next check without a final report.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/engine/ScanMode.h"
#include "recovery/filesystems/VolumeCache.h"
#include "recovery/filesystems/partitions/DetectedPartition.h"
#include "recovery/model/AllocatedRegionMap.h"
#include "recovery/model/RecoveryFilters.h"

#include <cstdint>
#include <functional>

namespace vantrel {

class RecoveryEngine {
public:
    using ShouldCancel = std::function<bool()>;
    using OnProgress = std::function<void(const ScanProgress&)>;
    using OnHit = std::function<void(const RecoveredHit&)>;
    using ByteSink = std::function<void(ByteView chunk)>;

    // The carver the helper uses: the shipped signature table, 512-byte sectors, 4 MiB windows.
    RecoveryEngine();
    explicit RecoveryEngine(SignatureCarver signatureCarver) : carver(std::move(signatureCarver)) {}

    // Searches the source. Throws the first error that ends the scan (see the rules above); hits already
    // handed to onHit stay delivered. What the probe and the walks learn goes into volumes, when given,
    // for reading the hits back. The carve takes the walks of JPEGs walksAhead makes, when given.
    void scan(ByteSource& source, ScanMode mode, const RecoveryFilters& filters, const ShouldCancel& shouldCancel,
              const OnProgress& onProgress, const OnHit& onHit, VolumeCache* volumes = nullptr,
              JPEGWalkAhead::Provider* walksAhead = nullptr) const;

    // Streams a hit's bytes to the sink (by cluster chain for undeleted FAT and exFAT files, else as its
    // byte range) and returns how many were delivered; failures propagate.
    static std::uint64_t extract(const RecoveredHit& hit, ByteSource& source, const ByteSink& sink,
                                 VolumeCache* volumes = nullptr);

    SignatureCarver carver;

private:
    // The deleted-file or catalog walk of one partition, by its file system.
    static void walkPartition(ByteSource& source, const DetectedPartition& partition, const RecoveryFilters& filters,
                              const AllocatedRegionMap& liveRegions, const ShouldCancel& shouldCancel,
                              const OnHit& onHit, std::int64_t& readErrors, VolumeCache* volumes);
};

} // namespace vantrel
