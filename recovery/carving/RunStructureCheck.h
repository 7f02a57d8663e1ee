#pragma once
// Whether a run of consecutive clusters holds one file, where the file's own structure says so cheaply.
// A deleted FAT or exFAT file whose chain was cleared is read as one run from its first cluster: that it
// was written there in one piece is only an assumption, wrong for a file written at the same time as
// another (their clusters alternate). The structure that spans the file tells:
// - ZIP (and the Office documents built on it): the end record ends the run, and the local headers lie
//   where the central directory puts them (PKWARE APPNOTE.TXT, sections 4.3.7, 4.3.12, 4.3.16);
// - MP3: the MPEG audio frames (ISO/IEC 11172-3, 13818-3) follow one another across each cluster
//   boundary;
// - PDF: the cross-reference table's offsets of objects in use land on those objects (ISO 32000-1,
//   7.5.4 and 7.5.5); a document whose cross-reference is a stream is not judged.
// Every read is bounded: the tail and a header per record up to a cap for ZIP, a window around each
// cluster boundary up to a cap for MP3, the file's end and a few bytes per object up to a cap for PDF.

#include "recovery/filesystems/ContiguousRunReader.h"

#include <cstdint>

namespace vantrel::RunStructureCheck {

// Local headers read per ZIP archive at most, spread over its directory.
inline constexpr std::uint64_t maxZipHeadersChecked = 64;
// Bytes of a ZIP's central directory read at most; the records past them are not checked.
inline constexpr std::uint64_t maxZipDirectoryBytes = 1 << 20;
// Bytes of an MP3 file read at most around its cluster boundaries, in file order: the boundaries past
// them are not looked at.
inline constexpr std::uint64_t maxMP3ReadBytes = 256 << 10;
// Objects of a PDF's cross-reference whose offsets are checked, spread over the table.
inline constexpr std::uint64_t maxPDFObjectsChecked = 64;
// Bytes of one cross-reference section read, and sections followed through their /Prev links.
inline constexpr std::uint64_t maxPDFTableBytes = 64 << 10;
inline constexpr int maxPDFSections = 8;

// The verdict on the length bytes at offset in the source, read as one file of the kind, stored in
// clusters of clusterBytes from offset on. JPEG and kinds without a check give unknown. A failed read
// throws.
RunVerdict holdsOneFile(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset, std::uint64_t length,
                        std::uint64_t clusterBytes);

} // namespace vantrel::RunStructureCheck
