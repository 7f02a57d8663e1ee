#include "recovery/filesystems/DeletedFileWalk.h"

#include "recovery/filesystems/HitPath.h"
#include "recovery/filesystems/KindForFileName.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/fat/FatChain.h"

namespace vantrel {

std::optional<RecoveredHit> DeletedFileWalk::acceptedHit(const DeletedFile& file,
                                                         const std::function<ClusterPlacement()>& placement) {
    const auto byteOffset = geometry.clusterByteOffset(file.firstCluster);
    if (!byteOffset) return std::nullopt;
    const RecoveredFileKind kind = kindForFileName(file.kindName);
    if (kind == RecoveredFileKind::unknown) return std::nullopt;

    RecoveredHit hit;
    hit.kind = kind;
    hit.byteOffset = *byteOffset;
    hit.byteLength = file.byteLength;
    hit.dimensions = PictureSniffer::sniff(source, readDimensions, kind, *byteOffset, file.byteLength,
                                           geometry.clusterHeapEnd(), outcome.readErrors);
    if (!PictureSniffer::isPlausiblePicture(hit)) return std::nullopt;
    hit.suggestedName = file.ownName && UndeleteNamingState::isUsableUndeleteName(*file.ownName)
                            ? naming.suggestedName(*file.ownName, kind)
                            : naming.numberedName(kind);
    hit.reconstructedPath = HitPath::fitted(std::string(file.folderPath) + hit.suggestedName);
    const ClusterPlacement placed = placement();
    hit.isFragmented = placed.isFragmented;
    hit.clusterReallocated = placed.clusterReallocated;
    hit.source = file.source;
    hit.integrity = hit.clusterReallocated ? HitIntegrity::suspect : HitIntegrity::pending;
    hit.clusterHint = ClusterAllocationHint{file.firstCluster, geometry.partitionOffset, geometry.fileSystem};
    if (!filters.accepts(hit)) return std::nullopt;
    return hit;
}

ClusterPlacement DeletedFileWalk::chainPlacement(std::uint32_t firstCluster, std::uint64_t byteLength,
                                                 bool unreadMeansFragmented) {
    ClusterPlacement placed;
    placed.isFragmented = SourceReads::passOverBadSpot(outcome.readErrors, [&] {
                              return FatChain::isChainFragmented(source, geometry, firstCluster, byteLength);
                          }).value_or(unreadMeansFragmented);
    placed.clusterReallocated =
        FatChain::chainMeetsRegions(source, geometry, firstCluster, byteLength, activeRegions, outcome.readErrors);
    return placed;
}

} // namespace vantrel
