#pragma once
// Hits as the results table's benchmarks fill it: camera files with generated names (many repeated),
// a third from the card's folders, pictures with their dimensions.

#include "recovery/model/RecoveredHit.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>

namespace vantrel::bench {

inline RecoveredHit tableHit(std::mt19937_64& random, std::size_t index) {
    static const RecoveredFileKind kinds[] = {RecoveredFileKind::jpeg, RecoveredFileKind::jpeg, RecoveredFileKind::nef,
                                              RecoveredFileKind::mov, RecoveredFileKind::png, RecoveredFileKind::pdf};
    RecoveredHit hit;
    hit.kind = kinds[random() % std::size(kinds)];
    hit.byteOffset = static_cast<std::uint64_t>(index) * 12288;
    hit.byteLength = 8192 + random() % (12 * 1024 * 1024);
    hit.suggestedName = "IMG_" + std::to_string(random() % 100000) + ".JPG";
    if (index % 3 == 0) hit.reconstructedPath = "DCIM/100CANON";
    if (hit.kind == RecoveredFileKind::jpeg) hit.dimensions = ImageDimensions{4000, 3000};
    hit.source = index % 3 ? HitSource::signatureCarve : HitSource::fatUndelete;
    return hit;
}

} // namespace vantrel::bench
