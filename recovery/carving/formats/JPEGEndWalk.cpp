#include "recovery/carving/formats/JPEGEndWalk.h"

#include "recovery/carving/ByteSearch.h"

namespace vantrel::JPEGEndWalk {

namespace {

// Markers that stand alone, without a length field: TEM (01), SOI (D8) and the restart markers RST0-7.
bool isStandalone(std::uint8_t marker) { return marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7); }

// Start-of-frame markers: SOF0-3, 5-7, 9-11, 13-15 (C4 is DHT, C8 JPG, CC DAC).
bool isStartOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The first FF D9 at or after start, as the length just past it. Entropy-coded data holds an FF every few
// hundred bytes (stuffed FF 00, restart markers), so the pair is searched for as a whole, chunk by chunk.
std::optional<std::uint64_t> searchEndMarker(CandidateCursor& cursor, std::uint64_t start) {
    static constexpr std::uint8_t endOfImage[2] = {0xFF, 0xD9};
    std::uint64_t position = start;
    for (;;) {
        const ByteView bytes = cursor.from(position);
        if (bytes.empty()) return std::nullopt;
        const std::size_t at = ByteSearch::find(bytes, ByteView(endOfImage, sizeof endOfImage));
        if (at < bytes.size()) return position + at + sizeof endOfImage;
        // A pair cut by the end of the bytes in hand: its FF is their last byte.
        position += bytes.size();
        if (bytes.back() == 0xFF) {
            const auto next = cursor.byteAt(position);
            if (!next) return std::nullopt;
            if (*next == 0xD9) return position + 1;
        }
    }
}

// The last FF of a run of fill bytes that starts at start (which holds FF), or nothing when the run
// reaches the end of the readable bytes.
std::optional<std::uint64_t> lastFillByte(CandidateCursor& cursor, std::uint64_t start) {
    std::uint64_t position = start;
    for (;;) {
        const ByteView bytes = cursor.from(position + 1);
        if (bytes.empty()) return std::nullopt;
        std::size_t run = 0;
        while (run < bytes.size() && bytes[run] == 0xFF) ++run;
        position += run;
        if (run < bytes.size()) return position;
    }
}

} // namespace

std::optional<std::uint64_t> find(CandidateCursor& cursor) {
    std::uint8_t start[4];
    if (!cursor.copy(0, sizeof start, start) || start[0] != 0xFF || start[1] != 0xD8) return std::nullopt;

    bool sawFrame = false;
    std::uint64_t position = 2;
    // Every turn moves position forward, and the cursor ends at its limit, so the walk ends.
    for (;;) {
        std::uint8_t pair[2];
        if (!cursor.copy(position, 2, pair)) return std::nullopt;
        // A byte other than FF where a marker belongs: after a frame header this is entropy-coded data
        // that a marker walk cannot cross, so the end is the next FF D9.
        if (pair[0] != 0xFF) return sawFrame ? searchEndMarker(cursor, position) : std::nullopt;
        std::uint8_t marker = pair[1];
        if (marker == 0xFF) {
            const auto last = lastFillByte(cursor, position);
            if (!last) return std::nullopt;
            position = *last;
            const auto next = cursor.byteAt(position + 1);
            if (!next) return std::nullopt;
            marker = *next;
        }
        if (isStandalone(marker)) {
            position += 2;
            continue;
        }
        if (marker == 0xD9) return sawFrame ? std::optional<std::uint64_t>(position + 2) : std::nullopt;

        // Two big-endian length bytes follow the marker; the length counts itself, not the marker.
        std::uint8_t lengthBytes[2];
        if (!cursor.copy(position + 2, 2, lengthBytes)) return std::nullopt;
        const std::uint64_t length = static_cast<std::uint64_t>(lengthBytes[0]) << 8 | lengthBytes[1];
        if (length < 2) return std::nullopt;
        if (marker == 0xDA) {
            // Start of scan: entropy-coded data follows its header; the end is the next FF D9 after it.
            const std::uint64_t scanData = position + 2 + length;
            if (!cursor.byteAt(scanData)) return std::nullopt;
            return searchEndMarker(cursor, scanData);
        }
        if (isStartOfFrame(marker)) sawFrame = true;
        position += length + 2;
    }
}

} // namespace vantrel::JPEGEndWalk
