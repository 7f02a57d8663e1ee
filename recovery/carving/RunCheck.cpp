#include "recovery/carving/RunCheck.h"
#include "recovery/carving/RunStructureCheck.h"

#include "recovery/carving/formats/JPEGScanWalk.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

namespace vantrel::RunCheck {

namespace {

RunVerdict jpeg(ByteSource& source, std::uint64_t offset, std::uint64_t length, bool thorough) {
    Bytes piece;
    if (!thorough && length >= 4) {
        SourceReads::readAvailableInto(source, offset + length - 2, 2, piece);
        if (piece.size() == 2 && piece[0] == 0xFF && piece[1] == 0xD9) return RunVerdict::whole;
        piece.clear();
    }
    std::uint64_t pieceStart = 0;
    const JPEGScanWalk::ByteFeed feed = [&](std::uint64_t position) -> ByteView {
        if (position >= length) return {};
        if (position < pieceStart || position - pieceStart >= piece.size()) {
            SourceReads::readAvailableInto(source, offset + position, std::min(readPieceBytes, length - position), piece);
            pieceStart = position;
        }
        return ByteView(piece).subspan(static_cast<std::size_t>(position - pieceStart));
    };
    return JPEGScanWalk::walk(feed, length).ending == JPEGScanWalk::Ending::whole ? RunVerdict::whole : RunVerdict::broken;
}

} // namespace

RunVerdict verdict(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset, std::uint64_t length,
                   std::uint64_t clusterBytes, bool thorough) {
    if (kind == RecoveredFileKind::jpeg) return length > maxCheckedBytes ? RunVerdict::unknown : jpeg(source, offset, length, thorough);
    return RunStructureCheck::holdsOneFile(kind, source, offset, length, clusterBytes);
}

} // namespace vantrel::RunCheck
