#include "recovery/carving/HeaderChecks.h"

#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/FLACStreamInfo.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "recovery/carving/formats/ZipLocalHeader.h"

namespace vantrel::HeaderChecks {

namespace {

// The smallest BMP: a 14-byte file header and a 40-byte information header.
constexpr std::size_t bmpCheckBytes = 54;
// A TIFF header: byte order, magic, first directory offset.
constexpr std::size_t tiffHeaderBytes = 8;
// The first directory of a TIFF lies this close to the header, or the header is taken for chance bytes.
constexpr std::uint32_t maxFirstIFDOffset = 0x100000;
constexpr std::uint16_t tiffMagic = 42;
// An ID3v2 tag header.
constexpr std::size_t id3HeaderBytes = 10;

// TIFF 6.0 header: "II" (little-endian) or "MM" (big-endian) at 0; at 2 the magic 42 in that order, or the
// ORF variants "RO"/"RS" (little-endian) and "OR" (big-endian); at 4 the 32-bit offset of the first IFD.
bool tiffHeaderPlausible(ByteView from) {
    if (from.size() < tiffHeaderBytes) return true;  // decided when the hit is built
    const bool little = FieldReader::matches(from, 0, "II");
    const bool big = FieldReader::matches(from, 0, "MM");
    if (!little && !big) return false;
    const std::uint16_t magic = little ? FieldReader::u16le(from, 2) : FieldReader::u16be(from, 2);
    const bool olympus = little ? FieldReader::matches(from, 2, "RO") || FieldReader::matches(from, 2, "RS")
                                : FieldReader::matches(from, 2, "OR");
    if (magic != tiffMagic && !olympus) return false;
    const std::uint32_t firstIFD = little ? FieldReader::u32le(from, 4) : FieldReader::u32be(from, 4);
    return firstIFD >= tiffHeaderBytes && firstIFD < maxFirstIFDOffset;
}

} // namespace

bool plausible(RecoveredFileKind rowKind, ByteView from) {
    using K = RecoveredFileKind;
    switch (rowKind) {
    case K::bmp:
        // Two bytes "BM" are common in any data; with fewer bytes left the hit building decides.
        return from.size() < bmpCheckBytes || BMPMetadata::looksValid(from.first(bmpCheckBytes));
    case K::tiff: case K::cr2: case K::orf: return tiffHeaderPlausible(from);
    case K::jpeg:
        // Whether the segment fits in the file is decided when the hit is built, from the head.
        return from.size() < JPEGMetadata::firstSegmentHeaderBytes || JPEGMetadata::firstSegmentEnd(from).has_value();
    // Three and four bytes that compressed or random data holds every few megabytes; what follows them
    // decides. The frames after an ID3 tag are looked for when the hit is built.
    case K::mp3: return from.size() < id3HeaderBytes || MP3FrameWalk::id3v2Length(from).has_value();
    case K::flac: return from.size() < FLACStreamInfo::headerBytes || FLACStreamInfo::looksValid(from);
    case K::zip: return from.size() < ZipLocalHeader::bytesWithName(from) || ZipLocalHeader::looksValid(from);
    // The header match is check enough, and the hit building decides the rest (nef and arw have no row of
    // their own: a TIFF header turns out to be one).
    case K::heic: case K::avif: case K::png: case K::gif: case K::webp: case K::crw: case K::cr3: case K::nef:
    case K::arw: case K::mp4: case K::mov: case K::m4a: case K::wav: case K::ogg:
    case K::pdf: case K::docx: case K::xlsx: case K::pptx: case K::doc: case K::rtf: case K::unknown:
        return true;
    }
    return true;
}

bool opensSoundly(RecoveredFileKind rowKind, ByteView head) {
    switch (rowKind) {
    case RecoveredFileKind::jpeg: {
        // The head holds at least the longest segment unless the file ends sooner, so a segment that runs
        // past it runs past the file.
        const auto end = JPEGMetadata::firstSegmentEnd(head);
        return end && *end <= head.size();
    }
    case RecoveredFileKind::flac: return FLACStreamInfo::looksValid(head);
    case RecoveredFileKind::zip: return ZipLocalHeader::looksValid(head);
    default: return true;
    }
}

RecoveredFileKind kindFromHead(RecoveredFileKind rowKind, ByteView head) {
    if (rowKind == RecoveredFileKind::zip) return OfficeKindDetector::refineZipKind(head);
    if (FileKind::ftypRefinableKinds().contains(rowKind)) return FtypKindDetector::refine(head);
    return rowKind;
}

} // namespace vantrel::HeaderChecks
