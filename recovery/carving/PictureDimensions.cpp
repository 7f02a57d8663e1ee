#include "recovery/carving/PictureDimensions.h"

#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/GIFMetadata.h"
#include "recovery/carving/formats/JPEGMetadata.h"
#include "recovery/carving/formats/PNGMetadata.h"
#include "recovery/carving/formats/TIFFMetadata.h"

namespace vantrel::PictureDimensions {

std::optional<ImageDimensions> read(RecoveredFileKind kind, ByteView bytes) {
    using K = RecoveredFileKind;
    if (FileKind::isTiffFamily(kind)) return TIFFMetadata::dimensions(bytes);
    switch (kind) {
    case K::jpeg: return JPEGMetadata::dimensions(bytes);
    case K::png: return PNGMetadata::dimensions(bytes);
    case K::gif: return GIFMetadata::dimensions(bytes);
    case K::bmp: return BMPMetadata::dimensions(bytes);
    // The TIFF family, above.
    case K::tiff: case K::cr2: case K::nef: case K::arw: case K::orf:
    // No size reader.
    case K::heic: case K::avif: case K::webp: case K::crw: case K::cr3: case K::mp4: case K::mov: case K::mp3:
    case K::m4a: case K::wav: case K::flac: case K::ogg: case K::pdf: case K::docx: case K::xlsx: case K::pptx:
    case K::doc: case K::rtf: case K::zip: case K::unknown:
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace vantrel::PictureDimensions
