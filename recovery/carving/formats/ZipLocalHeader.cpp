#include "recovery/carving/formats/ZipLocalHeader.h"

#include <algorithm>
#include <array>

namespace vantrel::ZipLocalHeader {

namespace {

constexpr std::uint8_t highestVersionTimesTen = 63;
constexpr std::uint8_t highestHostSystem = 19;
// Stored, shrunk, reduced (2 to 5), imploded, tokenized, deflated, deflate64, old TERSE, bzip2, LZMA,
// CMPSC, TERSE, LZ77, zstd (old and new numbers), MP3, xz, JPEG, WavPack, PPMd, AE-x encryption.
constexpr std::array<std::uint16_t, 24> knownMethods{0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 12,
                                                     14, 16, 18, 19, 20, 93, 94, 95, 96, 97, 98, 99};

// The length of the UTF-8 sequence that starts with lead, or 0 when lead starts none.
std::size_t sequenceLength(std::uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Printable ASCII, or well-formed multi-byte UTF-8 sequences.
bool isPrintableName(ByteView name) {
    for (std::size_t at = 0; at < name.size();) {
        const std::uint8_t byte = name[at];
        if (byte >= 0x20 && byte < 0x7F) {
            ++at;
            continue;
        }
        const std::size_t length = sequenceLength(byte);
        if (length == 0 || at + length > name.size()) return false;
        for (std::size_t i = 1; i < length; ++i)
            if ((name[at + i] & 0xC0) != 0x80) return false;
        at += length;
    }
    return true;
}

} // namespace

std::size_t bytesWithName(ByteView bytes) {
    if (bytes.size() < fixedBytes) return fixedBytes;
    return fixedBytes + FieldReader::u16le(bytes, 26);
}

bool looksValid(ByteView bytes) {
    if (bytes.size() < fixedBytes || !FieldReader::matches(bytes, 0, "PK\x03\x04")) return false;
    const std::uint8_t version = FieldReader::u8(bytes, 4);
    const std::uint8_t host = FieldReader::u8(bytes, 5);
    if (version > highestVersionTimesTen || host > highestHostSystem) return false;
    const std::uint16_t method = FieldReader::u16le(bytes, 8);
    if (std::find(knownMethods.begin(), knownMethods.end(), method) == knownMethods.end()) return false;
    const std::size_t nameBytes = FieldReader::u16le(bytes, 26);
    if (nameBytes == 0 || nameBytes > maxNameBytes || bytes.size() < fixedBytes + nameBytes) return false;
    return isPrintableName(bytes.subspan(fixedBytes, nameBytes));
}

} // namespace vantrel::ZipLocalHeader
