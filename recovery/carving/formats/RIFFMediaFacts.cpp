#include "recovery/carving/formats/RIFFMediaFacts.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel::RIFFMediaFacts {

namespace {

constexpr std::uint64_t riffHeaderBytes = 12;
constexpr std::uint64_t chunkHeaderBytes = 8;
constexpr std::uint64_t formatBytes = 16;
constexpr std::uint64_t mainHeaderBytes = 40;
constexpr std::uint16_t pcmFormat = 1;
constexpr std::uint16_t floatFormat = 3;
constexpr std::uint16_t extensibleFormat = 0xFFFE;
// A streaming writer that never went back leaves the largest size in place of the data's size.
constexpr std::uint32_t unknownSize = 0xFFFFFFFFu;
// Picture sides above this are a damaged header: no camera films that large.
constexpr std::uint32_t maxPictureSide = 32'768;

std::optional<MediaFacts> wave(ByteSource& source) {
    const std::uint64_t length = source.length();
    std::optional<Bytes> format;
    std::optional<std::uint32_t> factSamples;
    std::uint64_t position = riffHeaderBytes;
    Bytes header;
    for (int chunk = 0; chunk < maxChunks && fitsWithin(position, chunkHeaderBytes, length); ++chunk) {
        source.readInto(position, chunkHeaderBytes, header);
        const std::uint32_t size = FieldReader::u32le(header, 4);
        const std::uint64_t contents = position + chunkHeaderBytes;
        if (FieldReader::matches(header, 0, "fmt ")) {
            if (size < formatBytes || !fitsWithin(contents, formatBytes, length)) return std::nullopt;
            format = source.read(contents, formatBytes);
        } else if (FieldReader::matches(header, 0, "fact") && size >= 4 && fitsWithin(contents, 4, length)) {
            factSamples = FieldReader::u32le(source.read(contents, 4), 0);
        } else if (FieldReader::matches(header, 0, "data")) {
            if (!format) return std::nullopt;
            const std::uint16_t tag = FieldReader::u16le(*format, 0);
            const std::uint32_t bytesPerSecond = FieldReader::u32le(*format, 8);
            // The size as stated when it is, else the samples the source holds.
            const std::uint64_t dataBytes = size == 0 || size == unknownSize ? length - contents : size;
            const auto duration = millisecondsOf(dataBytes, bytesPerSecond);
            if (!duration) return std::nullopt;
            const bool counted = tag == pcmFormat || tag == floatFormat || tag == extensibleFormat;
            // A compressed sound counts its samples in the fact chunk; its average rate is a guess.
            if (!counted && factSamples && *factSamples > 0) {
                if (const auto exact = millisecondsOf(*factSamples, FieldReader::u32le(*format, 4)))
                    return MediaFacts{exact, false, std::nullopt};
            }
            return MediaFacts{duration, !counted, std::nullopt};
        }
        // Chunks are padded to an even length.
        position = contents + size + (size & 1u);
    }
    return std::nullopt;
}

std::optional<MediaFacts> avi(ByteSource& source) {
    const std::uint64_t length = source.length();
    std::uint64_t position = riffHeaderBytes;
    Bytes header;
    for (int chunk = 0; chunk < maxChunks && fitsWithin(position, chunkHeaderBytes + 4, length); ++chunk) {
        source.readInto(position, chunkHeaderBytes + 4, header);
        const std::uint32_t size = FieldReader::u32le(header, 4);
        if (FieldReader::matches(header, 0, "LIST") && FieldReader::matches(header, 8, "hdrl") && size >= 4) {
            const std::uint64_t listStart = position + chunkHeaderBytes + 4;
            const std::uint64_t held = std::min<std::uint64_t>({size - 4u, length - listStart, maxHeaderListBytes});
            const Bytes list = source.read(listStart, static_cast<std::int64_t>(held));
            // avih opens the list; it is looked for among the list's first chunks all the same.
            std::uint64_t at = 0;
            for (int inner = 0; inner < maxChunks && fitsWithin(at, chunkHeaderBytes, list.size()); ++inner) {
                const auto i = static_cast<std::int64_t>(at);
                const std::uint32_t innerSize = FieldReader::u32le(list, i + 4);
                if (FieldReader::matches(list, i, "avih")) {
                    if (innerSize < mainHeaderBytes || !fitsWithin(at + chunkHeaderBytes, mainHeaderBytes, list.size()))
                        return std::nullopt;
                    const std::int64_t main = i + static_cast<std::int64_t>(chunkHeaderBytes);
                    const std::uint64_t microsecondsPerFrame = FieldReader::u32le(list, main);
                    const std::uint64_t frames = FieldReader::u32le(list, main + 16);
                    const std::uint32_t width = FieldReader::u32le(list, main + 32);
                    const std::uint32_t height = FieldReader::u32le(list, main + 36);
                    MediaFacts facts;
                    if (frames > 0 && microsecondsPerFrame > 0)
                        facts.durationMilliseconds = millisecondsOf(frames * microsecondsPerFrame, 1'000'000);
                    if (width > 0 && height > 0 && width <= maxPictureSide && height <= maxPictureSide)
                        facts.pictureSize = ImageDimensions{width, height};
                    return facts;
                }
                at += chunkHeaderBytes + innerSize + (innerSize & 1u);
            }
            return std::nullopt;
        }
        position += chunkHeaderBytes + size + (size & 1u);
    }
    return std::nullopt;
}

} // namespace

std::optional<MediaFacts> read(ByteSource& source) {
    if (source.length() < riffHeaderBytes) return std::nullopt;
    const Bytes header = source.read(0, riffHeaderBytes);
    if (!FieldReader::matches(header, 0, "RIFF")) return std::nullopt;
    if (FieldReader::matches(header, 8, "WAVE")) return wave(source);
    if (FieldReader::matches(header, 8, "AVI ")) return avi(source);
    return std::nullopt;
}

} // namespace vantrel::RIFFMediaFacts
