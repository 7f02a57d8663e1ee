#include "recovery/bytesource/MemoryByteSource.h"

#include <algorithm>

namespace vantrel {

void MemoryByteSource::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    out.clear();
    if (count == 0) return;
    if (count < 0 || offset >= m_data.size()) throw ByteSourceError::outOfBounds();
    const std::uint64_t available = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m_data.size() - offset);
    const auto begin = m_data.begin() + static_cast<std::ptrdiff_t>(offset);
    out.assign(begin, begin + static_cast<std::ptrdiff_t>(available));
}

} // namespace vantrel
