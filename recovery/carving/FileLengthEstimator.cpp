#include "recovery/carving/FileLengthEstimator.h"

#include "recovery/carving/CandidateCursor.h"
#include "recovery/carving/formats/BMPMetadata.h"
#include "recovery/carving/formats/CompoundFileLength.h"
#include "recovery/carving/formats/GIFBlockWalk.h"
#include "recovery/carving/formats/ISOBoxWalk.h"
#include "recovery/carving/formats/JPEGEndWalk.h"
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "recovery/carving/formats/OggPageWalk.h"
#include "recovery/carving/formats/PDFEnd.h"
#include "recovery/carving/formats/RIFFMetadata.h"
#include "recovery/carving/formats/TIFFMetadata.h"
#include "recovery/carving/formats/ZipEndRecord.h"

#include <algorithm>

namespace vantrel {

namespace {

using Kind = RecoveredFileKind;

// Incremental updates followed at most after a PDF's first end.
constexpr int maxPDFUpdates = 4096;

LengthEstimate structural(std::uint64_t length) { return {length, LengthBasis::structural}; }

std::optional<std::uint64_t> withinAvailable(std::optional<std::uint64_t> length, std::uint64_t available) {
    if (!length || *length > available) return std::nullopt;
    return length;
}

bool isTIFFFamily(Kind kind) {
    return kind == Kind::tiff || kind == Kind::cr2 || kind == Kind::orf || kind == Kind::nef || kind == Kind::arw;
}

bool isISOMedia(Kind kind) {
    return kind == Kind::heic || kind == Kind::avif || kind == Kind::mp4 || kind == Kind::mov || kind == Kind::m4a ||
           kind == Kind::cr3;
}

// Row kinds whose end their first bytes do not tell (or whose structural rule failed): the fixed guess.
bool takesFixedGuess(Kind rowKind) {
    switch (rowKind) {
    case Kind::crw: case Kind::mp3: case Kind::flac: case Kind::ogg: case Kind::doc: case Kind::rtf: case Kind::zip:
        return true;
    case Kind::jpeg: case Kind::heic: case Kind::avif: case Kind::png: case Kind::gif: case Kind::webp: case Kind::bmp:
    case Kind::tiff: case Kind::cr2: case Kind::cr3: case Kind::nef: case Kind::arw: case Kind::orf: case Kind::mp4:
    case Kind::mov: case Kind::m4a: case Kind::wav: case Kind::pdf: case Kind::docx: case Kind::xlsx: case Kind::pptx:
    case Kind::unknown:
        return false;
    }
    return false;
}

} // namespace

LengthEstimate FileLengthEstimator::genericLength(const LengthCandidate& candidate) {
    return {std::min(std::max(candidate.minimumByteSize, genericMinimumBytes), candidate.available), LengthBasis::guessed};
}

std::optional<std::uint64_t> FileLengthEstimator::footerLength(const LengthCandidate& candidate, CandidateReader& reader) {
    const ByteView footer = candidate.footer;
    const std::uint64_t limit = candidate.offset + candidate.available;
    const auto found = m_footers.find(reader, footer, candidate.offset, limit);
    if (!found) return std::nullopt;
    const std::uint64_t position = *found - candidate.offset;
    // The search in the head starts at the footer's length, so that a footer overlapping the header is
    // not the end; such a footer only counts when no later one lies in the head. No shipped header can
    // hold its own footer, so this matters only for other tables.
    if (position < footer.size()) {
        const auto later = m_footers.find(reader, footer, candidate.offset + footer.size(),
                                          candidate.offset + candidate.head.size());
        if (later) return *later - candidate.offset + footer.size();
    }
    return position + footer.size();
}

std::optional<LengthEstimate> FileLengthEstimator::estimateTIFF(const LengthCandidate& candidate, CandidateReader& reader) {
    const std::uint64_t wanted = std::min(candidate.available, tiffReadBytes);
    m_tiffData = candidate.head.size() >= wanted ? candidate.head
                                                 : reader.read(candidate.offset, wanted, m_tiffScratch);
    const auto length = withinAvailable(TIFFMetadata::estimatedFileLength(m_tiffData), candidate.available);
    if (!length || *length < minimumTIFFBytes) return std::nullopt;
    return structural(*length);
}

std::optional<LengthEstimate> FileLengthEstimator::estimate(const LengthCandidate& candidate, CandidateReader& reader) {
    m_tiffData = {};
    const Kind kind = candidate.refinedKind;
    const std::uint64_t available = candidate.available;
    const ByteView head = candidate.head;

    if (kind == Kind::bmp) {
        // The declared size is the length, provided the header also gives sane dimensions.
        if (!BMPMetadata::dimensions(head)) return std::nullopt;
        const auto length = withinAvailable(BMPMetadata::fileLength(head), available);
        if (!length || *length < minimumBMPBytes) return std::nullopt;
        return structural(*length);
    }
    if (isTIFFFamily(kind)) return estimateTIFF(candidate, reader);
    if (kind == Kind::jpeg) {
        CandidateCursor cursor(reader, candidate.offset, available, head, JPEGEndWalk::chunkBytes);
        const auto length = JPEGEndWalk::find(cursor);
        if (!length) return std::nullopt;
        return structural(*length);
    }
    if (isISOMedia(kind)) {
        // The row kind of every ISO media candidate (mp4) gives no first estimate; the box walk may go on
        // past the row's longest scan length, to the device's end.
        const auto length = ISOBoxWalk::walk(reader, candidate.offset, std::max(candidate.deviceRemaining, available));
        if (!length) return std::nullopt;
        return structural(*length);
    }

    const Kind rowKind = candidate.rowKind;
    if (rowKind == Kind::gif) {
        CandidateCursor cursor(reader, candidate.offset, available, head, GIFBlockWalk::chunkBytes);
        if (const auto length = GIFBlockWalk::walk(cursor)) return structural(*length);
    }
    if (rowKind == Kind::pdf) {
        CandidateCursor cursor(reader, candidate.offset, available, head, PDFEnd::updateLookBytes);
        auto end = withinAvailable(PDFEnd::linearizedLength(head), available);
        // A linearized length counts the whole file; an end marker is followed by its end of line.
        bool atEndMarker = false;
        if (!end && !candidate.footer.empty()) atEndMarker = (end = footerLength(candidate, reader)).has_value();
        if (!end) return genericLength(candidate);
        for (int update = 0; update < maxPDFUpdates && PDFEnd::updateFollows(cursor, *end); ++update) {
            const auto next = m_footers.find(reader, candidate.footer, candidate.offset + *end, candidate.offset + available);
            if (!next) break;
            end = *next - candidate.offset + candidate.footer.size();
            atEndMarker = true;
        }
        return structural(atEndMarker ? PDFEnd::pastEndOfLine(cursor, *end) : *end);
    }
    if (!candidate.footer.empty()) {
        if (const auto length = footerLength(candidate, reader)) return structural(*length);
    }
    if (rowKind == Kind::webp || rowKind == Kind::wav) {
        if (const auto length = withinAvailable(RIFFMetadata::fileLength(head), available)) return structural(*length);
    }
    if (rowKind == Kind::zip) {
        if (const auto length = ZipEndRecord::fileLength(reader, m_footers, candidate.offset, available))
            return structural(*length);
    }
    if (rowKind == Kind::doc) {
        CandidateCursor cursor(reader, candidate.offset, available, head, CompoundFileLength::chunkBytes);
        if (const auto length = CompoundFileLength::fromAllocationTable(cursor)) return structural(*length);
    }
    if (rowKind == Kind::ogg) {
        // Every page starts with the capture pattern; only the first page of a stream begins a file.
        if (!OggPageWalk::beginsFile(head)) return std::nullopt;
        CandidateCursor cursor(reader, candidate.offset, available, head, OggPageWalk::chunkBytes);
        if (const auto length = OggPageWalk::walk(cursor)) return structural(*length);
    }
    if (rowKind == Kind::mp3) {
        CandidateCursor cursor(reader, candidate.offset, available, head, MP3FrameWalk::chunkBytes);
        if (const auto length = MP3FrameWalk::walk(cursor)) return structural(*length);
    }
    if (takesFixedGuess(rowKind)) return LengthEstimate{std::min(available, fixedGuessBytes), LengthBasis::guessed};
    return genericLength(candidate);
}

} // namespace vantrel
