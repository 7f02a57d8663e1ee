#include "recovery/carving/formats/FLACMediaFacts.h"

#include "recovery/carving/formats/FLACStreamInfo.h"

namespace vantrel::FLACMediaFacts {

std::optional<MediaFacts> read(ByteSource& source) {
    if (source.length() < FLACStreamInfo::headerBytes) return std::nullopt;
    const Bytes head = source.read(0, FLACStreamInfo::headerBytes);
    if (!FLACStreamInfo::looksValid(head)) return std::nullopt;
    // At 18: sample rate (20 bits), channels - 1 (3), bits per sample - 1 (5), total samples (36).
    const std::uint32_t sampleRate = FieldReader::u32be(head, 18) >> 12;
    const std::uint64_t totalSamples = (std::uint64_t{FieldReader::u8(head, 21) & 0x0Fu} << 32) | FieldReader::u32be(head, 22);
    if (totalSamples == 0) return std::nullopt;
    const auto duration = millisecondsOf(totalSamples, sampleRate);
    if (!duration) return std::nullopt;
    return MediaFacts{duration, false, std::nullopt};
}

} // namespace vantrel::FLACMediaFacts
