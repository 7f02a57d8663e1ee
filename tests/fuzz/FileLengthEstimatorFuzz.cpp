// Runs the carved-file length estimation over hostile bytes. The first byte picks the signature row,
// the second the header's offset; the rest is the device, read through fuzz::VolumeByteSource, which
// aborts the run on any read a device would refuse.
#include "recovery/carving/FileLengthEstimator.h"
#include "recovery/carving/KindDetectors.h"
#include "recovery/carving/SignatureCatalog.h"

#include "VolumeByteSource.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (size < 2) return 0;
    const auto& rows = SignatureCatalog::carveMVP();
    const FileSignature& signature = rows[data[0] % rows.size()];
    fuzz::VolumeByteSource source(data + 2, size - 2);
    const std::uint64_t length = source.length();
    const std::uint64_t offset = std::min<std::uint64_t>(data[1] % 16, length);
    const std::uint64_t remaining = length - offset;
    // Small longest-scan lengths let the limits be reached inside small inputs.
    const std::uint64_t available = std::min(remaining, signature.maxScanLength >> (data[1] >> 4));
    const Bytes head = source.read(offset, static_cast<std::int64_t>(std::min(available, FileLengthEstimator::headBytes)));

    LengthCandidate candidate;
    candidate.rowKind = signature.kind;
    candidate.refinedKind = signature.kind;
    if (signature.kind == RecoveredFileKind::zip) candidate.refinedKind = OfficeKindDetector::refineZipKind(head);
    if (signature.kind == RecoveredFileKind::mp4) candidate.refinedKind = FtypKindDetector::refine(head);
    if (signature.footer) candidate.footer = *signature.footer;
    candidate.offset = offset;
    candidate.available = available;
    candidate.deviceRemaining = remaining;
    candidate.head = head;
    candidate.minimumByteSize = data[1] * 1024u;

    SourceCandidateReader reader(source);
    FileLengthEstimator estimator;
    try {
        const auto estimate = estimator.estimate(candidate, reader);
        // No rule reaches past the device, and only the box walk past available.
        if (estimate && estimate->length > remaining) std::abort();
        if (estimate && signature.kind != RecoveredFileKind::mp4 && estimate->length > available) std::abort();
    } catch (const ByteSourceError&) {
        // The source fails no read a device would serve, and aborts on any it would refuse.
        std::abort();
    }
    return 0;
}
