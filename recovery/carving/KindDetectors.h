#pragma once
// Precise kinds for the signature rows that stand for a family of formats sharing one header: TIFF
// (plain TIFF, Nikon NEF, Sony ARW), ZIP (the Office Open XML documents) and the ISO base media
// "ftyp" box (HEIF, AVIF, Canon CR3, QuickTime, MPEG-4 audio and video). Each detector is a pure
// function over a buffer that begins at the candidate file's first byte and always gives a kind:
// malformed bytes give the family's plain kind.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

namespace vantrel {

namespace TIFFKindDetector {
// nef or arw by the first directory's Make (case-insensitive), else by the bytes "NIKON" or "SONY" in
// the first 8 KiB; otherwise tiff.
RecoveredFileKind refine(ByteView buffer);
} // namespace TIFFKindDetector

namespace OfficeKindDetector {
// docx, xlsx or pptx when the first 16 KiB name a part under "word/", "xl/" or "ppt/" (in that order
// of precedence); otherwise zip.
RecoveredFileKind refineZipKind(ByteView buffer);
} // namespace OfficeKindDetector

namespace FtypKindDetector {
// The kind named by the brands of an "ftyp" box starting at the buffer's first byte. A major brand
// that names a kind decides, unless it is a generic HEIF brand (mif1, msf1); otherwise the first of
// heic, avif, cr3, m4a, mov that any brand names, where mif1 and msf1 count as heic only when no AVIF
// brand is listed. Compatible brands are read within the box and its first 64 bytes. mp4 otherwise.
RecoveredFileKind refine(ByteView buffer);
} // namespace FtypKindDetector

} // namespace vantrel
