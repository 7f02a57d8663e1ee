#include "recovery/carving/formats/ISOBoxWalk.h"

#include "base/Bounds.h"

namespace vantrel::ISOBoxWalk {

namespace {

constexpr std::uint64_t boxHeaderBytes = 8;
constexpr std::uint64_t largeBoxHeaderBytes = 16;

bool isType(ByteView header, std::string_view type) { return FieldReader::matches(header, 4, type); }

// A plausible box type: four printable ASCII characters.
bool isPlainType(ByteView header) {
    for (std::int64_t i = 4; i < 8; ++i) {
        const std::uint8_t byte = FieldReader::u8(header, i);
        if (byte < 0x20 || byte > 0x7E) return false;
    }
    return true;
}

} // namespace

std::optional<std::uint64_t> walk(CandidateReader& reader, std::uint64_t offset, std::uint64_t available) {
    Bytes scratch;
    bool sawMoov = false;
    bool sawMdat = false;
    bool metaSeen = false;
    // The end at a position where the walk stops without a contradiction.
    const auto endAt = [&](std::uint64_t position) -> std::optional<std::uint64_t> {
        if ((sawMoov && sawMdat) || metaSeen) return position;
        return std::nullopt;
    };
    std::uint64_t position = 0;
    for (int box = 0; box < maxBoxes; ++box) {
        if (!fitsWithin(position, boxHeaderBytes, available)) return endAt(position);
        const ByteView header = reader.read(offset + position, largeBoxHeaderBytes, scratch);
        if (header.size() < boxHeaderBytes) return endAt(position);
        std::uint64_t size = FieldReader::u32be(header, 0);
        if (size == 1) {
            if (header.size() < largeBoxHeaderBytes) return std::nullopt;
            size = FieldReader::u64be(header, 8);
        }
        const bool isMoov = isType(header, "moov");
        const bool isMdat = isType(header, "mdat");
        const bool meta = metaSeen || isType(header, "meta");
        if (size == 0) {
            // The box runs to the end of the file; the box itself counts (an mdat of size 0 after a moov
            // completes a movie).
            const bool moov = sawMoov || isMoov;
            const bool mdat = sawMdat || isMdat;
            if ((moov && mdat) || (meta && (!moov || mdat))) return available;
            return std::nullopt;
        }
        if (size < boxHeaderBytes) return std::nullopt;
        sawMoov = sawMoov || isMoov;
        sawMdat = sawMdat || isMdat;
        // A 64-bit size may be anything; a box that runs past the device's end ends the file there.
        const auto next = checkedAdd(position, size);
        if (!next || *next > available) {
            if ((sawMoov && sawMdat) || (meta && sawMdat)) return available;
            return std::nullopt;
        }
        position = *next;
        if (sawMoov) {
            metaSeen = meta;
            if (sawMdat) return position;
            continue;
        }
        if (!meta) continue;
        // A meta box and no moov: a picture. It ends at its mdat, or where the boxes stop looking like boxes.
        if (sawMdat) return position;
        if (!fitsWithin(position, boxHeaderBytes, available)) return position;
        const ByteView look = reader.read(offset + position, boxHeaderBytes, scratch);
        if (look.size() < boxHeaderBytes || FieldReader::u32be(look, 0) < boxHeaderBytes || !isPlainType(look))
            return position;
        metaSeen = true;
    }
    return endAt(position);
}

} // namespace vantrel::ISOBoxWalk
