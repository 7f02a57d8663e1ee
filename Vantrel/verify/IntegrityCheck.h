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
// The pages of a PDF are drawn at this resolution: enough to read every picture and font they use.
inline constexpr double pdfPageDotsPerInch = 12;
// CPU time spent reading a PDF's pages at most; the pages after it are not read.
inline constexpr double pdfReadBudgetSeconds = 8;

// Through libjpeg-turbo, at an eighth of the size: its "premature end" warning tells a cut stream from
// corrupt data.
Decode decodeJPEG(ByteView bytes);

// A JPEG: fragments too small for their picture fail; a stream that does not decode is never ok; one
// that is cut is ok only when the bytes were cut at the cap, or when all that is missing is the final
// end marker.
HitIntegrity jpeg(ByteView bytes, bool cutAtCap);

// Whether a JPEG that does not end with its end marker has all its scan data: it decodes cleanly with
// the marker put back.
bool completeWithoutEndMarker(ByteView bytes);

// Every picture kind but JPEG: PNG, GIF, BMP, WebP and TIFF through Qt's image reader, HEIC and AVIF
// picture by picture (each tile) through libde265 and libaom, whose complaints about the stream count, camera raws through libraw, with the format's end structure required inside the
// bytes unless they were cut at the cap.
HitIntegrity image(RecoveredFileKind kind, ByteView bytes, bool cutAtCap);

// A PDF through poppler: one that is locked, or about which poppler complains while it opens the
// document and reads every page (text and drawing), is suspect unless the bytes were cut at the cap.
// Bytes after a sound end do not count against it. A compressed stream that does not inflate whole
// (PDFStreamCheck) counts as a complaint.
HitIntegrity pdf(ByteView bytes, bool cutAtCap);

// A ZIP archive through its central directory and every entry's CRC (ZipCheck): bytes that are no
// archive fail; a sound one is ok, as is one cut at the cap with nothing bad before the cut; one cut
// elsewhere or with a bad entry is suspect.
HitIntegrity zip(ByteView bytes, bool cutAtCap);

// An MP3 by its frames: after an ID3v2 tag (when one opens it) MPEG audio frames of one stream follow
// one another to the end, where an ID3v1 or APE tag may close it. No run of frames fails; frames that
// run to the end are ok, or run out at the cap; frames that stop short of the end, or are cut
// elsewhere, are suspect.
HitIntegrity mp3(ByteView bytes, bool cutAtCap);

// The validator of the kind; `skipped` for kinds without one, without looking at the bytes.
HitIntegrity verdict(RecoveredFileKind kind, ByteView bytes, bool cutAtCap);

// Whether a kind has a validator: the pictures, PDF, ZIP and MP3.
bool isCheckable(RecoveredFileKind kind);

} // namespace vantrel::IntegrityCheck
