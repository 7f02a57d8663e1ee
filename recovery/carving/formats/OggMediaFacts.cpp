#include "recovery/carving/formats/OggMediaFacts.h"

#include "recovery/carving/formats/OggPageWalk.h"

#include "base/Bounds.h"

#include <algorithm>

namespace vantrel::OggMediaFacts {

namespace {

constexpr std::uint64_t pageHeaderBytes = 27;
constexpr std::uint8_t beginsStream = 0x02;
constexpr std::uint64_t opusRate = 48'000;
constexpr std::uint64_t noGranule = ~0ULL;

struct Sound {
    std::uint32_t serial = 0;
    std::uint64_t sampleRate = 0;
    std::uint64_t preSkip = 0;
};

struct Page {
    std::uint64_t bodyStart = 0;
    std::uint64_t length = 0;  // header, segment table and body
};

// The page at position in bytes, when its header and segment table lie inside them.
std::optional<Page> pageAt(ByteView bytes, std::uint64_t position) {
    const auto at = static_cast<std::int64_t>(position);
    if (!fitsWithin(position, pageHeaderBytes, bytes.size())) return std::nullopt;
    if (!FieldReader::matches(bytes, at, "OggS") || FieldReader::u8(bytes, at + 4) != 0) return std::nullopt;
    const std::uint8_t segments = FieldReader::u8(bytes, at + 26);
    if (!fitsWithin(position + pageHeaderBytes, segments, bytes.size())) return std::nullopt;
    std::uint64_t body = 0;
    for (std::uint8_t i = 0; i < segments; ++i) body += FieldReader::u8(bytes, at + 27 + i);
    return Page{position + pageHeaderBytes + segments, pageHeaderBytes + segments + body};
}

// The stream a beginning-of-stream page opens, when its first packet is the identification header of
// a sound of the three kinds.
std::optional<Sound> soundOf(ByteView bytes, std::uint64_t position, const Page& page) {
    const auto at = static_cast<std::int64_t>(position);
    const auto body = static_cast<std::int64_t>(page.bodyStart);
    Sound sound{FieldReader::u32le(bytes, at + 14), 0, 0};
    if (FieldReader::u8(bytes, body) == 1 && FieldReader::matches(bytes, body + 1, "vorbis")) {
        sound.sampleRate = FieldReader::u32le(bytes, body + 12);
    } else if (FieldReader::matches(bytes, body, "OpusHead")) {
        sound.sampleRate = opusRate;
        sound.preSkip = FieldReader::u16le(bytes, body + 10);
    } else if (FieldReader::u8(bytes, body) == 0x7F && FieldReader::matches(bytes, body + 1, "FLAC") &&
               FieldReader::matches(bytes, body + 9, "fLaC")) {
        sound.sampleRate = FieldReader::u32be(bytes, body + 13 + 4 + 10) >> 12;
    } else {
        return std::nullopt;
    }
    if (sound.sampleRate == 0) return std::nullopt;
    return sound;
}

} // namespace

std::optional<MediaFacts> read(ByteSource& source) {
    const std::uint64_t length = source.length();
    const Bytes head = source.read(0, static_cast<std::int64_t>(std::min(length, maxHeadBytes)));
    // The beginning-of-stream pages come first, one per stream.
    std::optional<Sound> sound;
    std::uint64_t position = 0;
    for (std::size_t stream = 0; stream < OggPageWalk::maxStreams && !sound; ++stream) {
        const auto page = pageAt(head, position);
        if (!page || (FieldReader::u8(head, static_cast<std::int64_t>(position) + 5) & beginsStream) == 0) break;
        sound = soundOf(head, position, *page);
        position += page->length;
    }
    if (!sound) return std::nullopt;

    const std::uint64_t tailStart = length - std::min(length, maxTailBytes);
    const Bytes tail = source.read(tailStart, static_cast<std::int64_t>(length - tailStart));
    for (std::uint64_t back = tail.size(); back >= pageHeaderBytes; --back) {
        const std::uint64_t at = back - pageHeaderBytes;
        const auto page = pageAt(tail, at);
        if (!page || !fitsWithin(at, page->length, tail.size())) continue;
        const auto field = static_cast<std::int64_t>(at);
        if (FieldReader::u32le(tail, field + 14) != sound->serial) continue;
        const ByteView whole = ByteView(tail).subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(page->length));
        if (OggPageWalk::pageChecksum(whole) != FieldReader::u32le(tail, field + 22)) continue;
        const std::uint64_t granule = FieldReader::u64le(tail, field + 6);
        // A page on which no packet ends has no granule position.
        if (granule == noGranule) continue;
        if (granule <= sound->preSkip) return std::nullopt;
        const auto duration = millisecondsOf(granule - sound->preSkip, sound->sampleRate);
        if (!duration) return std::nullopt;
        return MediaFacts{duration, false, std::nullopt};
    }
    return std::nullopt;
}

} // namespace vantrel::OggMediaFacts
