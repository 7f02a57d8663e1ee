#pragma once
// A byte source over bytes held in memory: exact reads, no alignment, clamped at the end as a device is.

#include "recovery/bytesource/ByteSource.h"

namespace vantrel {

class MemoryByteSource final : public ByteSource {
public:
    MemoryByteSource() = default;
    explicit MemoryByteSource(Bytes data) : m_data(std::move(data)) {}

    std::uint64_t length() const override { return m_data.size(); }

    // Keeps the ByteSource rules: a request running past the end gives the bytes up to the end.
    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override;

    const Bytes& data() const { return m_data; }

private:
    Bytes m_data;
};

} // namespace vantrel
