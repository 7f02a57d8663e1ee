#pragma once
// Whether a ZIP archive's bytes hold it whole: its central directory (PKWARE APPNOTE.TXT, sections
// 4.3.12 and 4.3.16) and, for every entry it lists, the local header where it points and data whose
// CRC-32 is the one recorded, stored entries as they are, deflated ones inflated through zlib. Without
// an end record (bytes cut short, or a ZIP64 archive) the local headers are followed from the start
// instead, as far as their sizes are in them.
//
// Runs on bytes from damaged or hostile media: call it only inside the verifying child process.

#include "Vantrel/verify/IntegrityCheck.h"

#include <cstdint>
#include <optional>

namespace vantrel::ZipCheck {

// Entries judged at most; those after them are not read.
inline constexpr std::uint64_t maxEntries = 1 << 16;
// Bytes inflated at most over all entries; the entries after them are not read.
inline constexpr std::uint64_t maxInflatedBytes = 512ULL << 20;

// clean: every entry read is sound (entries encrypted or compressed by methods other than deflate are
// passed over); cut: the bytes end before the archive does, with nothing bad before; bad: an entry's
// header, data or CRC is not as the directory says, or the directory is not whole. Nothing when the
// bytes do not start with a local header or an end record.
std::optional<IntegrityCheck::Decode> check(ByteView bytes);

} // namespace vantrel::ZipCheck
