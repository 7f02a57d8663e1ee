#pragma once
// One row of the signature table: the bytes a file of some kind starts with, the bytes that end it
// where the format has such a marker, and how far a file of that kind is followed at most.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

#include <cstdint>
#include <optional>

namespace vantrel {

struct FileSignature {
    // The kind a match yields before any refinement.
    RecoveredFileKind kind = RecoveredFileKind::unknown;
    // The bytes at the start of the file.
    Bytes header;
    // Same length as header when present: per byte, 0 = any value, otherwise the bits that must match.
    std::optional<Bytes> headerMask;
    // The bytes that end the file, when the format has an end marker.
    std::optional<Bytes> footer;
    // The longest length assumed for a file of this kind, in bytes.
    std::uint64_t maxScanLength = 0;
    // Required alignment of a header's offset in bytes; 1 admits any offset.
    std::uint64_t alignment = 1;

    // Whether the header (through the mask, where there is one) matches the buffer at offset. False when
    // the header would start before the buffer or run past its end; an empty header matches.
    bool matchesHeader(ByteView buffer, std::int64_t offset) const;

    friend bool operator==(const FileSignature&, const FileSignature&) = default;
};

} // namespace vantrel
