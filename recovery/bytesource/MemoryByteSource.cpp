#include "recovery/bytesource/MemoryByteSource.h"

#include "recovery/bytesource/Bounds.h"

namespace vantrel {

void MemoryByteSource::readInto(std::uint64_t offset, std::int64_t count, Bytes& out) {
    out.clear();
    if (count < 0 || !fitsWithin(offset, static_cast<std::uint64_t>(count), m_data.size()))
        throw ByteSourceError::outOfBounds();
    const auto begin = m_data.begin() + static_cast<std::ptrdiff_t>(offset);
    out.assign(begin, begin + static_cast<std::ptrdiff_t>(count));
}

} // namespace vantrel
