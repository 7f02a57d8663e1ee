#include "recovery/filesystems/PictureSniffer.h"

#include "recovery/filesystems/SourceReads.h"
#include "recovery/model/RecoveryFilters.h"

#include <algorithm>

namespace vantrel::PictureSniffer {

namespace {

// The file's first sniffWindowBytes at most, within endLimit; nothing at a bad spot (counted).
std::optional<Bytes> readHead(ByteSource& source, std::uint64_t offset, std::uint64_t fileBytes, std::uint64_t endLimit,
                              std::int64_t& readErrors) {
    if (offset >= endLimit) return std::nullopt;
    const std::uint64_t count = std::min({fileBytes, sniffWindowBytes, endLimit - offset});
    auto head = SourceReads::passOverBadSpot(readErrors, [&] { return SourceReads::readAvailable(source, offset, count); });
    if (!head || head->empty()) return std::nullopt;
    return head;
}

} // namespace

std::optional<ImageDimensions> sniff(ByteSource& source, const PictureDimensionReader& reader, RecoveredFileKind kind,
                                     std::uint64_t offset, std::uint64_t fileBytes, std::uint64_t endLimit,
                                     std::int64_t& readErrors) {
    // A bitmap too: the results drop one whose sides are not known, as a carve's stray "BM" would be.
    if (!reader || (kind != RecoveredFileKind::jpeg && kind != RecoveredFileKind::png && kind != RecoveredFileKind::bmp))
        return std::nullopt;
    const auto head = readHead(source, offset, fileBytes, endLimit, readErrors);
    return head ? reader(kind, *head) : std::nullopt;
}

RecoveredFileKind sniffKind(ByteSource& source, const ContentKindReader& reader, std::uint64_t offset,
                            std::uint64_t fileBytes, std::uint64_t endLimit, std::int64_t& readErrors) {
    if (!reader) return RecoveredFileKind::unknown;
    const auto head = readHead(source, offset, fileBytes, endLimit, readErrors);
    return head ? reader(*head) : RecoveredFileKind::unknown;
}

bool isPlausiblePicture(const RecoveredHit& hit) {
    // Every kind, no size or side minimum: only the filters' rules for what a picture can be remain.
    static const RecoveryFilters plausibilityOnly = [] {
        RecoveryFilters filters;
        for (const RecoveredFileKind kind : FileKind::allKinds()) filters.allowedKinds.insert(kind);
        return filters;
    }();
    return plausibilityOnly.accepts(hit);
}

} // namespace vantrel::PictureSniffer
