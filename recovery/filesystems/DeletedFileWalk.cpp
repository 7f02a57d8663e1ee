#include "recovery/filesystems/DeletedFileWalk.h"

#include "recovery/filesystems/HitPath.h"
#include "recovery/filesystems/KindForFileName.h"
#include "recovery/filesystems/SourceReads.h"

namespace vantrel {

namespace {

// The name with its extension (the text after the last "." that does not begin it) replaced by the kind's.
std::string withExtension(const std::string& name, RecoveredFileKind kind) {
    const auto dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    return stem + "." + std::string(FileKind::preferredExtension(kind));
}

} // namespace

std::optional<RecoveredHit> DeletedFileWalk::acceptedHit(const DeletedFile& file,
                                                         const std::function<ClusterPlacement()>& placement) {
    const auto byteOffset = geometry.clusterByteOffset(file.firstCluster);
    if (!byteOffset) return std::nullopt;
    RecoveredFileKind kind = kindForFileName(file.kindName);
    std::optional<std::string> ownName = file.ownName;
    if (kind == RecoveredFileKind::unknown) {
        kind = PictureSniffer::sniffKind(source, readKind, *byteOffset, file.byteLength, geometry.clusterHeapEnd(),
                                         outcome.readErrors);
        if (kind == RecoveredFileKind::unknown) return std::nullopt;
        // The file keeps its name, with the extension of what it holds.
        if (ownName) ownName = withExtension(*ownName, kind);
    }

    RecoveredHit hit;
    hit.kind = kind;
    hit.byteOffset = *byteOffset;
    hit.byteLength = file.byteLength;
    hit.dimensions = PictureSniffer::sniff(source, readDimensions, kind, *byteOffset, file.byteLength,
                                           geometry.clusterHeapEnd(), outcome.readErrors);
    if (!PictureSniffer::isPlausiblePicture(hit)) return std::nullopt;
    hit.suggestedName = ownName && UndeleteNamingState::isUsableUndeleteName(*ownName)
                            ? naming.suggestedName(*ownName, kind)
                            : naming.numberedName(kind);
    hit.reconstructedPath = HitPath::fitted(std::string(file.folderPath) + hit.suggestedName);
    const ClusterPlacement placed = placement();
    hit.isFragmented = placed.isFragmented;
    hit.clusterReallocated = placed.clusterReallocated;
    hit.source = file.source;
    hit.integrity = hit.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
    hit.clusterHint = ClusterAllocationHint{file.firstCluster, geometry.partitionOffset, geometry.fileSystem};
    if (!filters.accepts(hit)) return std::nullopt;
    if (placed.runAssumed && !hit.isFragmented && checkRun) {
        const auto verdict = SourceReads::passOverBadSpot(outcome.readErrors, [&] {
            return checkRun(kind, source, hit.byteOffset, hit.byteLength, geometry.bytesPerCluster());
        });
        hit.isFragmented = verdict == RunVerdict::broken;
    }
    return hit;
}

ClusterPlacement DeletedFileWalk::chainPlacement(std::uint32_t firstCluster, std::uint64_t byteLength,
                                                 bool unreadMeansFragmented) {
    if (!allocation) allocation.emplace(source, geometry);
    const auto placed = SourceReads::passOverBadSpot(outcome.readErrors, [&] {
        return DeletedFileClusters::layout(source, geometry, firstCluster, byteLength, true, *allocation);
    });
    if (!placed) return ClusterPlacement{unreadMeansFragmented, false};
    outcome.readErrors += placed->badSpots;
    const bool assumed = placed->runs.size() == 1 && placed->runs.front().count > placed->chainClusters;
    return ClusterPlacement{placed->fragmented || (placed->chainUnread && unreadMeansFragmented),
                            DeletedFileClusters::meetsRegions(geometry, *placed, byteLength, activeRegions), assumed};
}

} // namespace vantrel
