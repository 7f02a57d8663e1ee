// JPEG (ITU-T T.81, annex B): SOI, then segments FF xx with a big-endian length (2) that counts itself,
// up to the first SOS (FF DA); standalone markers (RSTn, TEM) carry no length. APP1 (FF E1) starting
// "Exif\0\0" holds the TIFF block.
// PNG: 8-byte signature, then chunks: length (4, big-endian, at most 2^31 - 1), type (4), data, CRC (4),
// up to IEND; the eXIf chunk's data is the TIFF block.
// WebP: "RIFF", size (4, little-endian), "WEBP", then chunks: FourCC (4), size (4, little-endian), data
// padded to an even length. The "EXIF" chunk's data is the TIFF block; some writers put "Exif\0\0" first.

#include "recovery/carving/formats/EXIFBlock.h"

#include "base/Bounds.h"

namespace vantrel::EXIFBlock {

namespace {

constexpr std::string_view exifHeader{"Exif\0\0", 6};

std::int64_t at(std::uint64_t offset) { return static_cast<std::int64_t>(offset); }

ByteView skipExifHeader(ByteView block) {
    if (FieldReader::matches(block, 0, exifHeader)) return block.subspan(exifHeader.size());
    return block;
}

std::optional<ByteView> inJPEG(ByteView buffer) {
    if (FieldReader::u16be(buffer, 0) != 0xFFD8) return std::nullopt;
    std::uint64_t pos = 2;
    for (int walked = 0; walked < maxBlocksWalked; ++walked) {
        if (FieldReader::u8(buffer, at(pos)) != 0xFF) return std::nullopt;
        const std::uint8_t marker = FieldReader::u8(buffer, at(pos + 1));
        // Fill bytes FF before a marker.
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        // Start of scan or end of image: EXIF data comes before both.
        if (marker == 0xDA || marker == 0xD9 || marker == 0x00) return std::nullopt;
        const std::uint16_t length = FieldReader::u16be(buffer, at(pos + 2));
        if (length < 2 || !fitsWithin(pos + 2, length, buffer.size())) return std::nullopt;
        // The segment must hold the whole "Exif" header, or the block's size would wrap below zero.
        if (marker == 0xE1 && length >= 2 + exifHeader.size() && FieldReader::matches(buffer, at(pos + 4), exifHeader))
            return buffer.subspan(pos + 4 + exifHeader.size(), length - 2 - exifHeader.size());
        pos += 2 + length;
    }
    return std::nullopt;
}

std::optional<ByteView> inPNG(ByteView buffer) {
    if (!FieldReader::matches(buffer, 0, "\x89PNG\r\n\x1a\n")) return std::nullopt;
    std::uint64_t pos = 8;
    for (int walked = 0; walked < maxBlocksWalked; ++walked) {
        const std::uint32_t length = FieldReader::u32be(buffer, at(pos));
        if (length > 0x7FFFFFFF || !fitsWithin(pos + 8, std::uint64_t{length} + 4, buffer.size())) return std::nullopt;
        if (FieldReader::matches(buffer, at(pos + 4), "eXIf")) return buffer.subspan(pos + 8, length);
        // Some writers put eXIf after the image data, so the walk goes on to IEND.
        if (FieldReader::matches(buffer, at(pos + 4), "IEND")) return std::nullopt;
        pos += 12 + std::uint64_t{length};
    }
    return std::nullopt;
}

std::optional<ByteView> inWebP(ByteView buffer) {
    if (!FieldReader::matches(buffer, 0, "RIFF") || !FieldReader::matches(buffer, 8, "WEBP")) return std::nullopt;
    std::uint64_t pos = 12;
    for (int walked = 0; walked < maxBlocksWalked; ++walked) {
        const std::uint32_t size = FieldReader::u32le(buffer, at(pos + 4));
        if (!fitsWithin(pos + 8, size, buffer.size())) return std::nullopt;
        if (FieldReader::matches(buffer, at(pos), "EXIF")) return skipExifHeader(buffer.subspan(pos + 8, size));
        pos += 8 + std::uint64_t{size} + (size & 1);
    }
    return std::nullopt;
}

} // namespace

std::optional<ByteView> find(RecoveredFileKind kind, ByteView buffer) {
    using K = RecoveredFileKind;
    // A TIFF-family file is itself the block.
    if (FileKind::isTiffFamily(kind)) return buffer;
    switch (kind) {
    case K::jpeg: return inJPEG(buffer);
    case K::png: return inPNG(buffer);
    case K::webp: return inWebP(buffer);
    // The TIFF family, above.
    case K::tiff: case K::cr2: case K::nef: case K::arw: case K::orf:
    // No block where this reader looks.
    case K::heic: case K::avif: case K::gif: case K::bmp: case K::crw: case K::cr3: case K::mp4: case K::mov:
    case K::mp3: case K::m4a: case K::wav: case K::flac: case K::ogg: case K::pdf: case K::docx: case K::xlsx:
    case K::pptx: case K::doc: case K::rtf: case K::zip: case K::unknown:
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace vantrel::EXIFBlock
