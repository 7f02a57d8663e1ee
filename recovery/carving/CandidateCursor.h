#pragma once
// Forward reading over the bytes of one carve candidate, positions counted from its header. The head the
// carver already holds is served first; further bytes are read through the candidate reader one chunk at
// a time, so a walk over a long file keeps only one chunk in memory. A chunk ends early where the reader's
// windows end, so that bytes in memory are read where they lie, not copied.

#include "recovery/carving/CandidateReader.h"

#include <cstdint>
#include <optional>

namespace vantrel {

class CandidateCursor {
public:
    // limit: positions at or past it do not exist for this walk (the rule's `available`). scratch (when
    // given) takes the chunks read outside the windows in place of the cursor's own buffer: one the caller
    // keeps from candidate to candidate is not allocated and zero-filled anew for each. No other cursor
    // may use it at the same time.
    CandidateCursor(CandidateReader& reader, std::uint64_t fileOffset, std::uint64_t limit, ByteView head,
                    std::uint64_t chunkBytes, Bytes* scratch = nullptr);

    std::uint64_t limit() const { return m_limit; }

    // The bytes from pos on that are in hand, reading a chunk at pos when pos lies outside them; empty at
    // or past the limit or the device's end. Valid until the next call.
    ByteView from(std::uint64_t pos);

    std::optional<std::uint8_t> byteAt(std::uint64_t pos);

    // Copies count bytes at pos into out; false when fewer lie before the limit or the device's end.
    bool copy(std::uint64_t pos, std::size_t count, std::uint8_t* out);

private:
    CandidateReader& m_reader;
    std::uint64_t m_fileOffset;
    std::uint64_t m_limit;
    std::uint64_t m_chunkBytes;
    ByteView m_head;
    ByteView m_view;
    std::uint64_t m_viewStart = 0;
    Bytes m_ownScratch;
    Bytes* m_scratch;
};

} // namespace vantrel
