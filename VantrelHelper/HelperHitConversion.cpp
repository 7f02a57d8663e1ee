#include "VantrelHelper/HelperHitConversion.h"

namespace vantrel::HelperHitConversion {

HelperHitDTO record(const RecoveredHit& hit) {
    const ImageDimensions dimensions = hit.dimensions.value_or(ImageDimensions{});
    const auto& hint = hit.clusterHint;
    return HelperHitDTO(std::string(FileKind::rawValue(hit.kind)), hit.byteOffset, hit.byteLength, hit.suggestedName,
                        hit.reconstructedPath, dimensions.width, dimensions.height,
                        std::string(HitSourceName::rawValue(hit.source)), hit.isFragmented, hit.clusterReallocated,
                        hint ? hint->firstCluster : 0, hint ? hint->partitionOffset : 0,
                        hint ? std::string(FileSystemName::rawValue(hint->fileSystem)) : std::string());
}

} // namespace vantrel::HelperHitConversion
