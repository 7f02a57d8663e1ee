#include "recovery/carving/FooterFinder.h"

#include "recovery/carving/ByteSearch.h"

#include <algorithm>

namespace vantrel {

FooterFinder::Memory& FooterFinder::memoryFor(ByteView needle, std::uint64_t from) {
    auto it = std::find_if(m_memories.begin(), m_memories.end(), [&](const Memory& memory) {
        return std::equal(memory.needle.begin(), memory.needle.end(), needle.begin(), needle.end());
    });
    if (it == m_memories.end()) {
        if (m_memories.size() >= maxRemembered) m_memories.erase(m_memories.begin());
        m_memories.push_back(Memory{Bytes(needle.begin(), needle.end()), from, from, {}});
    } else {
        std::rotate(it, it + 1, m_memories.end());
    }
    Memory& memory = m_memories.back();
    // The memory covers one contiguous stretch; a search outside it starts a new one.
    if (from < memory.scanStart || from > memory.scanEnd || memory.occurrences.size() >= maxOccurrences) {
        memory.scanStart = from;
        memory.scanEnd = from;
        memory.occurrences.clear();
    }
    return memory;
}

std::optional<std::uint64_t> FooterFinder::find(CandidateReader& reader, ByteView needle, std::uint64_t from,
                                                std::uint64_t limit) {
    // A footer is a few bytes; one as long as a chunk could not be found across chunks.
    if (needle.empty() || needle.size() >= chunkBytes) return std::nullopt;
    if (from >= limit || needle.size() > limit - from) return std::nullopt;
    const std::uint64_t needleLength = needle.size();
    Memory& memory = memoryFor(needle, from);

    // Every occurrence wholly inside the searched stretch is known, so the first one at or after from,
    // if any, is the answer; one that runs past limit means none ends before it.
    const auto known = std::lower_bound(memory.occurrences.begin(), memory.occurrences.end(), from);
    if (known != memory.occurrences.end()) {
        if (*known > limit || needleLength > limit - *known) return std::nullopt;
        return *known;
    }
    if (limit <= memory.scanEnd) return std::nullopt;

    // Go on from the end of the searched stretch, re-reading the bytes an occurrence could share with it.
    std::uint64_t position = memory.scanEnd - std::min(memory.scanEnd - memory.scanStart, needleLength - 1);
    while (position < limit) {
        const std::uint64_t asked = std::min(chunkBytes, limit - position);
        const ByteView bytes = reader.read(position, asked, m_scratch);
        if (bytes.size() < needleLength) break;
        std::size_t at = ByteSearch::find(bytes, needle);
        while (at < bytes.size()) {
            const std::uint64_t occurrence = position + at;
            memory.occurrences.push_back(occurrence);
            memory.scanEnd = occurrence + needleLength;
            if (occurrence >= from) return occurrence;
            at = ByteSearch::find(bytes, needle, at + 1);
        }
        memory.scanEnd = position + bytes.size();
        // A short read means the device ends here.
        if (bytes.size() < asked) break;
        position = memory.scanEnd - (needleLength - 1);
    }
    return std::nullopt;
}

} // namespace vantrel
