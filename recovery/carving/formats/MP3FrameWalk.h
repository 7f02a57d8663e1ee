#pragma once
// The length of an MP3 file that starts with an ID3v2 tag: the tag, then the MPEG audio frames, each
// found where the one before ends, then an ID3v1 tag when one follows the last frame.
//
// ID3v2 header (ID3 tag version 2.4.0, main structure, section 3.1; versions 2.2 and 2.3 share it):
//   0 "ID3" (3)
//   3 major version (1): 2, 3 or 4;  4 revision (1): below FF
//   5 flags (1): the bits a version does not define are clear (2.2: 0x3F, 2.3: 0x1F, 2.4: 0x0F); bit 4, in
//     version 4 only, says a 10-byte footer follows the tag
//   6 size (4): synchsafe (7 bits a byte, most significant first, every top bit clear); the bytes after
//     this 10-byte header, the footer not counted
// MPEG audio frame header (ISO/IEC 11172-3 and 13818-3, with the MPEG 2.5 extension), 32 bits big-endian:
//   bits 31-21 frame sync, all set
//   20-19 version: 0 MPEG 2.5, 1 reserved, 2 MPEG 2, 3 MPEG 1
//   18-17 layer: 0 reserved, 1 layer III, 2 layer II, 3 layer I
//   16 protection (no CRC when set)
//   15-12 bitrate index: 0 free format, 15 not allowed, otherwise a rate from the version's and layer's table
//   11-10 sample rate index: 3 reserved
//   9 padding: one slot more (4 bytes in layer I, 1 byte otherwise)
//   8 private; 7-6 channel mode; 5-4 mode extension; 3 copyright; 2 original; 1-0 emphasis (2 reserved)
// Frame length in bytes: layer I (12 × bitrate / sample rate + padding) × 4; layer II, and layer III of
// MPEG 1, 144 × bitrate / sample rate + padding; layer III of MPEG 2 and 2.5, 72 × bitrate / sample rate
// + padding (bitrate in bits per second, the quotient rounded down).
// ID3v1 tag: "TAG" and 125 bytes more.

#include "recovery/carving/CandidateCursor.h"

#include <cstdint>
#include <optional>

namespace vantrel::MP3FrameWalk {

inline constexpr std::uint64_t chunkBytes = 0x40000;
// Frames in a row, of one version, layer and sample rate, that show the bytes after the tag are MPEG
// audio and not chance bytes that pass for a frame header.
inline constexpr std::uint64_t minimumFrames = 4;
inline constexpr std::uint64_t id3v1Bytes = 128;
// How far past the tag's stated end the frames may start (padding that some writers leave out of the
// tag's size).
inline constexpr std::uint64_t maxGapBytes = 4096;

// What a frame header says, for a frame the walk follows (not free-format, no reserved field).
struct FrameHeader {
    std::uint8_t version = 0;          // 0 MPEG 2.5, 2 MPEG 2, 3 MPEG 1
    std::uint8_t layer = 0;            // 1 layer III, 2 layer II, 3 layer I
    std::uint8_t sampleRateIndex = 0;
    std::uint32_t bitrate = 0;         // bits a second
    std::uint32_t sampleRate = 0;      // Hz
    std::uint64_t length = 0;          // bytes, the header included
    std::uint32_t samples = 0;         // samples a channel the frame holds
    bool mono = false;                 // channel mode 3
    bool protectedByChecksum = false;  // a 16-bit CRC follows the header

    bool sameStream(const FrameHeader& other) const {
        return version == other.version && layer == other.layer && sampleRateIndex == other.sampleRateIndex;
    }
};
inline constexpr std::uint64_t frameHeaderBytes = 4;
// The frame a 32-bit header (big-endian, as read) describes; nothing for a header the walk stops at.
std::optional<FrameHeader> frameHeader(std::uint32_t header);

// The ID3v2 tag's length with its header and footer, or nothing when the bytes do not start with a
// sound ID3v2 header.
std::optional<std::uint64_t> id3v2Length(ByteView bytes);

// A run of frames of one stream, each where the one before ends.
struct FrameRun {
    std::uint64_t start = 0;   // the first frame's header
    std::uint64_t end = 0;     // where the last whole frame ends
    std::uint64_t frames = 0;
    bool cut = false;          // it stopped at a frame (or header) that the cursor's limit cuts
    FrameHeader first;
};

// The first run of at least `frames` frames that starts at from or at most maxGapBytes after it. A
// failed read throws.
std::optional<FrameRun> firstRun(CandidateCursor& cursor, std::uint64_t from, std::uint64_t frames = minimumFrames);

// The length of the tag, the frames and a trailing ID3v1 tag, or nothing when the tag is not sound or
// no run of minimumFrames frames that agree starts at its end or within maxGapBytes after it. The frames end at the first header that is
// free-format, not allowed, of another version, layer or sample rate, or whose frame runs past the
// cursor's limit. A failed read throws.
std::optional<std::uint64_t> walk(CandidateCursor& cursor);

} // namespace vantrel::MP3FrameWalk
