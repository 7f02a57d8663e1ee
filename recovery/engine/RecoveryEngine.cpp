#include "recovery/engine/RecoveryEngine.h"

#include "recovery/carving/ContentSniffer.h"
#include "recovery/carving/RunStructureCheck.h"
#include "recovery/carving/PictureDimensions.h"
#include "recovery/carving/RunCheck.h"
#include "recovery/carving/SignatureCatalog.h"
#include "recovery/engine/BadSectorTally.h"
#include "recovery/filesystems/AllocatedRegionCollector.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/exfat/ExFATUndeleter.h"
#include "recovery/filesystems/fat/FatUndeleter.h"
#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"

#include <algorithm>

namespace vantrel {

namespace {

// The helper's carver: 512-byte sectors, windows of 4 MiB.
constexpr std::uint64_t helperSectorBytes = 512;
constexpr std::int64_t helperWindowBytes = 0x400000;

// The progress the engine itself reports while it probes and walks: bytes scanned = total ÷ 100 (at
// least 1 for a source of 1 to 99 bytes), so a caller sees that the scan has begun.
std::uint64_t firstPercent(std::uint64_t total) {
    if (total >= 100) return total / 100;
    return total > 0 ? 1 : 0;
}

} // namespace

RecoveryEngine::RecoveryEngine()
    : carver(SignatureCatalog::carveMVP(), helperSectorBytes, helperWindowBytes) {}

void RecoveryEngine::scan(ByteSource& device, ScanMode mode, const RecoveryFilters& filters,
                          const ShouldCancel& shouldCancel, const OnProgress& onProgress, const OnHit& onHit,
                          VolumeCache* volumes, JPEGWalkAhead::Provider* walksAhead) const {
    // Every read goes through the tally, so that each unreadable sector is counted once, whoever met it.
    BadSectorTally source(device);
    const std::uint64_t total = source.length();
    // What each step counts of the bad spots it passed over; the reports carry the tally's sectors instead.
    std::int64_t passedOver = 0;
    const auto report = [&](std::uint64_t scanned) {
        onProgress(ScanProgress{scanned, total, 0, source.unreadableSectors()});
    };

    report(0);
    const std::vector<DetectedPartition> partitions = FileSystemProbe::probeAll(source, passedOver);
    if (!partitions.empty()) report(firstPercent(total));
    if (volumes) {
        // The probe has just read these boot sectors; one that fails now only leaves the cache empty.
        SourceReads::passOverBadSpot(passedOver, [&] {
            volumes->rememberVolumes(source, partitions);
            return true;
        });
    }

    const AllocatedRegionMap liveRegions = AllocatedRegionCollector::collect(source, partitions, passedOver);

    // The JPEGs the walks kept although small for their pixels were decoded whole: the carve need not again.
    std::vector<std::uint64_t> wholePictures;
    const OnHit walkHit = [&](const RecoveredHit& hit) {
        if (hit.kind == RecoveredFileKind::jpeg && !hit.isFragmented && hit.dimensions &&
            !isPlausibleJpegPayload(hit.byteLength, *hit.dimensions))
            wholePictures.push_back(hit.byteOffset);
        onHit(hit);
    };
    for (const DetectedPartition& partition : partitions) {
        if (shouldCancel()) return;
        // A walk that fails at a bad spot it cannot pass over itself loses only the rest of its partition.
        SourceReads::passOverBadSpot(passedOver, [&] {
            walkPartition(source, partition, filters, liveRegions, shouldCancel, walkHit, passedOver, volumes);
            return true;
        });
    }
    if (shouldCancel()) return;
    // The walks read only the device's structures; one that shrank below them would still end as complete.
    if (const std::uint64_t now = source.currentLength(); now < total) throw ByteSourceError::deviceChanged(total, now);

    switch (mode) {
    case ScanMode::quickUndelete:
        report(source.length());
        return;
    case ScanMode::standard: {
        const auto carveProgress = [&](const ScanProgress& progress) {
            ScanProgress combined = progress;
            combined.readErrors = source.unreadableSectors();
            onProgress(combined);
        };
        std::sort(wholePictures.begin(), wholePictures.end());
        carver.carve(source, filters, liveRegions, shouldCancel, carveProgress, onHit, wholePictures, walksAhead);
        return;
    }
    }
}

void RecoveryEngine::walkPartition(ByteSource& source, const DetectedPartition& partition, const RecoveryFilters& filters,
                                   const AllocatedRegionMap& liveRegions, const ShouldCancel& shouldCancel,
                                   const OnHit& onHit, std::int64_t& readErrors, VolumeCache* volumes) {
    const auto& geometry = partition.fatGeometry;
    switch (partition.fileSystem) {
    case DetectedFileSystem::fat16:
    case DetectedFileSystem::fat32:
        // The geometry must agree with the partition's own file system.
        if (!partition.geometryAgrees()) return;
        readErrors += FatUndeleter::recoverDeleted(source, *geometry, filters, liveRegions, shouldCancel, onHit,
                                                   PictureDimensions::read, ContentSniffer::kindOf, RunCheck::verdict)
                          .readErrors;
        return;
    case DetectedFileSystem::exfat:
        // Clusters 0 and 1 do not exist; a root there is no volume to walk.
        if (!partition.geometryAgrees() || geometry->rootCluster < 2) return;
        readErrors += ExFATUndeleter::recoverDeleted(source, *geometry, filters, liveRegions, shouldCancel, onHit,
                                                     PictureDimensions::read, volumes, RunCheck::verdict)
                          .readErrors;
        return;
    case DetectedFileSystem::hfsPlus:
        readErrors += HfsPlusCatalogWalker::recoverFiles(source, partition.offset, partition.length, filters, shouldCancel,
                                                         onHit, PictureDimensions::read).readErrors;
        return;
    case DetectedFileSystem::unknown:
    case DetectedFileSystem::hfs:
    case DetectedFileSystem::apfs:
        return;
    }
}

std::uint64_t RecoveryEngine::extract(const RecoveredHit& hit, ByteSource& source, const ByteSink& sink,
                                      VolumeCache* volumes) {
    return ClusterChainReader::extract(source, hit, sink, ClusterChainReader::defaultChunkBytes, volumes);
}

} // namespace vantrel
