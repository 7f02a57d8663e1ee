#pragma once
// Finds the next occurrence of a footer (or any short marker) on the device, remembering for each
// footer how far it has already searched and what it found there, so that the candidates of one carve
// that search for the same footer read each device byte about once.

#include "recovery/carving/CandidateReader.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel {

class FooterFinder {
public:
    // Bytes read per step of a search.
    static constexpr std::uint64_t chunkBytes = 0x40000;
    // Footers remembered; the oldest memory is dropped beyond this.
    static constexpr std::size_t maxRemembered = 8;
    // Occurrences remembered per footer; the memory starts afresh beyond this.
    static constexpr std::size_t maxOccurrences = 0x10000;

    // The device offset of the first occurrence of needle that starts at or after from and ends at or
    // before limit, or nothing. Reads through the reader in chunks; a failed read throws. The answer is
    // the one a plain search from `from` would give; remembered ranges are never read again.
    std::optional<std::uint64_t> find(CandidateReader& reader, ByteView needle, std::uint64_t from, std::uint64_t limit);

private:
    // For one needle: every occurrence lying wholly inside [scanStart, scanEnd) is in occurrences.
    struct Memory {
        Bytes needle;
        std::uint64_t scanStart = 0;
        std::uint64_t scanEnd = 0;
        std::vector<std::uint64_t> occurrences; // ascending
    };

    Memory& memoryFor(ByteView needle, std::uint64_t from);

    std::vector<Memory> m_memories; // most recently used last
    Bytes m_scratch;
};

} // namespace vantrel
