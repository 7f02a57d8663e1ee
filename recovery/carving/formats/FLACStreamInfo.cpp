#include "recovery/carving/formats/FLACStreamInfo.h"

namespace vantrel::FLACStreamInfo {

namespace {

constexpr std::uint8_t streamInfoType = 0;
constexpr std::uint32_t streamInfoBytes = 34;
constexpr std::uint16_t smallestBlockSamples = 16;
constexpr std::uint32_t largestSampleRate = 655350;
constexpr std::uint32_t fewestBitsPerSample = 4;

std::uint32_t u24be(ByteView bytes, std::int64_t at) {
    return (std::uint32_t{FieldReader::u8(bytes, at)} << 16) | (std::uint32_t{FieldReader::u8(bytes, at + 1)} << 8) |
           FieldReader::u8(bytes, at + 2);
}

} // namespace

bool looksValid(ByteView bytes) {
    if (bytes.size() < headerBytes || !FieldReader::matches(bytes, 0, "fLaC")) return false;
    if ((FieldReader::u8(bytes, 4) & 0x7F) != streamInfoType || u24be(bytes, 5) != streamInfoBytes) return false;
    const std::uint16_t minimumBlock = FieldReader::u16be(bytes, 8);
    const std::uint16_t maximumBlock = FieldReader::u16be(bytes, 10);
    if (minimumBlock < smallestBlockSamples || maximumBlock < minimumBlock) return false;
    const std::uint32_t minimumFrame = u24be(bytes, 12);
    const std::uint32_t maximumFrame = u24be(bytes, 15);
    if (minimumFrame != 0 && maximumFrame != 0 && minimumFrame > maximumFrame) return false;
    const std::uint32_t packed = FieldReader::u32be(bytes, 18);
    const std::uint32_t sampleRate = packed >> 12;
    const std::uint32_t bitsPerSample = ((packed >> 4) & 0x1F) + 1;
    return sampleRate >= 1 && sampleRate <= largestSampleRate && bitsPerSample >= fewestBitsPerSample;
}

} // namespace vantrel::FLACStreamInfo
