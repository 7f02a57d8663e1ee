#include "recovery/model/RecoveredHit.h"

#include <algorithm>
#include <array>

namespace vantrel {

namespace HitSourceName {

std::string_view rawValue(HitSource source) {
    switch (source) {
    case HitSource::signatureCarve: return "signatureCarve";
    case HitSource::fatUndelete: return "fatUndelete";
    case HitSource::exfatUndelete: return "exfatUndelete";
    case HitSource::hfsPlusCatalog: return "hfsPlusCatalog";
    }
    return "signatureCarve";
}

std::optional<HitSource> fromRawValue(std::string_view text) {
    using enum HitSource;
    for (auto source : {signatureCarve, fatUndelete, exfatUndelete, hfsPlusCatalog})
        if (rawValue(source) == text) return source;
    return std::nullopt;
}

} // namespace HitSourceName

namespace HitIntegrityName {

std::string_view rawValue(HitIntegrity integrity) {
    switch (integrity) {
    case HitIntegrity::pending: return "pending";
    case HitIntegrity::ok: return "ok";
    case HitIntegrity::suspect: return "suspect";
    case HitIntegrity::failed: return "failed";
    case HitIntegrity::skipped: return "skipped";
    }
    return "pending";
}

std::optional<HitIntegrity> fromRawValue(std::string_view text) {
    using enum HitIntegrity;
    for (auto integrity : {pending, ok, suspect, failed, skipped})
        if (rawValue(integrity) == text) return integrity;
    return std::nullopt;
}

std::string_view displayName(HitIntegrity integrity) {
    switch (integrity) {
    case HitIntegrity::pending: return "\u2026";
    case HitIntegrity::ok: return "OK";
    case HitIntegrity::suspect: return "Suspect";
    case HitIntegrity::failed: return "Broken";
    case HitIntegrity::skipped: return "\u2014";
    }
    return "";
}

} // namespace HitIntegrityName

bool isSecondPieceOf(const HitPiece& piece, const RecoveredHit& hit) {
    return piece.length > 0 && piece.length < hit.byteLength && piece.offset >= hit.byteOffset &&
           piece.offset - hit.byteOffset >= hit.byteLength - piece.length && piece.length <= UINT64_MAX - piece.offset;
}

std::uint64_t firstPieceLength(const RecoveredHit& hit) {
    return hit.secondPiece && hit.secondPiece->length <= hit.byteLength ? hit.byteLength - hit.secondPiece->length : hit.byteLength;
}

RecoveredHit prefixOf(const RecoveredHit& hit, std::uint64_t length) {
    RecoveredHit prefix = hit;
    prefix.byteLength = std::min(hit.byteLength, length);
    if (hit.secondPiece) {
        const std::uint64_t first = firstPieceLength(hit);
        if (prefix.byteLength <= first) prefix.secondPiece.reset();
        else prefix.secondPiece->length = prefix.byteLength - first;
    }
    return prefix;
}

bool hasGuessedLength(const RecoveredHit& hit) {
    return hit.source == HitSource::signatureCarve && hit.isFragmented;
}

HitIntegrity integrityForVerdict(const RecoveredHit& hit, HitIntegrity verdict) {
    if (verdict == HitIntegrity::ok && hit.clusterReallocated) return HitIntegrity::suspect;
    if (hasGuessedLength(hit) && (verdict == HitIntegrity::ok || verdict == HitIntegrity::skipped)) return HitIntegrity::suspect;
    return verdict;
}

} // namespace vantrel
