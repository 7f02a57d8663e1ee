#pragma once
// A byte source over bytes held in memory: exact reads, no alignment.

#include "recovery/bytesource/ByteSource.h"

namespace vantrel {

class MemoryByteSource final : public ByteSource {
public:
    MemoryByteSource() = default;
    explicit MemoryByteSource(Bytes data) : m_data(std::move(data)) {}

    std::uint64_t length() const override { return m_data.size(); }

    // Unlike a device, the whole range must lie inside the buffer: a request running past the end
    // throws outOfBounds instead of being clamped.
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override;

    const Bytes& data() const { return m_data; }

private:
    Bytes m_data;
};

} // namespace vantrel
