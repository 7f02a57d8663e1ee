#pragma once
// The part of a damaged or cut JPEG or PNG that decodes, for the preview: the rows read before the
// data ran out or turned bad, the rest left grey, as libjpeg itself fills what it cannot read.
// References: libjpeg-turbo's libjpeg.txt (scaled decoding, warnings, the extended RGB output
// spaces) and libpng's manual (progressive reading, interlace handling, the transformations).
//
// The decoders run on bytes from damaged or hostile media: call these only inside the verifying child
// process, under its memory and CPU limits.

#include "recovery/bytesource/FieldReaders.h"

#include <QImage>

#include <optional>

namespace vantrel::PartialPicture {

// A decoded picture is never larger than this many bytes (4 per pixel): a header may state any size.
inline constexpr std::uint64_t maxPictureBytes = 256ULL << 20;
// What the decoders leave where they read nothing.
inline constexpr std::uint8_t fillGrey = 0x80;

struct Decoded {
    QImage image;
    // Part of the picture is missing or damaged: the data ran out or held bad data before its last row.
    bool partial = false;
};

// A JPEG, decoded at the smallest of 1/1, 1/2, 1/4 and 1/8 of its size that still fills maxSide
// pixels, as stored (the orientation is not applied). Nothing when not a single row (of a progressive
// picture, not its first scan) decodes. CMYK pictures, which libjpeg does not turn into RGB, go
// through Qt's reader.
std::optional<Decoded> jpeg(ByteView bytes, int maxSide);

// A PNG at full size, 8 bits a channel with alpha, interlaced pictures pass by pass. Nothing when not
// a single row decodes.
std::optional<Decoded> png(ByteView bytes);

} // namespace vantrel::PartialPicture
