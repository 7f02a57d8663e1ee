#include "recovery/filesystems/partitions/DetectedPartition.h"

namespace vantrel {

bool DetectedPartition::geometryAgrees() const {
    if (!fatGeometry) return false;
    if (isFatFamily(fileSystem)) return isFatFamily(fatGeometry->fileSystem);
    return fileSystem == DetectedFileSystem::exfat && fatGeometry->fileSystem == DetectedFileSystem::exfat;
}

} // namespace vantrel
