#include "recovery/carving/formats/GIFBlockWalk.h"

namespace vantrel::GIFBlockWalk {

namespace {

constexpr std::uint8_t extensionIntroducer = 0x21;
constexpr std::uint8_t imageSeparator = 0x2C;
constexpr std::uint8_t trailer = 0x3B;
constexpr std::uint64_t headerAndScreenBytes = 13;
constexpr std::uint64_t imageDescriptorBytes = 10;
// A well-formed stream's LZW minimum code size is 2 to 8 (a 1-bit picture still uses 2). The walk only
// measures the blocks, so it turns away just the sizes no decoder can start from: above 12, the width
// that LZW codes never exceed (GIF89a, appendix F).
constexpr std::uint8_t maxLZWCodeSize = 12;

std::uint64_t colourTableBytes(std::uint8_t packed) {
    if ((packed & 0x80) == 0) return 0;
    return std::uint64_t{3} << ((packed & 0x07) + 1);
}

// The position after a run of data sub-blocks that starts at position, or nothing.
std::optional<std::uint64_t> skipSubBlocks(CandidateCursor& cursor, std::uint64_t position) {
    // Each sub-block takes at least one byte, and the cursor ends at its limit.
    for (;;) {
        const auto size = cursor.byteAt(position);
        if (!size) return std::nullopt;
        position += 1;
        if (*size == 0) return position;
        position += *size;
    }
}

} // namespace

std::optional<std::uint64_t> walk(CandidateCursor& cursor) {
    std::uint8_t screen[headerAndScreenBytes];
    if (!cursor.copy(0, sizeof screen, screen)) return std::nullopt;
    const ByteView header(screen, sizeof screen);
    if (!FieldReader::matches(header, 0, "GIF87a") && !FieldReader::matches(header, 0, "GIF89a")) return std::nullopt;
    std::uint64_t position = headerAndScreenBytes + colourTableBytes(screen[10]);
    for (;;) {
        const auto introducer = cursor.byteAt(position);
        if (!introducer) return std::nullopt;
        switch (*introducer) {
        case trailer:
            return position + 1;
        case extensionIntroducer: {
            if (!cursor.byteAt(position + 1)) return std::nullopt;
            const auto end = skipSubBlocks(cursor, position + 2);
            if (!end) return std::nullopt;
            position = *end;
            break;
        }
        case imageSeparator: {
            std::uint8_t descriptor[imageDescriptorBytes];
            if (!cursor.copy(position, sizeof descriptor, descriptor)) return std::nullopt;
            position += imageDescriptorBytes + colourTableBytes(descriptor[9]);
            const auto codeSize = cursor.byteAt(position);
            if (!codeSize || *codeSize > maxLZWCodeSize) return std::nullopt;
            const auto end = skipSubBlocks(cursor, position + 1);
            if (!end) return std::nullopt;
            position = *end;
            break;
        }
        default:
            return std::nullopt;
        }
    }
}

} // namespace vantrel::GIFBlockWalk
