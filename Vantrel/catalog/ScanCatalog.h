#pragma once
// A scan catalog (.vtcat): the hits of one scan and a description of the disk that was scanned, as one
// UTF-8 JSON object, so that the results can be opened again later without scanning anew.
//
// Layout (keys of every object written in ascending order, pretty-printed; the reader ignores order,
// layout and keys it does not know, and reads a null optional as absent):
//   "appBuild"   text, optional: the short version of the program that wrote the file
//   "createdAt"  date, required: the moment of saving
//   "hits"       array, required (may be empty): hit objects in the stored form of HitCoding
//   "source"     object, required:
//       "bsdName"           text, optional: kernel name of the scanned disk (sdb, mmcblk0)
//       "displayName"       text, required
//       "fileSystemIds"     array of text, optional: the file-system ids found on the disk
//       "kind"              "volume" or "diskImage", required
//       "medium"            object, optional: what the medium said of itself when it was scanned, in
//                           the stored form of MediumIdentity; it decides which disk the catalog reads
//       "partitionTableId"  text, optional: the id of the disk's partition table
//       "rawDevicePath"     text, optional: the device node that was read
//       "serialNumber"      text, optional: the disk's serial number
//       "sizeBytes"         unsigned integer, required: 0 when no disk was known
//   "summary"    text, optional: lines about the results; the first says how the scan ended, e.g.
//                "Scan cancelled — 157 files found so far." for a list that is only partial
//   "version"    signed integer, required: 1 is written; any larger number is refused
// The identity keys, "medium" and "summary" are newer than the rest; readers that do not know them ignore
// them, and a catalog without them is read as before.
// Dates are "2025-03-01T09:30:00Z" (UTC, whole seconds); reading also takes a "+hh:mm" offset and
// refuses fractional seconds and texts without a time. Hit ids are written in upper case.
//
// A catalog comes from wherever the user found it, so reading treats it as hostile: the file's size is
// bounded before anything is read, an object with more keys than its layout has, a list past its
// limit and a hit (or the rest) with more values than a catalog holds are refused while they are read,
// every number is checked for its type and range, and a catalog whose
// hits repeat an id, start past the end of the disk or lie in a partition past it is refused. Hit names
// are made safe as file names.

#include "platform/ErrorObject.h"
#include "platform/disks/DiskIdentity.h"
#include "recovery/model/MediumIdentity.h"
#include "recovery/model/RecoveredHit.h"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel {

// Why a catalog could not be read or written, as the user sees it: domain "Vantrel" with code 40 or
// 41, "POSIX" with the errno of a failed file operation, or "ScanCatalog" (code 1) for a file that is
// not a readable catalog. The message names the file; the path is the file's.
class ScanCatalogError : public std::runtime_error {
public:
    explicit ScanCatalogError(ErrorObject error);
    const ErrorObject& error() const { return m_error; }

    static constexpr std::string_view decodingDomain = "ScanCatalog";
    static constexpr std::int64_t notACatalog = 1;

private:
    ErrorObject m_error;
};

struct ScanCatalog {
    // The version this program writes and the newest it reads.
    static constexpr std::int64_t currentVersion = 1;
    // The largest catalog file read: a million hits take about 0.4 GB written out.
    static constexpr std::uint64_t maxFileBytes = 2ull << 30;
    static constexpr std::size_t maxHits = 5'000'000;
    // Names are at most 255 bytes and paths a few KiB; a longer text is not one this program wrote.
    static constexpr std::size_t maxTextBytes = 64 * 1024;
    // The deepest nesting a catalog has is four (top, hits, hit, cluster hint).
    static constexpr std::size_t maxNestingDepth = 8;
    // Keys of the largest object a catalog has (a hit). Each object of the layout is held to its own
    // count of keys, and an object of a key this program does not know to this one, each with room
    // for newerKeys keys that a newer program may have added.
    static constexpr std::size_t maxObjectKeys = 13;
    static constexpr std::size_t newerKeys = 8;
    // Items of a list other than "hits" (the largest is "fileSystemIds"), and values of one hit or of
    // the rest of the catalog, counted as they are read: a list or a tree past these is refused before
    // it is built.
    static constexpr std::size_t maxListItems = 64;
    static constexpr std::size_t maxValuesPerPart = 1024;

    struct Source {
        enum class Kind : std::uint8_t { volume, diskImage };

        Kind kind = Kind::volume;
        std::string displayName;
        std::optional<std::string> bsdName;
        std::optional<std::string> rawDevicePath;
        std::uint64_t sizeBytes = 0;
        DiskIdentity identity;
        std::optional<MediumIdentity> medium;

        friend bool operator==(const Source&, const Source&) = default;
    };

    std::int64_t version = currentVersion;
    HitDate createdAt;
    std::optional<std::string> appBuild;
    Source source;
    std::optional<std::string> summary;
    std::vector<RecoveredHit> hits;

    friend bool operator==(const ScanCatalog&, const ScanCatalog&) = default;

    // Reads and checks a catalog file. Throws ScanCatalogError.
    static ScanCatalog load(const std::filesystem::path& path);
    // Reads and checks a catalog from a stream; fileName is what error messages call it and path the
    // error's path. Throws ScanCatalogError.
    static ScanCatalog read(std::istream& input, const std::string& fileName,
                            const std::optional<std::string>& path = std::nullopt);

    // Writes the catalog as it is (neither version nor date are set here) to a fresh file beside path,
    // flushes it to the disk and renames it over path: an existing catalog is kept whole or replaced
    // whole. Throws ScanCatalogError.
    void write(const std::filesystem::path& path) const;
    // The file's bytes. Names that are not valid UTF-8 have their bad bytes replaced.
    void encode(std::ostream& output) const;
};

namespace ScanCatalogSourceKind {
std::string_view rawValue(ScanCatalog::Source::Kind kind);
std::optional<ScanCatalog::Source::Kind> fromRawValue(std::string_view text);
} // namespace ScanCatalogSourceKind

} // namespace vantrel
