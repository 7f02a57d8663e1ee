#pragma once
// Declared length of a RIFF container (WebP, WAVE): the 8-byte chunk header and the chunk size it
// states, as the WebP container format documents its RIFF header (RFC 9649, "RIFF Header"); a WAVE file
// opens with the same header. Pure functions over a buffer that begins at the candidate file's first byte.

#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>
#include <optional>

namespace vantrel::RIFFMetadata {

// The whole file's length, chunk size + 8; nothing when the header is not "RIFF" or the size is below
// the 4 bytes of the form type. The form type itself ("WEBP", "WAVE") is the signature table's test.
std::optional<std::uint64_t> fileLength(ByteView buffer);

} // namespace vantrel::RIFFMetadata
