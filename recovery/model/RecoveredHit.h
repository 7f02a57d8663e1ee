#pragma once
// One recoverable file as every part of the system passes it around.

#include "recovery/model/DetectedFileSystem.h"
#include "recovery/model/RecoveredFileKind.h"
#include "recovery/model/Uuid.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

using HitDate = std::chrono::system_clock::time_point;

// Which search found a hit. Stored under the case names.
enum class HitSource : std::uint8_t { signatureCarve, fatUndelete, exfatUndelete, hfsPlusCatalog };

// How far a hit has been verified. Stored under the case names.
enum class HitIntegrity : std::uint8_t { pending, ok, suspect, failed, skipped };

namespace HitSourceName {
std::string_view rawValue(HitSource source);
std::optional<HitSource> fromRawValue(std::string_view text);
} // namespace HitSourceName

namespace HitIntegrityName {
std::string_view rawValue(HitIntegrity integrity);
std::optional<HitIntegrity> fromRawValue(std::string_view text);
// "…", "OK", "Suspect", "Broken", "—".
std::string_view displayName(HitIntegrity integrity);
} // namespace HitIntegrityName

// A picture's size in pixels; producers store only non-negative values.
struct ImageDimensions {
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const ImageDimensions&, const ImageDimensions&) = default;
};

// What the cluster-chain reader needs to read an undeleted file back.
// Made as {firstCluster, partitionOffset, fileSystem}; kept with the wide field first, so that it
// takes 16 bytes rather than 24 in every hit.
struct ClusterAllocationHint {
    ClusterAllocationHint() = default;
    ClusterAllocationHint(std::uint32_t first, std::uint64_t offset, DetectedFileSystem system)
        : partitionOffset(offset), firstCluster(first), fileSystem(system) {}

    std::uint64_t partitionOffset = 0;   // byte offset of the partition from the start of the source
    std::uint32_t firstCluster = 0;      // as stored in the directory entry
    DetectedFileSystem fileSystem = DetectedFileSystem::unknown;
    friend bool operator==(const ClusterAllocationHint&, const ClusterAllocationHint&) = default;
};

// The second piece of a file put back together from two: its bytes on the source. The file is its first
// byteLength - length bytes from byteOffset, then these.
struct HitPiece {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    friend bool operator==(const HitPiece&, const HitPiece&) = default;
};

// The fields of one byte are kept together at the end: a model holds millions of these.
struct RecoveredHit {
    Uuid id = Uuid::random();
    std::uint64_t byteOffset = 0;        // first byte, from the start of the scanned source
    std::uint64_t byteLength = 0;        // directory size, or estimated length of a carved file
    std::string suggestedName;
    std::optional<std::string> reconstructedPath;
    std::optional<ImageDimensions> dimensions;
    // The picture's capture time as its camera's clock showed it, read as if it were universal time
    // (so the photo's day is the same wherever it is looked at), and the clock's offset from universal
    // time when the picture records one.
    std::optional<HitDate> captureDate;
    std::optional<std::int32_t> captureUtcOffsetMinutes{};
    std::optional<ClusterAllocationHint> clusterHint;
    // A carved picture whose data went on elsewhere (flagged isFragmented): where it went on.
    std::optional<HitPiece> secondPiece;
    RecoveredFileKind kind = RecoveredFileKind::unknown;
    // An undeleted file whose clusters are not one consecutive run; a carved file whose length is only a
    // guess (its bytes need not be one whole file).
    bool isFragmented = false;
    HitSource source = HitSource::signatureCarve;
    HitIntegrity integrity = HitIntegrity::pending;
    bool clusterReallocated = false;     // some cluster of the deleted file now belongs to a live file

    friend bool operator==(const RecoveredHit&, const RecoveredHit&) = default;
};

// Whether piece can be the second piece of the hit: it holds some of the file but not all, and lies after
// the first piece, within 64 bits.
bool isSecondPieceOf(const HitPiece& piece, const RecoveredHit& hit);

// The bytes of the hit's first piece: all of them unless it was put together from two.
std::uint64_t firstPieceLength(const RecoveredHit& hit);

// The hit's first length bytes as a hit of their own: of a two-piece file, the first piece and as much of
// the second as the length takes.
RecoveredHit prefixOf(const RecoveredHit& hit, std::uint64_t length);

// Whether a hit's length is a guess: a carved file whose own structure gave no end.
bool hasGuessedLength(const RecoveredHit& hit);

// The integrity a hit keeps for a check's verdict. A good decode of clusters that a live file reused is
// suspect; a hit whose length is a guess is at best suspect, whatever the check said (a type the check
// cannot validate included), unless the check found it broken.
HitIntegrity integrityForVerdict(const RecoveredHit& hit, HitIntegrity verdict);

} // namespace vantrel
