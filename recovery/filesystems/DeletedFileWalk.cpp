#include "recovery/filesystems/DeletedFileWalk.h"

#include "recovery/filesystems/HitPath.h"
#include "recovery/filesystems/KindForFileName.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

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
    const ClusterPlacement placed = placement();
    hit.isFragmented = placed.isFragmented;
    hit.clusterReallocated = placed.clusterReallocated;
    if (!keepsRun(hit, placed.runAssumed)) return std::nullopt;
    hit.suggestedName = ownName && UndeleteNamingState::isUsableUndeleteName(*ownName)
                            ? naming.suggestedName(*ownName, kind)
                            : naming.numberedName(kind);
    hit.reconstructedPath = HitPath::fitted(std::string(file.folderPath) + hit.suggestedName);
    hit.source = file.source;
    hit.integrity = hit.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
    hit.clusterHint = ClusterAllocationHint{file.firstCluster, geometry.partitionOffset, geometry.fileSystem};
    if (!filters.accepts(hit)) return std::nullopt;
    return hit;
}

bool DeletedFileWalk::keepsRun(RecoveredHit& hit, bool runAssumed) {
    const bool smallForPixels =
        hit.kind == RecoveredFileKind::jpeg && hit.dimensions && !isPlausibleJpegPayload(hit.byteLength, *hit.dimensions);
    // A run that the clusters do not break is one file only by assumption once it spans two clusters.
    const bool assumedWhole = runAssumed && !hit.isFragmented && hit.byteLength > geometry.bytesPerCluster();
    if (!smallForPixels && !assumedWhole) return true;
    if (!checkRun) return !smallForPixels;
    const std::uint64_t length = std::min(hit.byteLength, geometry.clusterHeapEnd() - std::min(geometry.clusterHeapEnd(), hit.byteOffset));
    const RunVerdict verdict =
        SourceReads::passOverBadSpot(outcome.readErrors, [&] { return checkRun(hit.kind, source, hit.byteOffset, length, geometry.bytesPerCluster(), smallForPixels); })
            .value_or(RunVerdict::unknown);
    if (verdict == RunVerdict::whole) return true;
    if (verdict == RunVerdict::broken) hit.isFragmented = true;
    // What is neither whole nor of a picture's worth of bytes is a piece.
    return !smallForPixels;
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
