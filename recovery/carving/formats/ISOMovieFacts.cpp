#include "recovery/carving/formats/ISOMovieFacts.h"

#include "base/Bounds.h"

#include <algorithm>
#include <functional>
#include <string_view>

namespace vantrel::ISOMovieFacts {

namespace {

constexpr std::uint64_t boxHeaderBytes = 8;
constexpr std::uint64_t largeBoxHeaderBytes = 16;
constexpr std::uint32_t unknownDuration32 = 0xFFFFFFFFu;
constexpr std::uint64_t unknownDuration64 = ~0ULL;
// Picture sides above this are a damaged header: no camera films that large.
constexpr std::int64_t maxPictureSide = 32'768;

struct Box {
    std::string_view type;
    std::uint64_t contentStart = 0;  // from the start of the bytes walked
    std::uint64_t contentLength = 0;
};

// The box at position in bytes, its contents clipped to the bytes; nothing when no sound header is there.
std::optional<Box> boxAt(ByteView bytes, std::uint64_t position) {
    if (!fitsWithin(position, boxHeaderBytes, bytes.size())) return std::nullopt;
    const auto at = static_cast<std::int64_t>(position);
    std::uint64_t size = FieldReader::u32be(bytes, at);
    std::uint64_t header = boxHeaderBytes;
    if (size == 1) {
        if (!fitsWithin(position, largeBoxHeaderBytes, bytes.size())) return std::nullopt;
        size = FieldReader::u64be(bytes, at + 8);
        header = largeBoxHeaderBytes;
    } else if (size == 0) {
        size = bytes.size() - position;
    }
    if (size < header) return std::nullopt;
    const auto type = std::string_view(reinterpret_cast<const char*>(bytes.data() + position + 4), 4);
    const std::uint64_t available = bytes.size() - position;
    return Box{type, position + header, std::min(size, available) - header};
}

// Calls visit for each box in bytes, at most maxInnerBoxes in all (the count is shared by the levels);
// visit returns false to stop the walk.
void eachBox(ByteView bytes, int& budget, const std::function<bool(const Box&)>& visit) {
    std::uint64_t position = 0;
    while (budget > 0) {
        --budget;
        const auto box = boxAt(bytes, position);
        if (!box || !visit(*box)) return;
        // Every box takes at least its header, so the walk moves forward.
        position = box->contentStart + box->contentLength;
    }
}

ByteView contentsOf(ByteView bytes, const Box& box) {
    return bytes.subspan(static_cast<std::size_t>(box.contentStart), static_cast<std::size_t>(box.contentLength));
}

std::optional<std::uint64_t> movieDuration(ByteView mvhd) {
    const std::uint8_t version = FieldReader::u8(mvhd, 0);
    std::uint32_t timescale = 0;
    std::uint64_t duration = 0;
    if (version == 0) {
        if (mvhd.size() < 20) return std::nullopt;
        timescale = FieldReader::u32be(mvhd, 12);
        const std::uint32_t stated = FieldReader::u32be(mvhd, 16);
        if (stated == unknownDuration32) return std::nullopt;
        duration = stated;
    } else if (version == 1) {
        if (mvhd.size() < 32) return std::nullopt;
        timescale = FieldReader::u32be(mvhd, 20);
        duration = FieldReader::u64be(mvhd, 24);
        if (duration == unknownDuration64) return std::nullopt;
    } else {
        return std::nullopt;
    }
    // A movie still being recorded states 0 (its fragments carry the time).
    if (duration == 0) return std::nullopt;
    return millisecondsOf(duration, timescale);
}

std::optional<ImageDimensions> trackSize(ByteView tkhd) {
    const std::uint8_t version = FieldReader::u8(tkhd, 0);
    if (version > 1) return std::nullopt;
    const std::int64_t matrix = version == 0 ? 40 : 52;
    const std::int64_t sizeAt = matrix + 36;
    if (!fitsWithin(static_cast<std::uint64_t>(sizeAt), 8, tkhd.size())) return std::nullopt;
    std::int64_t width = FieldReader::u32be(tkhd, sizeAt) >> 16;
    std::int64_t height = FieldReader::u32be(tkhd, sizeAt + 4) >> 16;
    if (width < 1 || height < 1 || width > maxPictureSide || height > maxPictureSide) return std::nullopt;
    // A quarter turn has a = d = 0 and b, c non-zero: the picture is shown on its side.
    const std::uint32_t a = FieldReader::u32be(tkhd, matrix);
    const std::uint32_t b = FieldReader::u32be(tkhd, matrix + 4);
    if (a == 0 && b != 0) std::swap(width, height);
    return ImageDimensions{width, height};
}

bool isVideoTrack(ByteView trak, int& budget) {
    bool video = false;
    eachBox(trak, budget, [&](const Box& box) {
        if (box.type != "mdia") return true;
        eachBox(contentsOf(trak, box), budget, [&](const Box& inner) {
            if (inner.type != "hdlr") return true;
            video = FieldReader::matches(contentsOf(contentsOf(trak, box), inner), 8, "vide");
            return false;
        });
        return false;
    });
    return video;
}

} // namespace

MediaFacts fromMovieBox(ByteView contents) {
    MediaFacts facts;
    int budget = maxInnerBoxes;
    eachBox(contents, budget, [&](const Box& box) {
        const ByteView body = contentsOf(contents, box);
        if (box.type == "mvhd" && !facts.durationMilliseconds) {
            facts.durationMilliseconds = movieDuration(body);
        } else if (box.type == "trak" && !facts.pictureSize && isVideoTrack(body, budget)) {
            eachBox(body, budget, [&](const Box& inner) {
                if (inner.type != "tkhd") return true;
                facts.pictureSize = trackSize(contentsOf(body, inner));
                return false;
            });
        }
        return true;
    });
    return facts;
}

std::optional<MediaFacts> read(ByteSource& source) {
    const std::uint64_t length = source.length();
    std::uint64_t position = 0;
    Bytes scratch;
    for (int box = 0; box < maxTopBoxes; ++box) {
        if (!fitsWithin(position, boxHeaderBytes, length)) return std::nullopt;
        source.readInto(position, static_cast<std::int64_t>(std::min(largeBoxHeaderBytes, length - position)), scratch);
        // The header alone, as if its box were empty: its size and type are what is looked at.
        std::uint64_t size = FieldReader::u32be(scratch, 0);
        std::uint64_t header = boxHeaderBytes;
        if (size == 1) {
            if (scratch.size() < largeBoxHeaderBytes) return std::nullopt;
            size = FieldReader::u64be(scratch, 8);
            header = largeBoxHeaderBytes;
        } else if (size == 0) {
            size = length - position;
        }
        if (size < header) return std::nullopt;
        if (FieldReader::matches(scratch, 4, "moov")) {
            // A cut file holds only the start of its movie box: its headers come first.
            const std::uint64_t held = std::min({size - header, length - position - header, maxMovieBoxBytes});
            const Bytes contents = source.read(position + header, static_cast<std::int64_t>(held));
            return fromMovieBox(contents);
        }
        const auto next = checkedAdd(position, size);
        if (!next) return std::nullopt;
        position = *next;
    }
    return std::nullopt;
}

} // namespace vantrel::ISOMovieFacts
