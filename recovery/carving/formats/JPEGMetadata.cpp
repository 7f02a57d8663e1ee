// Marker walks over a JPEG stream (ITU-T T.81 / ISO/IEC 10918-1, Annex B: every marker is FF and a
// code byte; all but the standalone ones are followed by a big-endian 16-bit segment length that
// counts itself but not the marker). Offsets are 64-bit and count from the candidate's first byte.

#include "recovery/carving/formats/JPEGMetadata.h"

#include "recovery/model/RecoveryFilters.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel::JPEGMetadata {

namespace {

constexpr std::uint8_t markerPrefix = 0xFF;
constexpr std::uint8_t startOfImage = 0xD8;
constexpr std::uint8_t endOfImage = 0xD9;
constexpr std::uint8_t startOfScanMarker = 0xDA;

// The dimensions walk looks at ten bytes from every marker it examines, standalone ones included: the
// marker, the length and a frame header's precision, height and width.
constexpr std::uint64_t dimensionsWalkMarkerBytes = 10;

enum class MarkerClass : std::uint8_t { standalone, startOfFrame, startOfScan, segment };

// T.81 table B.1. The frame markers are SOF0-3, 5-7, 9-11, 13-15; C4 (DHT), C8 (JPG, reserved) and
// CC (DAC) are ordinary segments. TEM (01), SOI, EOI and RST0-7 carry no length.
constexpr MarkerClass classOf(std::uint8_t marker) {
    switch (marker) {
    case 0x01:
    case 0xD0: case 0xD1: case 0xD2: case 0xD3: case 0xD4: case 0xD5: case 0xD6: case 0xD7:
    case startOfImage: case endOfImage:
        return MarkerClass::standalone;
    case 0xC0: case 0xC1: case 0xC2: case 0xC3: case 0xC5: case 0xC6: case 0xC7:
    case 0xC9: case 0xCA: case 0xCB: case 0xCD: case 0xCE: case 0xCF:
        return MarkerClass::startOfFrame;
    case startOfScanMarker:
        return MarkerClass::startOfScan;
    default:
        return MarkerClass::segment;
    }
}

std::uint8_t byteAt(ByteView buffer, std::uint64_t offset) {
    return FieldReader::u8(buffer, static_cast<std::int64_t>(offset));
}

std::uint16_t u16At(ByteView buffer, std::uint64_t offset) {
    return FieldReader::u16be(buffer, static_cast<std::int64_t>(offset));
}

// The markers a JPEG file opens with after SOI (T.81 B.2.4 and B.2.2, JFIF and Exif start with APPn).
bool opensAFile(std::uint8_t marker) {
    if (marker >= 0xE0 && marker <= 0xEF) return true;  // APP0-15
    switch (marker) {
    case 0xDB: case 0xC4: case 0xDD: case 0xFE: return true;  // DQT, DHT, DRI, COM
    default: return classOf(marker) == MarkerClass::startOfFrame;
    }
}

bool startsWithStartOfImage(ByteView buffer) {
    return buffer.size() >= 4 && byteAt(buffer, 0) == markerPrefix && byteAt(buffer, 1) == startOfImage;
}

// First FF D9 at or after from; the offset just past it.
std::optional<std::uint64_t> searchEndMarker(ByteView buffer, std::uint64_t from) {
    if (from >= buffer.size()) return std::nullopt;
    auto at = buffer.begin() + static_cast<std::ptrdiff_t>(from);
    while (true) {
        at = std::find(at, buffer.end(), markerPrefix);
        if (at == buffer.end() || at + 1 == buffer.end()) return std::nullopt;
        if (*(at + 1) == endOfImage) return static_cast<std::uint64_t>(at - buffer.begin()) + 2;
        ++at;
    }
}

} // namespace

std::optional<ImageDimensions> dimensions(ByteView buffer) {
    if (!startsWithStartOfImage(buffer)) return std::nullopt;
    const std::uint64_t size = buffer.size();
    std::uint64_t p = 2;
    // Every pass advances p by at least 2, so the walk ends within size / 2 passes.
    while (true) {
        if (!fitsWithin(p, dimensionsWalkMarkerBytes, size)) return std::nullopt;
        // Fill bytes are not skipped here: anything but a marker ends the walk.
        if (byteAt(buffer, p) != markerPrefix) return std::nullopt;
        const std::uint8_t marker = byteAt(buffer, p + 1);
        const MarkerClass markerClass = classOf(marker);
        if (markerClass == MarkerClass::standalone) {
            p += 2;
            continue;
        }
        const std::uint64_t length = u16At(buffer, p + 2);
        // The length counts its own two bytes, so anything below 2 is corrupt.
        if (length < 2 || !fitsWithin(p + 2, length, size)) return std::nullopt;
        // Frame header: length (2), precision (1), height (2), width (2), components...
        if (markerClass == MarkerClass::startOfFrame && length >= 7) {
            const std::uint16_t height = u16At(buffer, p + 5);
            const std::uint16_t width = u16At(buffer, p + 7);
            // A zero height is defined later by a DNL segment; such a frame is passed over.
            if (width != 0 && height != 0) return ImageDimensions{width, height};
        }
        p += length + 2;
    }
}

std::optional<std::uint64_t> topLevelEndOffset(ByteView buffer) {
    if (!startsWithStartOfImage(buffer)) return std::nullopt;
    const std::uint64_t size = buffer.size();
    bool sawFrame = false;
    std::uint64_t p = 2;
    // Every pass advances p by at least 1 (fill bytes) or 2, so the walk ends within size passes.
    while (true) {
        if (p + 1 >= size) return std::nullopt;
        if (byteAt(buffer, p) != markerPrefix) {
            // Entropy-coded data where a marker should be: trust the byte search once a frame exists.
            if (sawFrame) return searchEndMarker(buffer, p);
            return std::nullopt;
        }
        std::uint8_t marker = byteAt(buffer, p + 1);
        // Any marker may be preceded by fill bytes FF; p stays on the last FF before the code.
        while (marker == markerPrefix) {
            ++p;
            if (p + 1 >= size) return std::nullopt;
            marker = byteAt(buffer, p + 1);
        }
        if (marker == endOfImage) {
            if (sawFrame) return p + 2;
            return std::nullopt;
        }
        const MarkerClass markerClass = classOf(marker);
        if (markerClass == MarkerClass::standalone) {
            p += 2;
            continue;
        }
        if (p + 3 >= size) return std::nullopt;
        const std::uint64_t length = u16At(buffer, p + 2);
        if (length < 2) return std::nullopt;
        if (markerClass == MarkerClass::startOfScan) {
            // After the scan header comes entropy-coded data, in which FF is always stuffed (FF 00)
            // or a restart marker, so the first FF D9 from here on is the stream's end.
            const std::uint64_t scanData = p + 2 + length;
            if (scanData >= size) return std::nullopt;
            return searchEndMarker(buffer, scanData);
        }
        if (markerClass == MarkerClass::startOfFrame) sawFrame = true;
        p += length + 2;
    }
}

bool isPlausiblePayloadSize(std::uint64_t byteLength, ImageDimensions dimensions) {
    return isPlausibleJpegPayload(byteLength, dimensions);
}

std::optional<std::uint64_t> firstSegmentEnd(ByteView buffer) {
    if (buffer.size() < firstSegmentHeaderBytes || byteAt(buffer, 0) != markerPrefix || byteAt(buffer, 1) != startOfImage ||
        byteAt(buffer, 2) != markerPrefix)
        return std::nullopt;
    if (!opensAFile(byteAt(buffer, 3))) return std::nullopt;
    const std::uint64_t length = u16At(buffer, 4);
    if (length < 2) return std::nullopt;
    return 4 + length;
}

} // namespace vantrel::JPEGMetadata
