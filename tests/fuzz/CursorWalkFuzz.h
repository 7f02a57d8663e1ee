#pragma once
// What the fuzz targets of the length walks over a carve candidate's cursor share: the first byte
// picks the chunk size and how much of the rest the walk may use; the rest is the file, read through
// fuzz::VolumeByteSource, which aborts the run on any read a device would refuse. A length must lie
// within the limit and hold at least the format's smallest file.

#include "tests/fixtures/MemoryCursor.h"

#include "VolumeByteSource.h"

#include <cstdlib>
#include <memory>

namespace vantrel::fuzz {

template <auto Walk>
int walkCursor(const std::uint8_t* data, std::size_t size, std::uint64_t smallestFile) {
    if (size < 1) return 0;
    const std::uint64_t limit = (size - 1) >> (data[0] >> 6);
    test::MemoryCursor input(std::make_unique<VolumeByteSource>(data + 1, size - 1), 0, limit, 256,
                             std::uint64_t{16} << (data[0] & 0x0F));
    try {
        const auto length = Walk(input.cursor());
        if (length && (*length > limit || *length < smallestFile)) std::abort();
    } catch (const ByteSourceError&) {
        // The cursor asks for nothing past the source's end, so no read may fail.
        std::abort();
    }
    return 0;
}

} // namespace vantrel::fuzz
