#pragma once
// When a picture was taken: EXIF DateTimeOriginal, then DateTimeDigitized, then DateTime, each with
// its offset from universal time when the file records one.

#include "Vantrel/verify/CaptureStamp.h"

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

namespace vantrel {
namespace CaptureDate {

// The stamp of a picture's bytes: the EXIF block through the bounded TIFF reader for JPEG, PNG, WebP,
// TIFF and the TIFF-based raws; libheif's EXIF block for HEIC and AVIF; libraw's time for CRW and CR3.
// Decodes: call only in the verifying child process.
std::optional<CaptureStamp> stampFromImageData(RecoveredFileKind kind, ByteView bytes);

} // namespace CaptureDate

// The capture date of a picture's bytes; nothing for other kinds or without a readable date.
std::optional<HitDate> captureDate(RecoveredFileKind kind, ByteView bytes);

} // namespace vantrel
