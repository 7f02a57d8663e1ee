#include "recovery/carving/FileSignature.h"

namespace vantrel {

bool FileSignature::matchesHeader(ByteView buffer, std::int64_t offset) const {
    if (offset < 0) return false;
    const auto start = static_cast<std::uint64_t>(offset);
    if (start > buffer.size() || header.size() > buffer.size() - start) return false;
    const std::uint8_t* bytes = buffer.data() + start;
    if (!headerMask) {
        for (std::size_t i = 0; i < header.size(); ++i)
            if (bytes[i] != header[i]) return false;
        return true;
    }
    const Bytes& mask = *headerMask;
    for (std::size_t i = 0; i < header.size(); ++i) {
        // A mask shorter than the header says nothing about the remaining bytes: they must match exactly.
        const std::uint8_t bits = i < mask.size() ? mask[i] : 0xFF;
        if (((header[i] ^ bytes[i]) & bits) != 0) return false;
    }
    return true;
}

} // namespace vantrel
