#pragma once
// The byte source of the fuzz targets: the input as a device, clamped at its end like one, which stops
// the run when a reader asks for a range the device would refuse (a negative count, or a start at or
// past the end) or, once limited to a volume, one that starts outside that volume. The walks pass a
// refused read over as a bad spot, so without this a reader that computes an offset outside the volume
// would go unnoticed.

#include "recovery/bytesource/ByteSource.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vantrel::fuzz {

class VolumeByteSource final : public ByteSource {
public:
    VolumeByteSource(const std::uint8_t* data, std::size_t size) : m_data(data, data + size) {}

    std::uint64_t length() const override { return m_data.size(); }

    // From now on a read must also start inside [offset, offset + length) (clipped to the device).
    void limitTo(std::uint64_t offset, std::uint64_t length) {
        m_volumeStart = offset;
        m_volumeEnd = length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
    }

    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override {
        out.clear();
        if (count == 0) return;
        if (count < 0 || offset >= m_data.size() || offset < m_volumeStart || offset >= m_volumeEnd) {
            std::fprintf(stderr, "read outside the volume: offset %llu, count %lld, length %zu\n",
                         static_cast<unsigned long long>(offset), static_cast<long long>(count), m_data.size());
            std::abort();
        }
        const std::uint64_t available = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m_data.size() - offset);
        const auto begin = m_data.begin() + static_cast<std::ptrdiff_t>(offset);
        out.assign(begin, begin + static_cast<std::ptrdiff_t>(available));
    }

private:
    Bytes m_data;
    std::uint64_t m_volumeStart = 0;
    std::uint64_t m_volumeEnd = UINT64_MAX;
};

} // namespace vantrel::fuzz
