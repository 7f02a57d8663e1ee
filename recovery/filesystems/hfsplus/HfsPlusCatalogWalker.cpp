#include "recovery/filesystems/hfsplus/HfsPlusCatalogWalker.h"

#include "base/Bounds.h"
#include "recovery/filesystems/HitPath.h"
#include "recovery/filesystems/KindForFileName.h"
#include "recovery/filesystems/SourceReads.h"
#include "recovery/filesystems/UndeleteNamingState.h"
#include "recovery/filesystems/Utf16Text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantrel::HfsPlusCatalogWalker {

namespace {

using FieldReader::u16be;
using FieldReader::u32be;
using FieldReader::u64be;
using FieldReader::u8;

// Volume header (TN1150 "Volume Header"), 512 bytes, 1,024 bytes into the volume. A header 8,192 bytes
// in is tried as well when none is found there. That offset is a rule of ours, not of TN1150, which
// places the volume embedded in an HFS wrapper where the wrapper's drEmbedExtent says (not read here).
constexpr std::array<std::uint64_t, 2> volumeHeaderOffsets{1'024, 8'192};
constexpr std::uint64_t volumeHeaderBytes = 512;
//   0  2  signature: 'H' followed by '+' (HFS Plus) or 'X' (HFSX)
//  40  4  allocation block size in bytes: a power of two from 512 to 65,536
// 272 80  fork data of the catalog file
constexpr std::int64_t headerBlockSizeOffset = 40;
constexpr std::int64_t headerCatalogForkOffset = 272;
constexpr std::uint32_t minBlockSizeBytes = 512;
constexpr std::uint32_t maxBlockSizeBytes = 65'536;

// Fork data (TN1150 "Fork Data Structure"), 80 bytes:
//   0  8  logical size in bytes
//  12  4  total allocation blocks
//  16 64  eight extent descriptors: start block (4), block count (4); an empty one has count 0
constexpr std::uint64_t forkDataBytes = 80;
constexpr int extentsPerFork = 8;

// B-tree node descriptor (TN1150 "Node Descriptor"), the first 14 bytes of every node:
//   0  4  forward link: the next node of the same level, 0 = none
//   8  1  kind (signed): -1 leaf, 0 index, 1 header, 2 map
//  10  2  number of records
// The record offsets stand at the node's end, record i at nodeSize - 2 (i + 1), followed (towards
// the front) by the offset of the node's free space.
constexpr std::uint64_t nodeDescriptorBytes = 14;
constexpr std::int8_t leafNodeKind = -1;
// Header record, right after the header node's descriptor (TN1150 "Header Record"):
//  16  4  root node (not needed: the walk follows the leaf chain)
//  24  4  first leaf node, 0 = empty tree
//  32  2  node size in bytes: 512 to 32,768
constexpr std::uint64_t minCatalogBytes = 512;
constexpr std::uint64_t headerRecordEndBytes = 142;
constexpr std::uint32_t minNodeSizeBytes = 512;
constexpr std::uint32_t maxNodeSizeBytes = 32'768;

// Catalog key (TN1150 "Catalog File Key"):
//   0  2  key length, not counting this field
//   2  4  parent folder ID
//   6  2  name length in UTF-16 code units, at most 255
//   8  2n name, UTF-16 big-endian
constexpr std::uint64_t minCatalogKeyBytes = 8;
constexpr std::uint16_t maxNameUnits = 255;
// Catalog records: a 2-byte record type first; folder records carry their ID at 8 (TN1150
// "Catalog Folder Records"), file records their data fork at 88 ("Catalog File Records").
// Thread records (types 3 and 4) are not needed.
constexpr std::uint16_t folderRecordType = 1;
constexpr std::uint16_t fileRecordType = 2;
constexpr std::uint64_t minFolderRecordBytes = 8;
constexpr std::int64_t folderIdOffset = 8;
constexpr std::uint64_t minFileRecordBytes = 88;
constexpr std::int64_t dataForkOffset = 88;

// Folder IDs of the root's parent and of the root folder itself (TN1150 "Catalog Node IDs").
constexpr std::uint32_t rootParentId = 1;
constexpr std::uint32_t rootFolderId = 2;
// Folders remembered for paths; past this, further folders are simply not named in paths, so a
// crafted catalog of millions of folder records costs bounded memory (names are up to 765 bytes).
constexpr std::size_t maxRememberedFolders = 100'000;

struct Extent {
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
};

struct ForkData {
    std::uint64_t logicalSize = 0;
    std::uint32_t totalBlocks = 0;
    std::vector<Extent> extents;  // the descriptors with a non-zero block count, in on-disk order
};

ForkData parseForkData(ByteView buffer, std::int64_t at) {
    ForkData fork;
    if (!fitsWithin(static_cast<std::uint64_t>(at), forkDataBytes, buffer.size())) return fork;
    fork.logicalSize = u64be(buffer, at);
    fork.totalBlocks = u32be(buffer, at + 12);
    for (int i = 0; i < extentsPerFork; ++i) {
        const Extent extent{u32be(buffer, at + 16 + 8 * i), u32be(buffer, at + 20 + 8 * i)};
        if (extent.blockCount != 0) fork.extents.push_back(extent);
    }
    return fork;
}

// The readable span of one partition: it never reaches past the end of the source.
struct Volume {
    ByteSource& source;
    std::uint64_t offset = 0;
    std::uint64_t end = 0;  // exclusive
    std::uint32_t blockSize = 0;

    // Absolute byte offset of an allocation block, or nothing when it overflows.
    std::optional<std::uint64_t> blockOffset(std::uint32_t block) const {
        const auto relative = checkedMultiply(block, blockSize);
        return relative ? checkedAdd(offset, *relative) : std::nullopt;
    }
};

struct VolumeHeader {
    std::uint32_t blockSize = 0;
    ForkData catalog;
};

std::optional<VolumeHeader> readVolumeHeader(const Volume& volume, std::uint64_t partitionLength,
                                             std::int64_t& readErrors) {
    for (const std::uint64_t headerOffset : volumeHeaderOffsets) {
        if (partitionLength < headerOffset + volumeHeaderBytes) continue;
        const std::uint64_t at = volume.offset + headerOffset;
        const auto bytes = SourceReads::passOverBadSpot(
            readErrors, [&] { return SourceReads::readAvailable(volume.source, at, volumeHeaderBytes); });
        if (!bytes || bytes->size() < volumeHeaderBytes) continue;
        const ByteView header = *bytes;
        if (u8(header, 0) != 'H' || (u8(header, 1) != '+' && u8(header, 1) != 'X')) continue;
        const std::uint32_t blockSize = u32be(header, headerBlockSizeOffset);
        // A zero, a size that is no power of two or one outside 512 to 64 KiB is garbage, not a volume.
        if (blockSize < minBlockSizeBytes || blockSize > maxBlockSizeBytes || !std::has_single_bit(blockSize)) continue;
        ForkData catalog = parseForkData(header, headerCatalogForkOffset);
        if (catalog.logicalSize == 0 || catalog.totalBlocks == 0) continue;
        return VolumeHeader{blockSize, std::move(catalog)};
    }
    return std::nullopt;
}

// The catalog file, read a node at a time through its extents: the catalog's own size is taken from
// the disk, so it is never loaded whole; it is bounded by its extents and by the partition.
class CatalogFile {
public:
    CatalogFile(const Volume& volume, const ForkData& fork) : m_volume(volume), m_fork(fork) {
        std::uint64_t extentBytes = 0;
        for (const Extent& extent : fork.extents)
            extentBytes += std::uint64_t{extent.blockCount} * volume.blockSize;  // 8 × 2^32 × 2^16 fits
        m_size = std::min(fork.logicalSize, extentBytes);
    }

    std::uint64_t size() const { return m_size; }

    // The catalog bytes [at, at + count) into out; false when they do not lie wholly inside the catalog
    // and the partition. Read failures of the source are thrown.
    bool read(std::uint64_t at, std::uint64_t count, Bytes& out) const {
        out.clear();
        if (!fitsWithin(at, count, m_size)) return false;
        std::uint64_t extentStart = 0;  // position of the current extent within the catalog
        Bytes piece;
        for (const Extent& extent : m_fork.extents) {
            const std::uint64_t extentBytes = std::uint64_t{extent.blockCount} * m_volume.blockSize;
            const std::uint64_t wanted = at + out.size();
            if (wanted < extentStart + extentBytes) {
                const std::uint64_t within = wanted - extentStart;
                const std::uint64_t take = std::min(count - out.size(), extentBytes - within);
                const auto base = m_volume.blockOffset(extent.startBlock);
                const auto device = base ? checkedAdd(*base, within) : std::nullopt;
                if (!device || *device < m_volume.offset || !fitsWithin(*device, take, m_volume.end)) return false;
                m_volume.source.readInto(*device, static_cast<std::int64_t>(take), piece);
                if (piece.size() != take) return false;
                out.insert(out.end(), piece.begin(), piece.end());
                if (out.size() == count) return true;
            }
            extentStart += extentBytes;
        }
        return false;
    }

private:
    const Volume& m_volume;
    const ForkData& m_fork;
    std::uint64_t m_size = 0;
};

struct Record {
    ByteView key;
    ByteView data;
};

struct Node {
    std::uint32_t forwardLink = 0;
    std::int8_t kind = 0;
    std::vector<Record> records;  // views into the node's bytes
};

std::optional<Node> parseNode(ByteView bytes, std::uint32_t nodeSize) {
    if (nodeSize < nodeDescriptorBytes || bytes.size() < nodeSize) return std::nullopt;
    Node node;
    node.forwardLink = u32be(bytes, 0);
    node.kind = static_cast<std::int8_t>(u8(bytes, 8));
    const std::uint64_t count = u16be(bytes, 10);
    if (count > maxRecordsPerNode || count > (nodeSize - nodeDescriptorBytes) / 2) return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t start = u16be(bytes, static_cast<std::int64_t>(nodeSize - 2 * (i + 1)));
        // The record ends where the next begins; the last one where the free space begins, whose
        // offset stands in the next slot (a slot inside the descriptor is no slot).
        const std::uint64_t endSlot = nodeSize - 2 * (i + 2);
        if (i + 1 == count && endSlot < nodeDescriptorBytes) continue;
        const std::uint64_t end = u16be(bytes, static_cast<std::int64_t>(endSlot));
        if (start < nodeDescriptorBytes || start >= end || end > nodeSize) continue;
        const ByteView record = bytes.subspan(start, end - start);
        const std::uint64_t keyBytes = (std::uint64_t{u16be(record, 0)} + 2 + 1) & ~std::uint64_t{1};
        if (record.size() < keyBytes) continue;
        node.records.push_back({record.first(keyBytes), record.subspan(keyBytes)});
    }
    return node;
}

struct CatalogKey {
    std::uint32_t parentId = 0;
    std::string name;  // UTF-8; empty when the stored length is out of range
};

std::optional<CatalogKey> parseCatalogKey(ByteView key) {
    if (key.size() < minCatalogKeyBytes) return std::nullopt;
    CatalogKey parsed;
    parsed.parentId = u32be(key, 2);
    const std::uint16_t units = u16be(key, 6);
    if (units > maxNameUnits || key.size() < minCatalogKeyBytes + 2u * units) return parsed;
    std::vector<std::uint16_t> name(units);
    for (std::uint16_t i = 0; i < units; ++i) name[i] = u16be(key, 8 + 2 * i);
    parsed.name = utf8FromUtf16(name);
    return parsed;
}

// The allocation blocks of a fork when its extents follow one another without a gap and hold its
// logical size: (first block, block count).
std::optional<std::pair<std::uint32_t, std::uint64_t>> contiguousRun(std::uint32_t blockSize, const ForkData& fork) {
    if (fork.extents.empty()) return std::nullopt;
    std::uint64_t nextBlock = fork.extents.front().startBlock;
    std::uint64_t blocks = 0;
    for (const Extent& extent : fork.extents) {
        if (extent.startBlock != nextBlock) return std::nullopt;
        nextBlock += extent.blockCount;
        blocks += extent.blockCount;
    }
    if (blocks * blockSize < fork.logicalSize) return std::nullopt;  // both factors fit 32 bits
    return std::make_pair(fork.extents.front().startBlock, blocks);
}

struct FolderTables {
    std::unordered_map<std::uint32_t, std::string> names{{rootFolderId, ""}};
    std::unordered_map<std::uint32_t, std::uint32_t> parents{{rootFolderId, rootParentId}};

    void remember(std::uint32_t folderId, std::string name, std::uint32_t parentId) {
        if (names.size() >= maxRememberedFolders && !names.contains(folderId)) return;
        names[folderId] = std::move(name);
        parents[folderId] = parentId;
    }

    // "/" and the folder names from the root down to the file. Names from the disk become single path
    // components (a "/" in a name cannot add a level); the walk up stops at the root, at a folder not
    // seen yet, at a folder that is its own parent, and after maxPathDepth steps. A path too long for
    // a helper message is elided.
    std::string path(std::uint32_t parentId, const std::string& fileName) const {
        std::vector<std::string> components{fileName};
        std::uint32_t current = parentId;
        for (int steps = 0; current > rootFolderId && steps < maxPathDepth; ++steps) {
            const auto name = names.find(current);
            if (name != names.end()) {
                std::string safe = UndeleteNamingState::makeSafeFileName(name->second);
                if (!safe.empty()) components.insert(components.begin(), std::move(safe));
            }
            const auto parent = parents.find(current);
            if (parent == parents.end() || parent->second == current) break;
            current = parent->second;
        }
        std::string joined;
        for (const auto& component : components) joined += "/" + component;
        return HitPath::fitted(std::move(joined));
    }
};

// Reads the volume header and the catalog's header node and calls onRecord(key, data) for every record
// of every leaf node in chain order, until it returns false, the chain ends or loops, or a bound is met.
template <typename OnRecord>
void walkLeafRecords(ByteSource& source, std::uint64_t partitionOffset, std::uint64_t partitionLength,
                     std::int64_t& readErrors, const CancelCheck* shouldCancel, bool& cancelled, OnRecord&& onRecord) {
    const auto partitionEnd = checkedAdd(partitionOffset, partitionLength);
    if (!partitionEnd) return;
    Volume volume{source, partitionOffset, std::min(*partitionEnd, source.length()), 0};
    if (volume.end <= volume.offset) return;
    const auto header = readVolumeHeader(volume, partitionLength, readErrors);
    if (!header) return;
    volume.blockSize = header->blockSize;
    const CatalogFile catalog(volume, header->catalog);
    if (catalog.size() < minCatalogBytes) return;

    Bytes bytes;
    const auto headerRead = SourceReads::passOverBadSpot(readErrors, [&] { return catalog.read(0, minCatalogBytes, bytes); });
    if (!headerRead || !*headerRead || bytes.size() < headerRecordEndBytes) return;
    const std::uint32_t nodeSize = u16be(bytes, 32);
    const std::uint32_t firstLeaf = u32be(bytes, 24);
    if (nodeSize < minNodeSizeBytes || nodeSize > maxNodeSizeBytes || firstLeaf == 0) return;

    std::unordered_set<std::uint32_t> visited;
    for (std::uint32_t current = firstLeaf; current != 0 && visited.size() < maxLeafNodes;) {
        if (shouldCancel && (*shouldCancel)()) {
            cancelled = true;
            return;
        }
        if (!visited.insert(current).second) return;
        const auto read = SourceReads::passOverBadSpot(
            readErrors, [&] { return catalog.read(std::uint64_t{current} * nodeSize, nodeSize, bytes); });
        if (!read || !*read) return;
        const auto node = parseNode(bytes, nodeSize);
        if (!node || node->kind != leafNodeKind) return;
        for (const Record& record : node->records) {
            if (shouldCancel && (*shouldCancel)()) {
                cancelled = true;
                return;
            }
            if (!onRecord(volume, record)) return;
        }
        current = node->forwardLink;
    }
}

} // namespace

WalkOutcome recoverFiles(ByteSource& source, std::uint64_t partitionOffset, std::uint64_t partitionLength,
                         const RecoveryFilters& filters, const CancelCheck& shouldCancel,
                         const HitHandler& onHit, const PictureDimensionReader& readDimensions) {
    WalkOutcome outcome;
    FolderTables folders;
    walkLeafRecords(source, partitionOffset, partitionLength, outcome.readErrors, &shouldCancel, outcome.cancelled,
                    [&](const Volume& volume, const Record& record) {
        const auto key = parseCatalogKey(record.key);
        if (!key || record.data.size() < 2) return true;
        const std::uint16_t type = u16be(record.data, 0);
        if (type == folderRecordType && record.data.size() >= minFolderRecordBytes) {
            folders.remember(u32be(record.data, folderIdOffset), key->name, key->parentId);
            return true;
        }
        if (type != fileRecordType || record.data.size() < minFileRecordBytes) return true;

        const ForkData fork = parseForkData(record.data, dataForkOffset);
        if (fork.logicalSize == 0 || fork.totalBlocks == 0 || key->name.empty() || key->name == ".DS_Store") return true;
        const RecoveredFileKind kind = kindForFileName(key->name);
        if (kind == RecoveredFileKind::unknown) return true;
        const auto run = contiguousRun(volume.blockSize, fork);
        if (!run) return true;
        const auto byteOffset = volume.blockOffset(run->first);
        const auto byteEnd = byteOffset ? checkedAdd(*byteOffset, fork.logicalSize) : std::nullopt;
        if (!byteEnd || *byteEnd > volume.end) return true;

        // The catalog's name, made safe to use as a file name ("/" and control characters replaced); a
        // name with a known extension is never "." or "..", so it never becomes empty.
        std::string name = UndeleteNamingState::makeSafeFileName(key->name);
        RecoveredHit hit;
        hit.kind = kind;
        hit.byteOffset = *byteOffset;
        hit.byteLength = fork.logicalSize;
        hit.reconstructedPath = folders.path(key->parentId, name);
        hit.suggestedName = std::move(name);
        hit.dimensions = PictureSniffer::sniff(source, readDimensions, kind, *byteOffset, fork.logicalSize, volume.end,
                                               outcome.readErrors);
        hit.isFragmented = false;
        hit.source = HitSource::hfsPlusCatalog;
        hit.integrity = HitIntegrity::pending;
        // The catalog's files are not decoded here: a JPEG far too small for its pixels is taken for a piece.
        const bool smallJpeg = kind == RecoveredFileKind::jpeg && hit.dimensions &&
                               !isPlausibleJpegPayload(hit.byteLength, *hit.dimensions);
        if (!smallJpeg && PictureSniffer::isPlausiblePicture(hit) && filters.accepts(hit)) onHit(hit);
        return true;
    });
    return outcome;
}

std::int64_t collectActiveRegions(ByteSource& source, std::uint64_t partitionOffset, std::uint64_t partitionLength,
                                  AllocatedRegionMap& into) {
    std::int64_t readErrors = 0;
    bool cancelled = false;
    walkLeafRecords(source, partitionOffset, partitionLength, readErrors, nullptr, cancelled,
                    [&](const Volume& volume, const Record& record) {
        if (!parseCatalogKey(record.key) || record.data.size() < minFileRecordBytes) return true;
        if (u16be(record.data, 0) != fileRecordType) return true;
        const ForkData fork = parseForkData(record.data, dataForkOffset);
        std::uint64_t remaining = fork.logicalSize;
        for (const Extent& extent : fork.extents) {
            if (remaining == 0) break;
            const std::uint64_t length = std::min(std::uint64_t{extent.blockCount} * volume.blockSize, remaining);
            remaining -= length;
            // An extent outside the partition is garbage; one running past its end is cut there.
            const auto start = volume.blockOffset(extent.startBlock);
            if (!start || *start >= volume.end) continue;
            into.add(*start, std::min(length, volume.end - *start));
        }
        return true;
    });
    return readErrors;
}

} // namespace vantrel::HfsPlusCatalogWalker
