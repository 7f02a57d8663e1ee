#include "VantrelHelper/HelperHitConversion.h"

namespace vantrel::HelperHitConversion {

HelperHitDTO record(const RecoveredHit& hit) { return view(hit).record(); }

HelperHitView view(const RecoveredHit& hit) {
    HelperHitView view;
    view.kind = FileKind::rawValue(hit.kind);
    view.byteOffset = hit.byteOffset;
    view.byteLength = hit.byteLength;
    view.suggestedName = hit.suggestedName;
    if (hit.reconstructedPath) view.reconstructedPath = *hit.reconstructedPath;
    if (hit.dimensions) {
        view.width = hit.dimensions->width;
        view.height = hit.dimensions->height;
    }
    view.source = HitSourceName::rawValue(hit.source);
    view.isFragmented = hit.isFragmented;
    view.clusterReallocated = hit.clusterReallocated;
    if (const auto& hint = hit.clusterHint) {
        view.firstCluster = hint->firstCluster;
        view.partitionOffset = hint->partitionOffset;
        view.fileSystem = FileSystemName::rawValue(hint->fileSystem);
    }
    if (const auto& piece = hit.secondPiece) {
        view.secondOffset = piece->offset;
        view.secondLength = piece->length;
    }
    return view;
}

} // namespace vantrel::HelperHitConversion
