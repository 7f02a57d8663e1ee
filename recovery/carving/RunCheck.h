#pragma once
// Whether a run of device bytes holds one whole file of its kind, by what the file's own structure says:
// the check the directory walks make of a deleted file whose clusters are one run only by assumption.
// A kind is checked here when its structure says so cheaply; the rest are unknown.

#include "recovery/carving/formats/JPEGScanWalk.h"
#include "recovery/filesystems/PictureSniffer.h"

namespace vantrel::RunCheck {

// Runs longer than this are not read for a check (unknown).
inline constexpr std::uint64_t maxCheckedBytes = std::uint64_t{512} << 20;
// The run is read in pieces of this size.
inline constexpr std::uint64_t readPieceBytes = std::uint64_t{1} << 20;

// JPEG: a run whose last bytes are the end-of-image marker is taken as whole unless thorough asks (the
// entropy-coded data holds no such marker, so clusters of another file inside the run would have moved the
// run's end off it); otherwise whole when its markers and its scans' Huffman data run to EOI with the
// frame filled (a progressive picture: its markers alone), broken when not. A failed read throws.
// Other kinds: RunStructureCheck, which reads across the run's cluster boundaries of clusterBytes.
RunVerdict verdict(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset, std::uint64_t length,
                   std::uint64_t clusterBytes, bool thorough);

// The bytes of the source from offset on, up to limit of them, read in pieces of readPieceBytes for the JPEG
// walks. A failed read throws, or when badSpotsEnd and the spot is a bad one, ends the bytes there.
JPEGScanWalk::ByteFeed sourceFeed(ByteSource& source, std::uint64_t offset, std::uint64_t limit, bool badSpotsEnd);

} // namespace vantrel::RunCheck
