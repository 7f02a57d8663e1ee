#pragma once
// The coded pictures behind the primary image of a HEIF file (HEIC or AVIF): the meta box's item
// information, locations, references and properties, read without trusting any count or length. The
// validator decodes each of them with its codec itself, so that what the codec says about a damaged
// stream is heard, and checks their locations against the bytes it has.
//
// Format: ISO/IEC 14496-12 (boxes: size, type, a 64-bit size when size is 1, to the end when 0) and
// ISO/IEC 23008-12 (the meta box and its pitm, iinf/infe, iloc, iref/dimg, iprp/ipco/ipma and ispe).

#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel::HeifItems {

enum class Codec : std::uint8_t { hevc, av1 };

struct Extent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// One coded picture: its codec, the decoder configuration (the hvcC or av1C box's payload) and where
// its data lies in the file. Extents may lie past the bytes read.
struct CodedItem {
    Codec codec = Codec::hevc;
    ByteView configuration;
    std::vector<Extent> extents;
};

struct Primary {
    // From the primary item's spatial extent; 0 when it states none.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // The primary picture itself, or the tiles of a grid, in the grid's order.
    std::vector<CodedItem> items;
};

// Nothing when the meta box is missing or runs past the bytes, or the primary image is of a layout
// not read here (a derived image other than a grid, data inside the meta box, another codec).
std::optional<Primary> primary(ByteView bytes);

// Whether every extent of the item lies inside bytes of this size.
bool inside(const CodedItem& item, std::uint64_t size);

} // namespace vantrel::HeifItems
