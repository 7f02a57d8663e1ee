#include "recovery/bytesource/MemoryByteSource.h"

#include <algorithm>

namespace vantrel {

void MemoryByteSource::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    if (count <= 0 || offset >= m_data.size()) {
        out.clear();
        if (count == 0) return;
        throw ByteSourceError::outOfBounds();
    }
    const std::uint64_t available = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m_data.size() - offset);
    const auto begin = m_data.begin() + static_cast<std::ptrdiff_t>(offset);
    // Sized, then one block copy (see PageAlignedAllocator); a buffer read into again at its size is not
    // touched before the copy.
    out.resize(static_cast<std::size_t>(available));
    std::copy(begin, begin + static_cast<std::ptrdiff_t>(available), out.begin());
}

} // namespace vantrel
