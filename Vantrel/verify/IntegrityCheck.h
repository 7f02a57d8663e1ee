#pragma once
// The file-level checks that turn the bytes of a found file into a verdict. Each decoder says whether
// the bytes decode cleanly, run out before the file's end (cut) or hold bad data; the verdict follows
// from that, from the picture's header and from whether the bytes were cut at the probe size cap.
//
// The decoders run on bytes from damaged or hostile media: call these only inside the verifying child
// process, which runs under memory, CPU and wall-clock limits.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"
#include "recovery/model/RecoveredHit.h"

namespace vantrel::IntegrityCheck {

enum class Decode : std::uint8_t { clean, cut, bad };

// Bytes below which a JPEG without a readable frame header is taken for a fragment.
inline constexpr std::size_t minUnframedJPEGBytes = 4096;
// A PDF's end marker lies within this many bytes of its end.
inline constexpr std::size_t pdfEndWindowBytes = 1024;

// Through libjpeg-turbo, at an eighth of the size: its "premature end" warning tells a cut stream from
// corrupt data.
Decode decodeJPEG(ByteView bytes);

// A JPEG: fragments too small for their picture fail; a stream that does not decode is never ok; one
// that is cut is ok only when the bytes were cut at the cap.
HitIntegrity jpeg(ByteView bytes, bool cutAtCap);

// Every picture kind but JPEG: PNG, GIF, BMP, WebP and TIFF through Qt's image reader, HEIC and AVIF
// through libheif, camera raws through libraw, with the format's end structure required inside the
// bytes unless they were cut at the cap.
HitIntegrity image(RecoveredFileKind kind, ByteView bytes, bool cutAtCap);

// A PDF through poppler: one that is locked, or that opens only by repair (no end marker near its
// end) while not cut at the cap, is suspect.
HitIntegrity pdf(ByteView bytes, bool cutAtCap);

// The validator of the kind; `skipped` for kinds without one, without looking at the bytes.
HitIntegrity verdict(RecoveredFileKind kind, ByteView bytes, bool cutAtCap);

// Whether a kind has a validator: the pictures and PDF.
bool isCheckable(RecoveredFileKind kind);

} // namespace vantrel::IntegrityCheck
