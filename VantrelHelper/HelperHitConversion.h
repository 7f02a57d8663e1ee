#pragma once
// The helper's record-from-hit rule: a RecoveredHit flattened into the HelperHitDTO that crosses
// the connection. Header-only, so that VantrelSupport stays free of the recovery library while the
// helper (and its tests) use one definition. The reverse belongs to the application's client.

#include "recovery/model/RecoveredHit.h"
#include "support/HelperHitDTO.h"

namespace vantrel::HelperHitConversion {

// Kinds, sources and file systems become their stored names; no picture size gives 0 and 0; no
// cluster hint gives 0, 0 and "". Identity, integrity and capture date are dropped.
inline HelperHitDTO record(const RecoveredHit& hit) {
    const ImageDimensions dimensions = hit.dimensions.value_or(ImageDimensions{});
    const auto& hint = hit.clusterHint;
    return HelperHitDTO(std::string(FileKind::rawValue(hit.kind)), hit.byteOffset, hit.byteLength, hit.suggestedName,
                        hit.reconstructedPath, dimensions.width, dimensions.height,
                        std::string(HitSourceName::rawValue(hit.source)), hit.isFragmented, hit.clusterReallocated,
                        hint ? hint->firstCluster : 0, hint ? hint->partitionOffset : 0,
                        hint ? std::string(FileSystemName::rawValue(hint->fileSystem)) : std::string());
}

} // namespace vantrel::HelperHitConversion
