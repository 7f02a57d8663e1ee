#include "recovery/carving/RunCheck.h"
#include "recovery/carving/RunStructureCheck.h"

#include "recovery/carving/formats/JPEGScanWalk.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>

namespace vantrel::RunCheck {

namespace {

RunVerdict jpeg(ByteSource& source, std::uint64_t offset, std::uint64_t length, bool thorough) {
    if (!thorough && length >= 4) {
        const Bytes end = SourceReads::readAvailable(source, offset + length - 2, 2);
        if (end.size() == 2 && end[0] == 0xFF && end[1] == 0xD9) return RunVerdict::whole;
    }
    const auto walked = JPEGScanWalk::walk(sourceFeed(source, offset, length, false), length);
    return walked.ending == JPEGScanWalk::Ending::whole ? RunVerdict::whole : RunVerdict::broken;
}

} // namespace

JPEGScanWalk::ByteFeed sourceFeed(ByteSource& source, std::uint64_t offset, std::uint64_t limit, bool badSpotsEnd) {
    return [&source, offset, limit, badSpotsEnd, piece = Bytes(), pieceStart = std::uint64_t{0}](std::uint64_t position) mutable -> ByteView {
        if (position >= limit) return {};
        if (position < pieceStart || position - pieceStart >= piece.size()) {
            piece.clear();
            pieceStart = position;
            try {
                SourceReads::readAvailableInto(source, offset + position, std::min(readPieceBytes, limit - position), piece);
            } catch (...) {
                if (!badSpotsEnd || !SourceReads::isBadSpot(std::current_exception())) throw;
                piece.clear();
            }
        }
        return ByteView(piece).subspan(static_cast<std::size_t>(position - pieceStart));
    };
}

RunVerdict verdict(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset, std::uint64_t length,
                   std::uint64_t clusterBytes, bool thorough) {
    if (kind == RecoveredFileKind::jpeg) return length > maxCheckedBytes ? RunVerdict::unknown : jpeg(source, offset, length, thorough);
    return RunStructureCheck::holdsOneFile(kind, source, offset, length, clusterBytes);
}

} // namespace vantrel::RunCheck
