#include "recovery/carving/CandidateReader.h"

#include <algorithm>

namespace vantrel {

ByteView SourceCandidateReader::read(std::uint64_t offset, std::uint64_t count, Bytes& scratch) {
    const std::uint64_t length = m_source.length();
    if (count == 0 || offset >= length) {
        scratch.clear();
        return {};
    }
    // ByteSource takes a signed count; a window never comes near that bound.
    const std::uint64_t clamped = std::min({count, length - offset, static_cast<std::uint64_t>(INT64_MAX)});
    m_source.readInto(offset, static_cast<std::int64_t>(clamped), scratch);
    return ByteView(scratch);
}

} // namespace vantrel
