// RIFF header read here (little-endian; the WebP container format, RFC 9649, "RIFF Header"):
//   0  4  "RIFF"
//   4  4  chunk size: the bytes after this field, at least 4 (the form type)
//   8  4  form type (not examined)

#include "recovery/carving/formats/RIFFMetadata.h"

namespace vantrel::RIFFMetadata {

namespace {
constexpr std::size_t headerBytes = 8;
constexpr std::uint32_t minimumChunkBytes = 4;
} // namespace

std::optional<std::uint64_t> fileLength(ByteView buffer) {
    if (buffer.size() < headerBytes || !FieldReader::matches(buffer, 0, "RIFF")) return std::nullopt;
    const std::uint32_t chunkSize = FieldReader::u32le(buffer, 4);
    if (chunkSize < minimumChunkBytes) return std::nullopt;
    return std::uint64_t{chunkSize} + headerBytes;
}

} // namespace vantrel::RIFFMetadata
