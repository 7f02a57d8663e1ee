#include "recovery/carving/formats/MP3MediaFacts.h"

#include "recovery/carving/formats/MP3FrameWalk.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel::MP3MediaFacts {

namespace {

constexpr std::uint64_t id3v2HeaderBytes = 10;
constexpr std::uint64_t id3v1Bytes = MP3FrameWalk::id3v1Bytes;
constexpr std::uint64_t vbriAt = 4 + 32;
constexpr std::uint32_t xingFramesFlag = 1;
// Enough of the first frame for its headers; the largest frame is 2,880 bytes.
constexpr std::uint64_t firstFrameBytes = 4096;

std::uint64_t xingAt(const MP3FrameWalk::FrameHeader& frame) {
    const std::uint64_t sideInformation = frame.version == 3 ? (frame.mono ? 17 : 32) : (frame.mono ? 9 : 17);
    return MP3FrameWalk::frameHeaderBytes + (frame.protectedByChecksum ? 2 : 0) + sideInformation;
}

// The frame count a Xing, Info or VBRI header in the first frame states.
std::optional<std::uint64_t> statedFrames(ByteView frameBytes, const MP3FrameWalk::FrameHeader& frame) {
    const auto xing = static_cast<std::int64_t>(xingAt(frame));
    if (FieldReader::matches(frameBytes, xing, "Xing") || FieldReader::matches(frameBytes, xing, "Info")) {
        if ((FieldReader::u32be(frameBytes, xing + 4) & xingFramesFlag) == 0) return std::nullopt;
        if (!fitsWithin(static_cast<std::uint64_t>(xing) + 8, 4, frameBytes.size())) return std::nullopt;
        return FieldReader::u32be(frameBytes, xing + 8);
    }
    if (FieldReader::matches(frameBytes, static_cast<std::int64_t>(vbriAt), "VBRI") && fitsWithin(vbriAt + 14, 4, frameBytes.size()))
        return FieldReader::u32be(frameBytes, static_cast<std::int64_t>(vbriAt + 14));
    return std::nullopt;
}

bool hasInfoHeader(ByteView frameBytes, const MP3FrameWalk::FrameHeader& frame) {
    const auto xing = static_cast<std::int64_t>(xingAt(frame));
    return FieldReader::matches(frameBytes, xing, "Xing") || FieldReader::matches(frameBytes, xing, "Info") ||
           FieldReader::matches(frameBytes, static_cast<std::int64_t>(vbriAt), "VBRI");
}

} // namespace

std::optional<MediaFacts> read(ByteSource& source) {
    const std::uint64_t length = source.length();
    std::uint64_t start = 0;
    if (length >= id3v2HeaderBytes) {
        const Bytes tag = source.read(0, id3v2HeaderBytes);
        if (const auto tagLength = MP3FrameWalk::id3v2Length(tag)) start = *tagLength;
    }
    if (start >= length) return std::nullopt;
    // The tag's end, the gap after it and the first frame.
    const std::uint64_t window = std::min(length - start, MP3FrameWalk::maxGapBytes + 2 * firstFrameBytes);
    const Bytes bytes = source.read(start, static_cast<std::int64_t>(window));
    for (std::uint64_t at = 0; at <= MP3FrameWalk::maxGapBytes && at + MP3FrameWalk::frameHeaderBytes <= bytes.size(); ++at) {
        const auto frame = MP3FrameWalk::frameHeader(FieldReader::u32be(bytes, static_cast<std::int64_t>(at)));
        if (!frame) continue;
        const ByteView frameBytes = ByteView(bytes).subspan(static_cast<std::size_t>(at));
        // A header by chance in the tag's padding or in other bytes: the next frame is not where it says.
        const auto next = MP3FrameWalk::frameHeader(FieldReader::u32be(frameBytes, static_cast<std::int64_t>(frame->length)));
        if (!hasInfoHeader(frameBytes, *frame) && !(next && next->sameStream(*frame))) continue;

        if (const auto frames = statedFrames(frameBytes, *frame); frames && *frames > 0) {
            const auto duration = millisecondsOf(*frames * frame->samples, frame->sampleRate);
            if (duration) return MediaFacts{duration, false, std::nullopt};
        }
        // No count: the bytes of the frames at the first audio frame's bitrate (the info frame, silent,
        // may state another).
        const MP3FrameWalk::FrameHeader& audio = hasInfoHeader(frameBytes, *frame) && next && next->sameStream(*frame) ? *next : *frame;
        std::uint64_t end = length;
        if (length >= id3v1Bytes) {
            const Bytes trailer = source.read(length - id3v1Bytes, 3);
            if (FieldReader::matches(trailer, 0, "TAG")) end = length - id3v1Bytes;
        }
        const std::uint64_t first = start + at;
        if (end <= first) return std::nullopt;
        const auto bits = checkedMultiply(end - first, 8);
        if (!bits) return std::nullopt;
        const auto duration = millisecondsOf(*bits, audio.bitrate);
        if (!duration) return std::nullopt;
        return MediaFacts{duration, true, std::nullopt};
    }
    return std::nullopt;
}

} // namespace vantrel::MP3MediaFacts
