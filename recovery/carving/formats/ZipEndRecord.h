#pragma once
// The length of a ZIP archive (and of the Office documents built on it) from its end-of-central-directory
// record (PKWARE APPNOTE.TXT, section 4.3.16). Little-endian, from the record's start:
//   0 signature 50 4B 05 06 (4)
//   4 number of this disk (2): 0 for a single-file archive
//   6 disk where the central directory starts (2): 0
//   8 central directory records on this disk (2): equal to the total for a single-file archive
//  10 central directory records in total (2)
//  12 central directory size (4)
//  16 central directory offset from the archive's start (4): the directory ends where this record begins
//  20 comment length (2), then the comment.
// Each central directory record starts with 50 4B 01 02.

#include "recovery/carving/CandidateReader.h"
#include "recovery/carving/FooterFinder.h"

#include <cstdint>
#include <optional>

namespace vantrel::ZipEndRecord {

// End records examined per archive before giving up.
inline constexpr int maxRecordsTried = 16;

// The length from the archive's first byte (at offset) to the end of its record's comment, when a record
// within available belongs to an archive that starts exactly at offset. A failed read throws.
std::optional<std::uint64_t> fileLength(CandidateReader& reader, FooterFinder& finder, std::uint64_t offset,
                                        std::uint64_t available);

} // namespace vantrel::ZipEndRecord
