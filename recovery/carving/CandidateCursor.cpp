#include "recovery/carving/CandidateCursor.h"

#include <algorithm>

namespace vantrel {

CandidateCursor::CandidateCursor(CandidateReader& reader, std::uint64_t fileOffset, std::uint64_t limit,
                                 ByteView head, std::uint64_t chunkBytes, Bytes* scratch)
    : m_reader(reader), m_fileOffset(fileOffset), m_limit(limit), m_chunkBytes(std::max<std::uint64_t>(chunkBytes, 1)),
      m_head(head.first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), limit)))),
      m_scratch(scratch) {}

ByteView CandidateCursor::from(std::uint64_t pos) {
    if (pos >= m_limit) return {};
    if (pos < m_head.size()) return m_head.subspan(static_cast<std::size_t>(pos));
    if (pos >= m_viewStart && pos - m_viewStart < m_view.size())
        return m_view.subspan(static_cast<std::size_t>(pos - m_viewStart));
    // The limit never lies past the device's end, so fileOffset + pos cannot overflow.
    m_view = m_reader.readUpTo(m_fileOffset + pos, std::min(m_chunkBytes, m_limit - pos),
                                 m_scratch != nullptr ? *m_scratch : m_ownScratch);
    m_viewStart = pos;
    return m_view;
}

std::optional<std::uint8_t> CandidateCursor::byteAt(std::uint64_t pos) {
    const ByteView bytes = from(pos);
    if (bytes.empty()) return std::nullopt;
    return bytes[0];
}

bool CandidateCursor::copy(std::uint64_t pos, std::size_t count, std::uint8_t* out) {
    std::size_t done = 0;
    while (done < count) {
        if (pos > UINT64_MAX - done) return false;
        const ByteView bytes = from(pos + done);
        if (bytes.empty()) return false;
        const std::size_t take = std::min(bytes.size(), count - done);
        std::copy_n(bytes.begin(), take, out + done);
        done += take;
    }
    return true;
}

} // namespace vantrel
