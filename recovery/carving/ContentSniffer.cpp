#include "recovery/carving/ContentSniffer.h"

#include "recovery/carving/HeaderChecks.h"
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/SignatureCatalog.h"

#include <algorithm>
#include <vector>

namespace vantrel::ContentSniffer {

namespace {

// The table's rows, longer headers first, rows of one length in table order.
const std::vector<const FileSignature*>& rowsByHeaderLength() {
    static const std::vector<const FileSignature*> rows = [] {
        std::vector<const FileSignature*> sorted;
        for (const FileSignature& signature : SignatureCatalog::carveMVP()) sorted.push_back(&signature);
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const FileSignature* a, const FileSignature* b) { return a->header.size() > b->header.size(); });
        return sorted;
    }();
    return rows;
}

} // namespace

RecoveredFileKind kindOf(ByteView head) {
    for (const FileSignature* signature : rowsByHeaderLength()) {
        const RecoveredFileKind rowKind = signature->kind;
        if (!signature->matchesHeader(head, 0) || !HeaderChecks::plausible(rowKind, head) ||
            !HeaderChecks::opensSoundly(rowKind, head))
            continue;
        const RecoveredFileKind kind = HeaderChecks::kindFromHead(rowKind, head);
        return kind == RecoveredFileKind::tiff ? TIFFKindDetector::refine(head) : kind;
    }
    return RecoveredFileKind::unknown;
}

} // namespace vantrel::ContentSniffer
