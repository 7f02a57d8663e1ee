#include "recovery/carving/formats/OggPageWalk.h"

#include "base/Bounds.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vantrel::OggPageWalk {

namespace {

constexpr std::uint64_t headerBytes = 27;
constexpr std::int64_t checksumAt = 22;
constexpr std::uint8_t beginsStream = 0x02;
constexpr std::uint8_t endsStream = 0x04;

// Tables for eight bytes a step: table[0] is the usual table of the polynomial, table[k] gives the
// remainder of a byte followed by k zero bytes.
using ChecksumTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr ChecksumTables makeChecksumTables() {
    ChecksumTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i << 24;
        for (int bit = 0; bit < 8; ++bit) value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
        tables[0][i] = value;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] << 8) ^ tables[0][tables[k - 1][i] >> 24];
    return tables;
}
constexpr ChecksumTables checksumTables = makeChecksumTables();

std::uint32_t addToChecksum(std::uint32_t checksum, ByteView bytes) {
    const auto& t = checksumTables;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        checksum ^= FieldReader::u32be(bytes, static_cast<std::int64_t>(i));
        checksum = t[7][checksum >> 24] ^ t[6][(checksum >> 16) & 0xFF] ^ t[5][(checksum >> 8) & 0xFF] ^
                   t[4][checksum & 0xFF] ^ t[3][bytes[i + 4]] ^ t[2][bytes[i + 5]] ^ t[1][bytes[i + 6]] ^
                   t[0][bytes[i + 7]];
    }
    for (; i < bytes.size(); ++i) checksum = (checksum << 8) ^ t[0][(checksum >> 24) ^ bytes[i]];
    return checksum;
}

// The checksum over [from, to) of the cursor's bytes, which the caller has checked lie before its limit;
// nothing when the device ends first.
std::optional<std::uint32_t> addToChecksum(std::uint32_t checksum, CandidateCursor& cursor, std::uint64_t from,
                                           std::uint64_t to) {
    while (from < to) {
        const ByteView bytes = cursor.from(from);
        if (bytes.empty()) return std::nullopt;
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), to - from));
        checksum = addToChecksum(checksum, bytes.first(take));
        from += take;
    }
    return checksum;
}

struct Stream {
    std::uint32_t serial = 0;
    bool ended = false;
};

} // namespace

std::uint32_t pageChecksum(ByteView page) {
    if (page.size() < headerBytes) return addToChecksum(0, page);
    constexpr std::uint8_t zeros[4] = {};
    std::uint32_t checksum = addToChecksum(0, page.first(static_cast<std::size_t>(checksumAt)));
    checksum = addToChecksum(checksum, ByteView(zeros, 4));
    return addToChecksum(checksum, page.subspan(static_cast<std::size_t>(checksumAt) + 4));
}

bool beginsFile(ByteView bytes) {
    return FieldReader::matches(bytes, 0, "OggS") && FieldReader::u8(bytes, 4) == 0 &&
           (FieldReader::u8(bytes, 5) & beginsStream) != 0;
}

std::optional<std::uint64_t> walk(CandidateCursor& cursor) {
    std::vector<Stream> streams;
    std::size_t open = 0;
    bool beginning = true;  // only beginning-of-stream pages so far
    std::uint8_t header[headerBytes];
    std::uint8_t segments[255];
    // Every page takes at least headerBytes, and the cursor ends at its limit.
    for (std::uint64_t pos = 0;;) {
        if (!cursor.copy(pos, headerBytes, header)) return std::nullopt;
        const ByteView page(header, headerBytes);
        if (!FieldReader::matches(page, 0, "OggS") || page[4] != 0) return std::nullopt;
        const std::uint8_t segmentCount = page[26];
        if (!cursor.copy(pos + headerBytes, segmentCount, segments)) return std::nullopt;
        std::uint64_t pageBytes = headerBytes + segmentCount;
        for (std::size_t i = 0; i < segmentCount; ++i) pageBytes += segments[i];
        if (!fitsWithin(pos, pageBytes, cursor.limit())) return std::nullopt;

        const std::uint32_t stored = FieldReader::u32le(page, checksumAt);
        std::fill_n(header + checksumAt, 4, std::uint8_t{0});
        std::uint32_t checksum = addToChecksum(0, page);
        checksum = addToChecksum(checksum, ByteView(segments, segmentCount));
        const auto whole = addToChecksum(checksum, cursor, pos + headerBytes + segmentCount, pos + pageBytes);
        if (!whole || *whole != stored) return std::nullopt;

        const std::uint8_t type = page[5];
        const std::uint32_t serial = FieldReader::u32le(page, 14);
        auto stream = std::find_if(streams.begin(), streams.end(), [&](const Stream& s) { return s.serial == serial; });
        if (type & beginsStream) {
            // All streams of a file begin before any of them goes on; a serial is used once.
            if (!beginning || stream != streams.end() || streams.size() >= maxStreams) return std::nullopt;
            streams.push_back({serial, false});
            ++open;
            stream = std::prev(streams.end());
        } else {
            beginning = false;
            if (stream == streams.end() || stream->ended) return std::nullopt;
        }
        pos += pageBytes;
        if (type & endsStream) {
            stream->ended = true;
            if (--open == 0) return pos;
        }
    }
}

} // namespace vantrel::OggPageWalk
