#include "recovery/filesystems/fat/FatUndeleter.h"

#include "base/Bounds.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/fat/FatChain.h"
#include "recovery/filesystems/fat/FatDirectoryEntry.h"

#include <algorithm>

namespace vantrel::FatUndeleter {
namespace {

using SourceReads::passOverBadSpot;

// Calls visit(entry, offset) for each short entry of a directory in order, skipping long-name entries
// and volume labels, until the end mark, the last whole entry, or visit returning false.
template <typename Visit>
void forEachEntry(ByteView directory, const VolumeGeometry& geometry, Visit&& visit) {
    for (std::size_t offset = 0; offset + FatDirectoryEntry::entryBytes <= directory.size();
         offset += FatDirectoryEntry::entryBytes) {
        const ByteView bytes = directory.subspan(offset, FatDirectoryEntry::entryBytes);
        const FatDirectoryEntry entry = FatDirectoryEntry::parse(bytes, geometry);
        if (entry.endsDirectory()) return;
        if (entry.isLongName() || entry.isVolumeLabel()) continue;
        if (!visit(entry, bytes, offset)) return;
    }
}

// A live subdirectory worth entering: not "." or "..", with a cluster of the volume.
bool isWalkableSubdirectory(const FatDirectoryEntry& entry, const std::string& shortName, const VolumeGeometry& geometry) {
    return !entry.isDeleted() && entry.isDirectory() && geometry.isValidCluster(entry.firstCluster) &&
           shortName != "." && shortName != "..";
}

// Whether a walk counts a directory cut at the byte cap among its read errors.
enum class CutDirectories { count, ignore };

// Reads a directory's clusters once per walk; nothing when it was walked already, lies too deep or
// cannot be read (counted). A directory cut at the cap gives what was read.
std::optional<Bytes> readDirectoryOnce(ByteSource& source, const VolumeGeometry& geometry, VisitedClusters& walked,
                                       std::uint32_t firstCluster, int depth, std::int64_t& readErrors,
                                       CutDirectories cutDirectories) {
    if (depth > maxDirectoryDepth || !geometry.isValidCluster(firstCluster)) return std::nullopt;
    if (!walked.insert(firstCluster)) return std::nullopt;
    auto contents = passOverBadSpot(readErrors, [&] { return FatChain::readDirectory(source, geometry, firstCluster); });
    if (!contents) return std::nullopt;
    readErrors += contents->unreadable;
    if (contents->cut && cutDirectories == CutDirectories::count) ++readErrors;
    return std::move(contents->bytes);
}

// The fixed root region. One that cannot be read whole is read again sector by sector, and a sector
// that fails (counted) is held as FatChain::unreadableFillByte, so the entries of the others are walked.
Bytes readRootRegion(ByteSource& source, const VolumeGeometry& geometry, std::int64_t& readErrors) {
    const RootRegion root = fixedRootRegion(geometry);
    std::int64_t wholeFailed = 0;
    if (auto whole = passOverBadSpot(wholeFailed, [&] { return SourceReads::readAvailable(source, root.offset, root.length); }))
        return std::move(*whole);
    const std::uint64_t sectorBytes = std::max<std::uint64_t>(geometry.bytesPerSector, FatDirectoryEntry::entryBytes);
    Bytes region;
    Bytes sector;
    for (std::uint64_t at = 0; at < root.length; at += sectorBytes) {
        const std::uint64_t want = std::min(sectorBytes, root.length - at);
        const bool readable = passOverBadSpot(readErrors, [&] {
            SourceReads::readAvailableInto(source, root.offset + at, want, sector);
            return true;
        }).has_value();
        if (!readable) sector.assign(want, FatChain::unreadableFillByte);
        region.insert(region.end(), sector.begin(), sector.end());
        if (sector.size() < want) break;
    }
    return region;
}

void reportDeletedFile(DeletedFileWalk& walk, ByteView directory, std::size_t entryOffset, const FatDirectoryEntry& entry,
                       ByteView entryBytes, const std::string& path) {
    if (entry.isDirectory() || entry.fileSize == 0) return;
    // A whole long name gives the kind and the file's name; the short name, which keeps only three
    // letters of an extension (JPE, WEB, HEI) or none at all (~1), gives the kind only without one.
    const std::string shortName = fatShortName(entryBytes);
    const auto longName = fatLongName(directory, entryOffset);
    const DeletedFile file{longName ? std::string_view(*longName) : std::string_view(shortName), longName, path,
                           entry.firstCluster, entry.fileSize, HitSource::fatUndelete};
    // An unreadable FAT leaves the file counted as one run.
    const auto hit = walk.acceptedHit(file, [&] { return walk.chainPlacement(entry.firstCluster, entry.fileSize, false); });
    if (hit && walk.onHit) walk.onHit(*hit);
}

void walkEntries(DeletedFileWalk& walk, ByteView directory, const std::string& path, int depth) {
    forEachEntry(directory, walk.geometry, [&](const FatDirectoryEntry& entry, ByteView bytes, std::size_t offset) {
        if (walk.shouldCancel && walk.shouldCancel()) {
            walk.outcome.cancelled = true;
            return false;
        }
        if (entry.isDeleted()) {
            reportDeletedFile(walk, directory, offset, entry, bytes, path);
            return true;
        }
        const std::string name = fatShortName(bytes);
        if (isWalkableSubdirectory(entry, name, walk.geometry)) {
            // The folder as the user named it: its whole long name where it has one (the short name of
            // "My Holiday Pictures" is MYHOLI~1, and one made of letters outside ASCII keeps none of them).
            // The path is shown to the user; a folder name from the disk must not add separators to it.
            const auto longName = fatLongName(directory, offset);
            walkDirectory(walk, entry.firstCluster, path + UndeleteNamingState::makeSafeFileName(longName ? *longName : name) + "/",
                          depth + 1);
        }
        return !walk.outcome.cancelled;
    });
}

void collectEntries(LiveWalk& walk, ByteView directory, int depth) {
    forEachEntry(directory, walk.geometry, [&](const FatDirectoryEntry& entry, ByteView bytes, std::size_t) {
        if (entry.isDeleted()) return true;
        if (entry.isDirectory()) {
            if (isWalkableSubdirectory(entry, fatShortName(bytes), walk.geometry))
                collectLiveDirectory(walk, entry.firstCluster, depth + 1);
        } else if (entry.fileSize > 0) {
            passOverBadSpot(walk.readErrors, [&] {
                FatChain::appendChainExtents(walk.source, walk.geometry, entry.firstCluster, entry.fileSize, walk.into);
                return true;
            });
        }
        return true;
    });
}

} // namespace

RootRegion fixedRootRegion(const VolumeGeometry& geometry) {
    const std::uint64_t fatsBytes = std::uint64_t{geometry.numberOfFATs} * geometry.fatSizeSectors * geometry.bytesPerSector;
    return RootRegion{geometry.fatByteOffset + fatsBytes, std::uint64_t{geometry.rootEntryCount} * FatDirectoryEntry::entryBytes};
}

WalkOutcome recoverDeleted(ByteSource& source, const VolumeGeometry& geometry, const RecoveryFilters& filters,
                           const AllocatedRegionMap& activeRegions, const std::function<bool()>& shouldCancel,
                           const std::function<void(const RecoveredHit&)>& onHit,
                           const PictureDimensionReader& readDimensions, const ContentKindReader& readKind,
                           const ContiguousRunCheck& checkRun) {
    if (!isFatFamily(geometry.fileSystem)) return {};
    UndeleteNamingState naming;
    DeletedFileWalk walk{source, geometry, filters, activeRegions, naming, shouldCancel, onHit, readDimensions};
    walk.readKind = readKind;
    walk.checkRun = checkRun;
    if (geometry.entryBits() == 32) {
        walkDirectory(walk, geometry.rootCluster, "/", 0);
    } else {
        walkRootDirectory(walk, readRootRegion(source, geometry, walk.outcome.readErrors), "/", 0);
    }
    return walk.outcome;
}

void walkDirectory(DeletedFileWalk& walk, std::uint32_t firstCluster, const std::string& path, int depth) {
    const auto directory = readDirectoryOnce(walk.source, walk.geometry, walk.walkedDirectories, firstCluster, depth,
                                             walk.outcome.readErrors, CutDirectories::count);
    if (directory) walkEntries(walk, *directory, path, depth);
}

void walkRootDirectory(DeletedFileWalk& walk, ByteView directory, const std::string& path, int depth) {
    walkEntries(walk, directory, path, depth);
}

std::int64_t collectActiveRegions(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into) {
    if (!isFatFamily(geometry.fileSystem)) return 0;
    LiveWalk walk{source, geometry, into};
    if (geometry.entryBits() == 32) {
        collectLiveDirectory(walk, geometry.rootCluster, 0);
    } else {
        collectLiveRootDirectory(walk, readRootRegion(source, geometry, walk.readErrors), 0);
    }
    // Live files may stand in what could not be read, or their chains go on where a link could not be read:
    // every cluster the FAT does not show free may be one of theirs.
    if (walk.readErrors > 0) FatChain::appendClustersNotFree(source, geometry, walk.into);
    return walk.readErrors;
}

void collectLiveDirectory(LiveWalk& walk, std::uint32_t firstCluster, int depth) {
    const auto directory = readDirectoryOnce(walk.source, walk.geometry, walk.walkedDirectories, firstCluster, depth,
                                             walk.readErrors, CutDirectories::ignore);
    if (directory) collectEntries(walk, *directory, depth);
}

void collectLiveRootDirectory(LiveWalk& walk, ByteView directory, int depth) {
    collectEntries(walk, directory, depth);
}

} // namespace vantrel::FatUndeleter
