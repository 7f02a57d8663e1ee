#include "recovery/filesystems/exfat/ExFATUndeleter.h"

#include "base/Bounds.h"
#include "recovery/filesystems/DeletedFileClusters.h"
#include "recovery/filesystems/LiveWalk.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/Utf16Text.h"
#include "recovery/filesystems/VisitedClusters.h"
#include "recovery/filesystems/fat/FatChain.h"
#include "recovery/filesystems/fat/FatEntryReader.h"

#include <algorithm>
#include <vector>

namespace vantrel::ExFATUndeleter {
namespace {

using FieldReader::u16le;
using FieldReader::u32le;
using FieldReader::u64le;
using FieldReader::u8;
using SourceReads::passOverBadSpot;

// Directory entries (exFAT standard 6.2), 32 bytes; byte 0 is the entry type, whose bit 0x80
// says "in use". Types the walks read:
constexpr std::size_t entryBytes = 32;
constexpr std::uint8_t endOfDirectory = 0x00;
constexpr std::uint8_t fileEntryInUse = 0x85, fileEntryDeleted = 0x05;
constexpr std::uint8_t streamEntryInUse = 0xC0, streamEntryDeleted = 0x40;
constexpr std::uint8_t nameEntryInUse = 0xC1, nameEntryDeleted = 0x41;
// File entry (7.4):   1  1  SecondaryCount: entries that follow in the set, 2 or more for a usable set
//                     4  2  FileAttributes; 0x10 = directory
constexpr std::uint8_t minSecondaryEntries = 2;
constexpr std::uint16_t directoryAttribute = 0x10;
// Stream extension (7.6):  1  1  GeneralSecondaryFlags; 0x02 = NoFatChain
//                          8  8  ValidDataLength
//                         20  4  FirstCluster
//                         24  8  DataLength
constexpr std::uint8_t noFatChainFlag = 0x02;
// File name entry (7.7): 15 UTF-16LE units at offset 2.
constexpr std::size_t nameUnitsPerEntry = 15;

// Appends one file name entry's units up to its first 0.
void appendNameUnits(ByteView entry, std::vector<std::uint16_t>& units) {
    for (std::size_t i = 0; i < nameUnitsPerEntry; ++i) {
        const std::uint16_t unit = u16le(entry, static_cast<std::int64_t>(2 + 2 * i));
        if (unit == 0) return;
        units.push_back(unit);
    }
}

bool isExFatVolume(const VolumeGeometry& geometry) {
    return geometry.fileSystem == DetectedFileSystem::exfat && geometry.isValidCluster(geometry.rootCluster);
}

bool isWalkableSubdirectory(const EntrySet& set, const VolumeGeometry& geometry) {
    return set.inUse && set.isDirectory && geometry.isValidCluster(set.firstCluster) && set.name != "." && set.name != "..";
}

// A folder name as one path component: it cannot add a level or climb out.
std::string pathComponent(const std::string& name) {
    const std::string safe = UndeleteNamingState::makeSafeFileName(name);
    return safe.empty() ? "_" : safe;
}

// The clusters a file of byteLength bytes holds, when the volume can hold that many; with NoFatChain
// its run must also end inside the volume.
std::optional<std::uint64_t> clustersHeld(const VolumeGeometry& geometry, const EntrySet& set, std::uint64_t byteLength) {
    if (geometry.bytesPerCluster() == 0) return std::nullopt;
    const std::uint64_t clusters = byteLength / geometry.bytesPerCluster() + (byteLength % geometry.bytesPerCluster() != 0);
    if (clusters > geometry.clusterCount) return std::nullopt;
    if (set.noFatChain && std::uint64_t{set.firstCluster} + clusters - 1 > geometry.maxCluster()) return std::nullopt;
    return clusters;
}

// Whether a walk counts a directory cut at the byte cap among its read errors.
enum class CutDirectories { count, ignore };

// Reads a directory once per walk; nothing when it was walked already, lies too deep or cannot be
// read (counted). A directory cut at the cap gives what was read.
std::optional<Bytes> readDirectoryOnce(ByteSource& source, const VolumeGeometry& geometry, VisitedClusters& walked,
                                       const EntrySet& directory, int depth, std::int64_t& readErrors,
                                       CutDirectories cutDirectories) {
    if (depth > maxDirectoryDepth || !geometry.isValidCluster(directory.firstCluster)) return std::nullopt;
    if (!walked.insert(directory.firstCluster)) return std::nullopt;
    auto contents = passOverBadSpot(readErrors, [&] {
        return readExFATDirectory(source, geometry, directory.firstCluster, directory.noFatChain, directory.dataLength);
    });
    if (!contents) return std::nullopt;
    readErrors += contents->unreadable;
    if (contents->cut && cutDirectories == CutDirectories::count) ++readErrors;
    return std::move(contents->bytes);
}

EntrySet rootDirectory(const VolumeGeometry& geometry) {
    EntrySet root;
    root.inUse = true;
    root.isDirectory = true;
    root.firstCluster = geometry.rootCluster;
    return root;
}

void reportDeletedFile(DeletedFileWalk& walk, const EntrySet& set, const std::string& path) {
    const VolumeGeometry& geometry = walk.geometry;
    const std::uint64_t size = set.fileSize();
    if (set.isDirectory || size == 0 || !clustersHeld(geometry, set, size)) return;
    const DeletedFile file{set.name, set.name, path, set.firstCluster, size, HitSource::exfatUndelete};
    const auto hit = walk.acceptedHit(file, [&] {
        // A FAT that cannot be read leaves the placement in doubt: the file counts as fragmented.
        if (!set.noFatChain) return walk.chainPlacement(set.firstCluster, size, true);
        const std::uint64_t byteOffset = *geometry.clusterByteOffset(set.firstCluster);
        return ClusterPlacement{false, walk.activeRegions.count() > 0 && walk.activeRegions.overlaps(byteOffset, size), false};
    });
    if (!hit) return;
    if (walk.volumes) walk.volumes->rememberStorage(geometry.partitionOffset, set.firstCluster, size, set.noFatChain);
    if (walk.onHit) walk.onHit(*hit);
}

void walkDirectorySet(DeletedFileWalk& walk, const EntrySet& directory, const std::string& path, int depth) {
    const auto bytes = readDirectoryOnce(walk.source, walk.geometry, walk.walkedDirectories, directory, depth,
                                         walk.outcome.readErrors, CutDirectories::count);
    if (!bytes) return;
    const auto stop = [&] { return walk.shouldCancel && walk.shouldCancel(); };
    const bool finished = forEachEntrySet(*bytes, stop, [&](const EntrySet& set) {
        if (!set.inUse) reportDeletedFile(walk, set, path);
        else if (isWalkableSubdirectory(set, walk.geometry)) walkDirectorySet(walk, set, path + pathComponent(set.name) + "/", depth + 1);
        return !walk.outcome.cancelled;
    });
    if (!finished) walk.outcome.cancelled = true;
}

void addLiveFile(LiveWalk& walk, const EntrySet& set) {
    const VolumeGeometry& geometry = walk.geometry;
    const std::uint64_t size = set.fileSize();
    const auto start = geometry.clusterByteOffset(set.firstCluster);
    if (size == 0 || !start) return;
    if (set.noFatChain) {
        // One run; a size claiming more than the cluster heap holds is cut at its end.
        const std::uint64_t heapEnd = geometry.clusterHeapEnd();
        if (*start < heapEnd) walk.into.add(*start, std::min(size, heapEnd - *start));
        return;
    }
    passOverBadSpot(walk.readErrors, [&] {
        FatChain::appendChainExtents(walk.source, geometry, set.firstCluster, size, walk.into);
        return true;
    });
}

// Live directories are read whole, piece by piece, so that every live file's clusters are known and none
// is carved as a recovery. A bad spot ends that directory's walk where it lies.
void collectLiveSet(LiveWalk& walk, const EntrySet& directory, int depth) {
    if (depth > maxDirectoryDepth || !walk.geometry.isValidCluster(directory.firstCluster)) return;
    if (!walk.walkedDirectories.insert(directory.firstCluster)) return;
    passOverBadSpot(walk.readErrors, [&] {
        forEachLiveDirectorySet(walk.source, walk.geometry, directory, [&](const EntrySet& set) {
            if (isWalkableSubdirectory(set, walk.geometry)) collectLiveSet(walk, set, depth + 1);
            else if (set.inUse && !set.isDirectory) addLiveFile(walk, set);
            return true;
        });
        return true;
    });
}

struct SetSearch {
    ByteSource& source;
    const VolumeGeometry& geometry;
    std::uint32_t firstCluster;
    std::uint64_t byteLength;
    VisitedClusters walked{};
    std::int64_t readErrors = 0;
    std::optional<bool> deletedMatch{};
    std::optional<bool> liveMatch{};
};

void searchSets(SetSearch& search, const EntrySet& directory, int depth) {
    const auto bytes = readDirectoryOnce(search.source, search.geometry, search.walked, directory, depth,
                                         search.readErrors, CutDirectories::ignore);
    if (!bytes) return;
    forEachEntrySet(*bytes, {}, [&](const EntrySet& set) {
        // A reader may ask for a file's first bytes only (a preview), so a longer file matches as well.
        if (!set.isDirectory && set.firstCluster == search.firstCluster && set.fileSize() >= search.byteLength) {
            if (!set.inUse) {
                search.deletedMatch = set.noFatChain;
                return false;
            }
            if (!search.liveMatch) search.liveMatch = set.noFatChain;
        }
        if (isWalkableSubdirectory(set, search.geometry)) searchSets(search, set, depth + 1);
        return !search.deletedMatch;
    });
}

} // namespace

std::uint64_t EntrySet::fileSize() const {
    return (validDataLength == 0 || (dataLength != 0 && validDataLength > dataLength)) ? dataLength : validDataLength;
}

std::string exfatNameFragment(ByteView entry) {
    std::vector<std::uint16_t> units;
    appendNameUnits(entry, units);
    return utf8FromUtf16(units);
}

namespace {

// How a pass over a directory's bytes ended.
enum class SetScanEnd : std::uint8_t { dataUsed, endMark, stopped, visitDeclined };

struct SetScan {
    std::size_t consumed = 0;  // bytes of whole entries and sets taken
    SetScanEnd end = SetScanEnd::dataUsed;
};

// The entry sets of directory bytes in order. When more bytes follow (final false), a set that runs
// past the data is left unconsumed for the next pass; at the directory's end it is passed over entry
// by entry.
SetScan scanEntrySets(ByteView directory, bool final, const std::function<bool()>& shouldStop,
                      const std::function<bool(const EntrySet&)>& visit) {
    std::size_t at = 0;
    while (at + entryBytes <= directory.size()) {
        if (shouldStop && shouldStop()) return {at, SetScanEnd::stopped};
        const std::uint8_t type = directory[at];
        if (type == endOfDirectory) return {at, SetScanEnd::endMark};
        const std::size_t secondaries = u8(directory, static_cast<std::int64_t>(at + 1));
        const std::size_t setBytes = entryBytes * (1 + secondaries);
        const bool isFileEntry = type == fileEntryInUse || type == fileEntryDeleted;
        if (isFileEntry && secondaries >= minSecondaryEntries && setBytes > directory.size() - at && !final)
            return {at, SetScanEnd::dataUsed};
        if (!isFileEntry || secondaries < minSecondaryEntries || setBytes > directory.size() - at) {
            at += entryBytes;
            continue;
        }
        const ByteView bytes = directory.subspan(at, setBytes);
        at += setBytes;
        EntrySet set;
        set.inUse = type == fileEntryInUse;
        set.isDirectory = (u16le(bytes, 4) & directoryAttribute) != 0;
        std::vector<std::uint16_t> units;
        for (std::size_t entry = 1; entry <= secondaries; ++entry) {
            const ByteView secondary = bytes.subspan(entry * entryBytes, entryBytes);
            const std::uint8_t secondaryType = secondary[0];
            if (secondaryType == streamEntryInUse || secondaryType == streamEntryDeleted) {
                set.hasStream = true;
                set.noFatChain = (secondary[1] & noFatChainFlag) != 0;
                set.validDataLength = u64le(secondary, 8);
                set.firstCluster = u32le(secondary, 20);
                set.dataLength = u64le(secondary, 24);
            } else if (secondaryType == nameEntryInUse || secondaryType == nameEntryDeleted) {
                appendNameUnits(secondary, units);
            }
        }
        set.name = utf8FromUtf16(units);
        if (!set.hasStream || set.name.empty()) continue;
        if (!visit(set)) return {at, SetScanEnd::visitDeclined};
    }
    return {at, SetScanEnd::dataUsed};
}

// The bytes of a whole directory, piece by piece in order: a NoFatChain folder as the run its stream
// states, any other by its FAT chain, each cluster once; never more than the format lets a directory hold
// nor past the cluster heap.
class DirectoryPieces {
public:
    DirectoryPieces(ByteSource& source, const VolumeGeometry& geometry, const EntrySet& directory)
        : m_source(source), m_geometry(geometry), m_fat(source, geometry), m_next(directory.firstCluster),
          m_noFatChain(directory.noFatChain) {
        const std::uint64_t stated = directory.dataLength > 0 ? directory.dataLength : maxDirectoryStreamBytes;
        m_left = std::min(stated, maxDirectoryStreamBytes);
        if (m_noFatChain && directory.dataLength == 0) m_left = 0;
    }

    // The next piece into out (replacing it); false when the directory has no more bytes.
    bool next(Bytes& out) {
        out.clear();
        const std::uint64_t clusterBytes = m_geometry.bytesPerCluster();
        while (m_left > 0 && out.size() < pieceBytes && clusterBytes > 0) {
            const auto offset = m_geometry.clusterByteOffset(m_next);
            if (!offset || !m_visited.insert(static_cast<std::uint32_t>(m_next))) break;  // valid clusters fit 32 bits
            const std::uint64_t want = std::min(clusterBytes, m_left);
            SourceReads::readAvailableInto(m_source, *offset, want, m_cluster);
            out.insert(out.end(), m_cluster.begin(), m_cluster.end());
            m_left -= m_cluster.size();
            if (m_cluster.size() < want) m_left = 0;
            if (m_left == 0) break;
            if (m_noFatChain) {
                ++m_next;
                continue;
            }
            const auto link = m_fat.nextCluster(static_cast<std::uint32_t>(m_next));
            if (!link) {
                m_left = 0;
                break;
            }
            m_next = *link;
        }
        if (out.empty()) m_left = 0;
        return !out.empty();
    }

    bool atEnd() const { return m_left == 0; }

private:
    // The most the exFAT standard lets a directory hold (its DataLength, 256 MiB).
    static constexpr std::uint64_t maxDirectoryStreamBytes = 256ull * 1024 * 1024;
    static constexpr std::size_t pieceBytes = 1024 * 1024;

    ByteSource& m_source;
    const VolumeGeometry& m_geometry;
    FatEntryReader m_fat;
    VisitedClusters m_visited;
    std::uint64_t m_next;
    bool m_noFatChain;
    std::uint64_t m_left = 0;
    Bytes m_cluster;
};

} // namespace

bool forEachEntrySet(ByteView directory, const std::function<bool()>& shouldStop,
                     const std::function<bool(const EntrySet&)>& visit) {
    return scanEntrySets(directory, true, shouldStop, visit).end != SetScanEnd::stopped;
}

void forEachLiveDirectorySet(ByteSource& source, const VolumeGeometry& geometry, const EntrySet& directory,
                             const std::function<bool(const EntrySet&)>& visit) {
    if (geometry.bytesPerCluster() == 0 || !geometry.isValidCluster(directory.firstCluster)) return;
    DirectoryPieces pieces(source, geometry, directory);
    Bytes held, piece;
    while (pieces.next(piece)) {
        held.insert(held.end(), piece.begin(), piece.end());
        const SetScan scan = scanEntrySets(held, pieces.atEnd(), {}, visit);
        if (scan.end != SetScanEnd::dataUsed || pieces.atEnd()) return;
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(scan.consumed));
    }
    // The last piece may have ended with a set cut by the directory's end.
    if (!held.empty()) scanEntrySets(held, true, {}, visit);
}

FatChain::DirectoryContents readExFATDirectory(ByteSource& source, const VolumeGeometry& geometry,
                                               std::uint32_t firstCluster, bool noFatChain, std::uint64_t dataLength) {
    const std::uint64_t clusterBytes = geometry.bytesPerCluster();
    if (clusterBytes == 0 || !geometry.isValidCluster(firstCluster)) return {};
    // A folder's stream states its size; the root has none and is bounded by its chain alone.
    const std::uint64_t cap = dataLength > 0 ? std::min(dataLength, FatChain::maxDirectoryBytes) : FatChain::maxDirectoryBytes;
    const bool statedPastCap = dataLength > FatChain::maxDirectoryBytes;
    FatChain::DirectoryContents contents;
    if (!noFatChain) {
        contents = FatChain::readDirectory(source, geometry, firstCluster, cap);
        // The chain may end at the cap exactly where the stream says the folder goes on.
        contents.cut = contents.cut || (statedPastCap && contents.bytes.size() >= cap);
    } else {
        if (dataLength == 0) return {};
        // One run from the first cluster, never past the cluster heap.
        const std::uint64_t start = *geometry.clusterByteOffset(firstCluster);
        contents.bytes = SourceReads::readAvailable(source, start, std::min(cap, geometry.clusterHeapEnd() - start));
        contents.cut = statedPastCap && contents.bytes.size() >= cap;
    }
    if (contents.cut && FatChain::holdsEndOfDirectory(contents.bytes)) contents.cut = false;
    return contents;
}

WalkOutcome recoverDeleted(ByteSource& source, const VolumeGeometry& geometry, const RecoveryFilters& filters,
                           const AllocatedRegionMap& activeRegions, const std::function<bool()>& shouldCancel,
                           const std::function<void(const RecoveredHit&)>& onHit,
                           const PictureDimensionReader& readDimensions, VolumeCache* volumes,
                           const ContiguousRunCheck& checkRun) {
    if (!isExFatVolume(geometry)) return {};
    UndeleteNamingState naming;
    DeletedFileWalk walk{source, geometry, filters, activeRegions, naming, shouldCancel, onHit, readDimensions};
    walk.volumes = volumes;
    walk.checkRun = checkRun;
    walkDirectorySet(walk, rootDirectory(geometry), "/", 0);
    return walk.outcome;
}

void walkDirectory(DeletedFileWalk& walk, std::uint32_t firstCluster, bool noFatChain,
                   std::uint64_t dataLength, const std::string& path, int depth) {
    EntrySet directory = rootDirectory(walk.geometry);
    directory.firstCluster = firstCluster;
    directory.noFatChain = noFatChain;
    directory.dataLength = dataLength;
    walkDirectorySet(walk, directory, path, depth);
}

std::int64_t collectActiveRegions(ByteSource& source, const VolumeGeometry& geometry, AllocatedRegionMap& into) {
    if (!isExFatVolume(geometry)) return 0;
    LiveWalk walk{source, geometry, into};
    collectLiveSet(walk, rootDirectory(geometry), 0);
    // Live files may stand in what could not be read: every cluster the allocation bitmap holds may be one
    // of theirs (a bitmap that cannot be read whole tells nothing, and adds nothing).
    if (walk.readErrors > 0) {
        ClusterAllocation allocation(source, geometry);
        for (std::uint64_t cluster = 2; cluster <= geometry.maxCluster(); ++cluster)
            if (allocation.isHeld(static_cast<std::uint32_t>(cluster)))
                if (const auto start = geometry.clusterByteOffset(cluster)) into.add(*start, geometry.bytesPerCluster());
    }
    return walk.readErrors;
}

std::optional<bool> storedWithoutFatChain(ByteSource& source, const VolumeGeometry& geometry, std::uint32_t firstCluster,
                                          std::uint64_t byteLength) {
    if (!isExFatVolume(geometry) || !geometry.isValidCluster(firstCluster)) return std::nullopt;
    SetSearch search{source, geometry, firstCluster, byteLength};
    searchSets(search, rootDirectory(geometry), 0);
    return search.deletedMatch ? search.deletedMatch : search.liveMatch;
}

} // namespace vantrel::ExFATUndeleter
