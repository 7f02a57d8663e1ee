#pragma once
// Whether bytes that begin with "fLaC" begin a FLAC stream: the marker, then the STREAMINFO block that
// every stream must open with (FLAC format, "METADATA_BLOCK_HEADER" and "METADATA_BLOCK_STREAMINFO"),
// big-endian:
//   0  "fLaC" (4)
//   4  1 bit last-metadata-block flag, 7 bits block type: 0 (STREAMINFO)
//   5  block length (3): 34
//   8  minimum block size in samples (2): 16 or more
//  10  maximum block size in samples (2): from the minimum to 65,535
//  12  minimum frame size (3), 15 maximum frame size (3): 0 when unknown; when both are known the
//      minimum is not above the maximum
//  18  sample rate (20 bits): 1 to 655,350 Hz; channels - 1 (3 bits); bits per sample - 1 (5 bits):
//      4 to 32 bits; total samples (36 bits)
//  26  MD5 signature of the audio (16)

#include "recovery/bytesource/FieldReaders.h"

#include <cstddef>

namespace vantrel::FLACStreamInfo {

// The marker, the block header and the STREAMINFO block.
inline constexpr std::size_t headerBytes = 42;

// Whether the bytes open with the marker and a sound STREAMINFO block; false when fewer than
// headerBytes are given.
bool looksValid(ByteView bytes);

} // namespace vantrel::FLACStreamInfo
