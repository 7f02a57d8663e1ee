#include "recovery/carving/formats/MP3FrameWalk.h"

#include "base/Bounds.h"


namespace vantrel::MP3FrameWalk {

namespace {

constexpr std::uint64_t id3v2HeaderBytes = 10;
constexpr std::uint64_t id3v2FooterBytes = 10;
constexpr std::uint8_t id3v2FooterFlag = 0x10;

enum Version : std::uint8_t { mpeg25 = 0, mpeg2 = 2, mpeg1 = 3 };
enum Layer : std::uint8_t { layer3 = 1, layer2 = 2, layer1 = 3 };

// Kilobits per second by bitrate index 1 to 14.
constexpr std::uint16_t mpeg1Layer1Rates[14] = {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
constexpr std::uint16_t mpeg1Layer2Rates[14] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr std::uint16_t mpeg1Layer3Rates[14] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::uint16_t mpeg2Layer1Rates[14] = {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
constexpr std::uint16_t mpeg2Layer23Rates[14] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
// Hertz by sample rate index 0 to 2, for MPEG 1; MPEG 2 halves them and MPEG 2.5 quarters them.
constexpr std::uint32_t mpeg1SampleRates[3] = {44100, 48000, 32000};

} // namespace

std::optional<FrameHeader> frameHeader(std::uint32_t header) {
    if ((header >> 21) != 0x7FF) return std::nullopt;
    FrameHeader frame;
    frame.version = (header >> 19) & 3;
    frame.layer = (header >> 17) & 3;
    const std::uint32_t bitrateIndex = (header >> 12) & 15;
    frame.sampleRateIndex = (header >> 10) & 3;
    const std::uint32_t padding = (header >> 9) & 1;
    if (frame.version == 1 || frame.layer == 0) return std::nullopt;
    // A free-format frame's length is not in its header; index 15 is not allowed.
    if (bitrateIndex == 0 || bitrateIndex == 15) return std::nullopt;
    if (frame.sampleRateIndex == 3 || (header & 3) == 2) return std::nullopt;

    const bool isMPEG1 = frame.version == mpeg1;
    const std::uint16_t* rates = isMPEG1 ? (frame.layer == layer1   ? mpeg1Layer1Rates
                                          : frame.layer == layer2 ? mpeg1Layer2Rates
                                                                  : mpeg1Layer3Rates)
                                       : (frame.layer == layer1 ? mpeg2Layer1Rates : mpeg2Layer23Rates);
    frame.bitrate = std::uint32_t{rates[bitrateIndex - 1]} * 1000;
    frame.sampleRate = mpeg1SampleRates[frame.sampleRateIndex] >> (isMPEG1 ? 0 : frame.version == mpeg2 ? 1 : 2);
    if (frame.layer == layer1) {
        frame.length = (12 * std::uint64_t{frame.bitrate} / frame.sampleRate + padding) * 4;
        frame.samples = 384;
    } else {
        const std::uint64_t factor = frame.layer == layer3 && !isMPEG1 ? 72 : 144;
        frame.length = factor * frame.bitrate / frame.sampleRate + padding;
        frame.samples = frame.layer == layer3 && !isMPEG1 ? 576 : 1152;
    }
    frame.mono = ((header >> 6) & 3) == 3;
    frame.protectedByChecksum = ((header >> 16) & 1) == 0;
    return frame;
}

std::optional<std::uint64_t> id3v2Length(ByteView bytes) {
    if (bytes.size() < id3v2HeaderBytes || !FieldReader::matches(bytes, 0, "ID3")) return std::nullopt;
    const std::uint8_t major = FieldReader::u8(bytes, 3);
    if (major < 2 || major > 4 || FieldReader::u8(bytes, 4) == 0xFF) return std::nullopt;
    // The flags each version defines: 2.2 unsynchronisation and compression; 2.3 adds the extended header
    // and experimental flags in place of compression; 2.4 adds the footer.
    const std::uint8_t undefinedFlags = major == 2 ? 0x3F : major == 3 ? 0x1F : 0x0F;
    if ((FieldReader::u8(bytes, 5) & undefinedFlags) != 0) return std::nullopt;
    const std::uint32_t field = FieldReader::u32be(bytes, 6);
    if ((field & 0x80808080u) != 0) return std::nullopt;
    const std::uint64_t size =
        ((field >> 3) & 0x0FE00000u) | ((field >> 2) & 0x001FC000u) | ((field >> 1) & 0x00003F80u) | (field & 0x7Fu);
    const bool footer = major == 4 && (FieldReader::u8(bytes, 5) & id3v2FooterFlag) != 0;
    return id3v2HeaderBytes + size + (footer ? id3v2FooterBytes : 0);
}

namespace {

// The run of frames of one stream that starts at pos.
FrameRun frameRun(CandidateCursor& cursor, std::uint64_t pos) {
    FrameRun run;
    run.start = pos;
    // Every frame takes at least one byte, and the cursor ends at its limit.
    for (;;) {
        std::uint8_t bytes[frameHeaderBytes];
        if (!cursor.copy(pos, frameHeaderBytes, bytes)) {
            run.cut = pos < cursor.limit() && cursor.byteAt(pos).has_value();
            break;
        }
        const auto frame = frameHeader(FieldReader::u32be(ByteView(bytes, frameHeaderBytes), 0));
        if (!frame || (run.frames > 0 && !frame->sameStream(run.first))) break;
        if (!fitsWithin(pos, frame->length, cursor.limit())) {
            run.cut = true;
            break;
        }
        if (run.frames == 0) run.first = *frame;
        pos += frame->length;
        ++run.frames;
    }
    run.end = pos;
    return run;
}

} // namespace

std::optional<FrameRun> firstRun(CandidateCursor& cursor, std::uint64_t from, std::uint64_t frames) {
    for (std::uint64_t start = from; start - from <= maxGapBytes; ++start) {
        std::uint8_t sync[2];
        if (!cursor.copy(start, sizeof sync, sync)) break;
        if (sync[0] != 0xFF || (sync[1] & 0xE0) != 0xE0) continue;
        const FrameRun run = frameRun(cursor, start);
        if (run.frames >= frames) return run;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> walk(CandidateCursor& cursor) {
    std::uint8_t tagHeader[id3v2HeaderBytes];
    if (!cursor.copy(0, id3v2HeaderBytes, tagHeader)) return std::nullopt;
    const auto tagLength = id3v2Length(ByteView(tagHeader, id3v2HeaderBytes));
    if (!tagLength || *tagLength > cursor.limit()) return std::nullopt;

    // The frames start where the tag ends, or a little later behind padding the tag's size leaves out.
    const auto run = firstRun(cursor, *tagLength);
    if (!run) return std::nullopt;

    std::uint64_t pos = run->end;
    std::uint8_t trailer[3];
    if (fitsWithin(pos, id3v1Bytes, cursor.limit()) && cursor.copy(pos, sizeof trailer, trailer) &&
        FieldReader::matches(ByteView(trailer, sizeof trailer), 0, "TAG"))
        pos += id3v1Bytes;
    return pos;
}

} // namespace vantrel::MP3FrameWalk
