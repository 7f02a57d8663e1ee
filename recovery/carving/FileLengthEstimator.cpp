#include "recovery/carving/FileLengthEstimator.h"

#include "recovery/carving/CandidateCursor.h"
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/CIFFHeapLength.h"
#include "recovery/carving/formats/CompoundFileLength.h"
#include "recovery/carving/formats/FLACFrameWalk.h"
#include "recovery/carving/formats/GIFBlockWalk.h"
#include "recovery/carving/formats/ISOBoxWalk.h"
#include "recovery/carving/formats/JPEGEndWalk.h"
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "recovery/carving/formats/OggPageWalk.h"
#include "recovery/carving/formats/PDFEnd.h"
#include "recovery/carving/formats/RIFFMetadata.h"
#include "recovery/carving/formats/RTFGroupWalk.h"
#include "recovery/carving/formats/TIFFMetadata.h"
#include "recovery/carving/formats/ZipEndRecord.h"

#include <algorithm>
#include <array>

namespace vantrel {

namespace {

using Kind = RecoveredFileKind;

// Incremental updates followed at most after a PDF's first end.
constexpr int maxPDFUpdates = 4096;

// What a rule sees: the candidate, its reader, and the estimator's footer searches and TIFF bytes.
struct RuleInput {
    const LengthCandidate& candidate;
    CandidateReader& reader;
    FooterFinder& footers;
    Bytes& tiffScratch;
    ByteView& tiffData;
    Bytes& cursorScratch;  // for the one cursor a rule walks with
};

// A rule's answer. Undecided: the rule cannot tell, and the next one is asked. Decided: the estimate,
// or none when the candidate makes no hit.
struct Outcome {
    bool decided = false;
    std::optional<LengthEstimate> estimate;
};

using Rule = Outcome (*)(RuleInput&);

constexpr Outcome undecided{};
Outcome noHit() { return {true, std::nullopt}; }
Outcome structural(std::uint64_t length) { return {true, LengthEstimate{length, LengthBasis::structural}}; }
Outcome structuralOrUndecided(std::optional<std::uint64_t> length) { return length ? structural(*length) : undecided; }
Outcome structuralOrNoHit(std::optional<std::uint64_t> length) { return length ? structural(*length) : noHit(); }

std::optional<std::uint64_t> withinAvailable(std::optional<std::uint64_t> length, std::uint64_t available) {
    if (!length || *length > available) return std::nullopt;
    return length;
}

LengthEstimate genericLength(const LengthCandidate& candidate) {
    return {std::min(std::max(candidate.minimumByteSize, FileLengthEstimator::genericMinimumBytes), candidate.available),
            LengthBasis::guessed};
}

LengthEstimate fixedGuessLength(const LengthCandidate& candidate) {
    return {std::min(candidate.available, FileLengthEstimator::fixedGuessBytes), LengthBasis::guessed};
}

CandidateCursor cursorOf(RuleInput& in, std::uint64_t chunkBytes) {
    return {in.reader, in.candidate.offset, in.candidate.available, in.candidate.head, chunkBytes, &in.cursorScratch};
}

std::optional<std::uint64_t> footerLength(RuleInput& in) {
    const LengthCandidate& candidate = in.candidate;
    const ByteView footer = candidate.footer;
    const std::uint64_t limit = candidate.offset + candidate.available;
    const auto found = in.footers.find(in.reader, footer, candidate.offset, limit);
    if (!found) return std::nullopt;
    const std::uint64_t position = *found - candidate.offset;
    // The search in the head starts at the footer's length, so that a footer overlapping the header is
    // not the end; such a footer only counts when no later one lies in the head. No shipped header can
    // hold its own footer, so this matters only for other tables.
    if (position < footer.size()) {
        const auto later = in.footers.find(in.reader, footer, candidate.offset + footer.size(),
                                           candidate.offset + candidate.head.size());
        if (later) return *later - candidate.offset + footer.size();
    }
    return position + footer.size();
}

// ---- The rules of the files' own structures, asked by the refined kind; each decides. ----

// The declared size is the length, provided the header also gives sane dimensions.
Outcome bmpDeclaredSize(RuleInput& in) {
    const ByteView head = in.candidate.head;
    if (!BMPMetadata::dimensions(head)) return noHit();
    const auto length = withinAvailable(BMPMetadata::fileLength(head), in.candidate.available);
    if (!length || *length < FileLengthEstimator::minimumBMPBytes) return noHit();
    return structural(*length);
}

Outcome jpegEndWalk(RuleInput& in) {
    CandidateCursor cursor = cursorOf(in, JPEGEndWalk::chunkBytes);
    return structuralOrNoHit(JPEGEndWalk::find(cursor));
}

Outcome tiffExtents(RuleInput& in) {
    const LengthCandidate& candidate = in.candidate;
    const std::uint64_t wanted = std::min(candidate.available, FileLengthEstimator::tiffReadBytes);
    in.tiffData = candidate.head.size() >= wanted ? candidate.head : in.reader.read(candidate.offset, wanted, in.tiffScratch);
    const auto length = withinAvailable(TIFFMetadata::estimatedFileLength(in.tiffData), candidate.available);
    if (!length || *length < FileLengthEstimator::minimumTIFFBytes) return noHit();
    return structural(*length);
}

// The row kind of every ISO media candidate (mp4) gives no first estimate; the box walk may go on past the
// row's longest scan length, to the device's end.
Outcome isoBoxWalk(RuleInput& in) {
    const LengthCandidate& candidate = in.candidate;
    return structuralOrNoHit(
        ISOBoxWalk::walk(in.reader, candidate.offset, std::max(candidate.deviceRemaining, candidate.available)));
}

// The structure the kind's family shares: TIFF directories or ISO media boxes.
Outcome familyStructure(RuleInput& in) {
    const Kind kind = in.candidate.refinedKind;
    if (FileKind::isTiffFamily(kind)) return tiffExtents(in);
    if (FileKind::isIsoMedia(kind)) return isoBoxWalk(in);
    return undecided;
}

// ---- The rules asked by the row kind, before the footer search. ----

Outcome gifBlockWalk(RuleInput& in) {
    CandidateCursor cursor = cursorOf(in, GIFBlockWalk::chunkBytes);
    return structuralOrUndecided(GIFBlockWalk::walk(cursor));
}

// A linearized length counts the whole file; an end marker is followed by its end of line. Decides: without
// either, the generic length.
Outcome pdfEnd(RuleInput& in) {
    const LengthCandidate& candidate = in.candidate;
    const std::uint64_t available = candidate.available;
    CandidateCursor cursor = cursorOf(in, PDFEnd::updateLookBytes);
    auto end = withinAvailable(PDFEnd::linearizedLength(candidate.head), available);
    bool atEndMarker = false;
    if (!end && !candidate.footer.empty()) atEndMarker = (end = footerLength(in)).has_value();
    if (!end) return {true, genericLength(candidate)};
    for (int update = 0; update < maxPDFUpdates && PDFEnd::updateFollows(cursor, *end); ++update) {
        const auto next = in.footers.find(in.reader, candidate.footer, candidate.offset + *end, candidate.offset + available);
        if (!next) break;
        end = *next - candidate.offset + candidate.footer.size();
        atEndMarker = true;
    }
    return structural(atEndMarker ? PDFEnd::pastEndOfLine(cursor, *end) : *end);
}

// ---- The rules asked by the row kind, after the footer search. ----

Outcome riffDeclaredSize(RuleInput& in) {
    return structuralOrUndecided(withinAvailable(RIFFMetadata::fileLength(in.candidate.head), in.candidate.available));
}

Outcome zipEndRecord(RuleInput& in) {
    return structuralOrUndecided(ZipEndRecord::fileLength(in.reader, in.footers, in.candidate.offset, in.candidate.available));
}

// A walk of the file's structure over a cursor of chunkBytes chunks; a walk that gives no length leaves
// the candidate to the row's fallback.
template <std::optional<std::uint64_t> (*Walk)(CandidateCursor&), std::uint64_t chunkBytes>
Outcome structureWalk(RuleInput& in) {
    CandidateCursor cursor = cursorOf(in, chunkBytes);
    return structuralOrUndecided(Walk(cursor));
}

// Every page starts with the capture pattern; only the first page of a stream begins a file.
Outcome oggPageWalk(RuleInput& in) {
    if (!OggPageWalk::beginsFile(in.candidate.head)) return noHit();
    CandidateCursor cursor = cursorOf(in, OggPageWalk::chunkBytes);
    return structuralOrUndecided(OggPageWalk::walk(cursor));
}

// An "ID3" that no run of MPEG audio frames follows is chance bytes or a tag without its song.
Outcome mp3FrameWalk(RuleInput& in) {
    CandidateCursor cursor = cursorOf(in, MP3FrameWalk::chunkBytes);
    return structuralOrNoHit(MP3FrameWalk::walk(cursor));
}

constexpr Rule compoundFile = structureWalk<CompoundFileLength::fromAllocationTable, CompoundFileLength::chunkBytes>;
constexpr Rule flacFrameWalk = structureWalk<FLACFrameWalk::walk, FLACFrameWalk::chunkBytes>;
constexpr Rule rtfGroupWalk = structureWalk<RTFGroupWalk::walk, RTFGroupWalk::chunkBytes>;
constexpr Rule ciffHeap = structureWalk<CIFFHeapLength::fileLength, CIFFHeapLength::chunkBytes>;

// What a candidate takes when no rule decided: the fixed guess for row kinds whose end their first bytes
// do not tell (or whose rule failed), the generic length for the others.
enum class Fallback : std::uint8_t { generic, fixedGuess };

// The length rules of one kind. A candidate asks its refined kind's own rule first; when there is none,
// or it cannot tell, the row kind's rule before the footer search, the row's footer, the row kind's rule
// after it, and last the row kind's fallback.
struct KindLengthRules {
    Kind kind;
    Rule ownStructure;
    Rule beforeFooter;
    Rule afterFooter;
    Fallback fallback;
};

using enum Fallback;

// One row per kind, in declaration order.
constexpr std::array<KindLengthRules, recoveredFileKindCount> lengthRules{{
    {Kind::jpeg, jpegEndWalk, nullptr, nullptr, generic},
    {Kind::heic, familyStructure, nullptr, nullptr, generic},
    {Kind::avif, familyStructure, nullptr, nullptr, generic},
    {Kind::png, nullptr, nullptr, nullptr, generic},
    {Kind::gif, nullptr, gifBlockWalk, nullptr, generic},
    {Kind::webp, nullptr, nullptr, riffDeclaredSize, generic},
    {Kind::bmp, bmpDeclaredSize, nullptr, nullptr, generic},
    {Kind::tiff, familyStructure, nullptr, nullptr, generic},
    {Kind::crw, nullptr, nullptr, ciffHeap, fixedGuess},
    {Kind::cr2, familyStructure, nullptr, nullptr, generic},
    {Kind::cr3, familyStructure, nullptr, nullptr, generic},
    {Kind::nef, familyStructure, nullptr, nullptr, generic},
    {Kind::arw, familyStructure, nullptr, nullptr, generic},
    {Kind::orf, familyStructure, nullptr, nullptr, generic},
    {Kind::mp4, familyStructure, nullptr, nullptr, generic},
    {Kind::mov, familyStructure, nullptr, nullptr, generic},
    {Kind::mp3, nullptr, nullptr, mp3FrameWalk, fixedGuess},
    {Kind::m4a, familyStructure, nullptr, nullptr, generic},
    {Kind::wav, nullptr, nullptr, riffDeclaredSize, generic},
    {Kind::flac, nullptr, nullptr, flacFrameWalk, fixedGuess},
    {Kind::ogg, nullptr, nullptr, oggPageWalk, fixedGuess},
    {Kind::pdf, nullptr, pdfEnd, nullptr, generic},
    {Kind::docx, nullptr, nullptr, nullptr, generic},
    {Kind::xlsx, nullptr, nullptr, nullptr, generic},
    {Kind::pptx, nullptr, nullptr, nullptr, generic},
    {Kind::doc, nullptr, nullptr, compoundFile, fixedGuess},
    {Kind::rtf, nullptr, nullptr, rtfGroupWalk, fixedGuess},
    {Kind::zip, nullptr, nullptr, zipEndRecord, fixedGuess},
    {Kind::unknown, nullptr, nullptr, nullptr, generic},
}};

static_assert(FileKind::listsEveryKindInOrder(lengthRules), "lengthRules must list every kind, in declaration order");

const KindLengthRules& rulesOf(Kind kind) { return lengthRules[static_cast<std::size_t>(kind)]; }

} // namespace

std::optional<LengthEstimate> FileLengthEstimator::estimate(const LengthCandidate& candidate, CandidateReader& reader) {
    m_tiffData = {};
    RuleInput in{candidate, reader, m_footers, m_tiffScratch, m_tiffData, m_cursorScratch};
    auto ask = [&](Rule rule) { return rule != nullptr ? rule(in) : undecided; };

    if (const Outcome own = ask(rulesOf(candidate.refinedKind).ownStructure); own.decided) return own.estimate;
    const KindLengthRules& row = rulesOf(candidate.rowKind);
    if (const Outcome before = ask(row.beforeFooter); before.decided) return before.estimate;
    if (!candidate.footer.empty()) {
        if (const auto length = footerLength(in)) return LengthEstimate{*length, LengthBasis::structural};
    }
    if (const Outcome after = ask(row.afterFooter); after.decided) return after.estimate;
    return row.fallback == fixedGuess ? fixedGuessLength(candidate) : genericLength(candidate);
}

} // namespace vantrel
