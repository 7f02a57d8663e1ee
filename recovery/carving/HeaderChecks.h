#pragma once
// What the bytes at a signature's header say before a hit is built: cheap tests that chance bytes
// almost never pass, and the kind the first bytes give a row that stands for a family of formats. The
// carver asks them of every header it finds; the directory walks ask them of a deleted file whose name
// gives no kind (ContentSniffer).

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/RecoveredFileKind.h"

namespace vantrel::HeaderChecks {

// The tests of the bytes from a header of the row's kind on: a BMP's headers, a TIFF's byte order,
// magic and first directory, a JPEG's first marker segment, an ID3v2 tag header, a FLAC STREAMINFO
// block, a ZIP local file header. `from` may end early (at a window's end): a test that needs more
// bytes than it holds is left to the hit building (true).
bool plausible(RecoveredFileKind rowKind, ByteView from);

// The tests that need the file's opening structure whole, on a head that holds it unless the file's
// bytes end first: a JPEG's first marker segment, a FLAC's STREAMINFO, a ZIP's first local header.
bool opensSoundly(RecoveredFileKind rowKind, ByteView head);

// The precise kind of a zip or ISO media row, from the file's first bytes; other rows keep their kind.
RecoveredFileKind kindFromHead(RecoveredFileKind rowKind, ByteView head);

} // namespace vantrel::HeaderChecks
