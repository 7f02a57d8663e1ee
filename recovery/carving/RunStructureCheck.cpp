#include "recovery/carving/RunStructureCheck.h"

#include "base/Bounds.h"
#include "recovery/carving/CandidateCursor.h"
#include "recovery/carving/CandidateReader.h"
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "recovery/carving/formats/ZipDirectory.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

namespace vantrel::RunStructureCheck {

namespace {

std::int64_t at(std::uint64_t pos) { return static_cast<std::int64_t>(pos); }

// The file's bytes [from, from + count), fewer where the run ends.
Bytes readRun(ByteSource& source, std::uint64_t offset, std::uint64_t length, std::uint64_t from, std::uint64_t count) {
    if (from >= length) return {};
    return SourceReads::readAvailable(source, offset + from, std::min(count, length - from));
}

// Whether record i of count is one of at most `checks` spread evenly over them, the first and the last
// always among them.
bool isSampled(std::uint64_t i, std::uint64_t count, std::uint64_t checks) {
    if (count <= checks || i == 0 || i + 1 == count) return true;
    const std::uint64_t stride = count / (checks - 1) + 1;
    return i % stride == 0;
}

// ---- ZIP ----

RunVerdict zipRun(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    const Bytes head = readRun(source, offset, length, 0, 4);
    // An archive with bytes before its first entry (a self-extractor) or an empty one: not judged.
    if (!FieldReader::matches(head, 0, "PK\x03\x04")) return RunVerdict::unknown;
    const std::uint64_t tailBytes = std::min(length, ZipDirectory::endSearchBytes);
    const std::uint64_t tailOffset = length - tailBytes;
    const Bytes tail = readRun(source, offset, length, tailOffset, tailBytes);
    // The file's size is exact: its end record ends it, or the run does not end where the archive does.
    const auto end = ZipDirectory::endRecord(tail, tailOffset, true);
    if (!end) return RunVerdict::broken;
    if (end->zip64) return RunVerdict::unknown;
    if (end->records == 0) return RunVerdict::broken;

    Bytes read;
    ByteView directory;
    const std::uint64_t directoryBytes = std::min(end->directorySize, maxZipDirectoryBytes);
    if (end->directoryOffset >= tailOffset) {
        directory = ByteView(tail).subspan(end->directoryOffset - tailOffset, end->directorySize);
    } else {
        read = readRun(source, offset, length, end->directoryOffset, directoryBytes);
        directory = read;
    }
    const bool directoryCut = directoryBytes < end->directorySize;

    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < end->records; ++i) {
        const auto record = ZipDirectory::record(directory, pos);
        // A directory whose records stop short of its count is not the archive's own.
        if (!record) return directoryCut ? RunVerdict::whole : RunVerdict::broken;
        if (!isSampled(i, end->records, maxZipHeadersChecked) || record->zip64) continue;
        if (record->localHeaderOffset >= end->directoryOffset) return RunVerdict::broken;
        const Bytes bytes = readRun(source, offset, length, record->localHeaderOffset,
                                    ZipDirectory::localFixedBytes + record->name.size());
        const auto local = ZipDirectory::localHeader(bytes);
        if (!local || !std::equal(local->name.begin(), local->name.end(), record->name.begin(), record->name.end()))
            return RunVerdict::broken;
    }
    return RunVerdict::whole;
}

// ---- MP3 ----

// The longest frame of any stream: layer II of MPEG 2.5 at 160 kbit/s and 8 kHz, with padding.
constexpr std::uint64_t longestAnyFrameBytes = 2881;
// Frames a chain must hold before a boundary to show that it follows the stream, not chance bytes.
constexpr std::uint64_t framesBeforeBoundary = 2;

// The longest frame of the stream: the highest bitrate, with padding.
std::uint64_t longestFrame(const MP3FrameWalk::FrameHeader& stream) {
    const std::uint32_t header = 0xFFE00000u | std::uint32_t{stream.version} << 19 | std::uint32_t{stream.layer} << 17 |
                                 14u << 12 | std::uint32_t{stream.sampleRateIndex} << 10 | 1u << 9;
    const auto frame = MP3FrameWalk::frameHeader(header);
    return frame ? frame->length : 0;
}

// The bytes of the run around the boundaries, read forward: each request for [from, to) is served from
// the bytes in hand or by reading at least chunkBytes from `from` on.
class ForwardWindow {
public:
    ForwardWindow(ByteSource& source, std::uint64_t offset, std::uint64_t length, std::uint64_t chunkBytes)
        : m_source(source), m_offset(offset), m_length(length), m_chunkBytes(chunkBytes) {}

    // The run's bytes [from, to) (fewer where the run ends) as a view whose first byte is at from.
    ByteView span(std::uint64_t from, std::uint64_t to) {
        to = std::min(to, m_length);
        if (from < m_start || to > m_start + m_bytes.size()) {
            m_bytes = readRun(m_source, m_offset, m_length, from, std::max(to - from, m_chunkBytes));
            m_start = from;
        }
        return ByteView(m_bytes).subspan(from - m_start, std::min<std::uint64_t>(to - from, m_bytes.size() - (from - m_start)));
    }

private:
    ByteSource& m_source;
    std::uint64_t m_offset;
    std::uint64_t m_length;
    std::uint64_t m_chunkBytes;
    std::uint64_t m_start = 0;
    Bytes m_bytes;
};

std::optional<MP3FrameWalk::FrameHeader> frameAt(ByteView bytes, std::uint64_t pos, const MP3FrameWalk::FrameHeader& stream) {
    if (!fitsWithin(pos, MP3FrameWalk::frameHeaderBytes, bytes.size())) return std::nullopt;
    const auto frame = MP3FrameWalk::frameHeader(FieldReader::u32be(bytes, at(pos)));
    if (!frame || !frame->sameStream(stream)) return std::nullopt;
    return frame;
}

// Whether what follows the last frame at pos (of the window, which starts at windowStart) ends the
// file: its end, an ID3v1 tag that ends it, or an APE tag.
bool endsFile(ByteView bytes, std::uint64_t windowStart, std::uint64_t pos, std::uint64_t length) {
    if (windowStart + pos == length) return true;
    if (windowStart + pos + MP3FrameWalk::id3v1Bytes == length && FieldReader::matches(bytes, at(pos), "TAG")) return true;
    return FieldReader::matches(bytes, at(pos), "APETAGEX");
}

// At the boundary: the first chain of frames of the stream that starts within reach before it and
// holds framesBeforeBoundary frames before it, followed across it. Broken when the frame after the
// boundary is no frame of the stream and does not end the file; unknown when no chain leads to it.
RunVerdict acrossBoundary(ForwardWindow& window, std::uint64_t boundary, std::uint64_t reach, std::uint64_t from,
                          std::uint64_t longest, std::uint64_t length, const MP3FrameWalk::FrameHeader& stream) {
    const std::uint64_t start = boundary - std::min(boundary - from, reach);
    // Past the boundary: the rest of the frame across it, the next header or an APE tag's mark.
    const ByteView bytes = window.span(start, boundary + longest + 16);
    const std::uint64_t end = boundary - start;
    for (std::uint64_t p = 0; p < end; ++p) {
        if (bytes[p] != 0xFF) continue;
        std::uint64_t pos = p;
        std::uint64_t frames = 0;
        while (pos < end) {
            const auto frame = frameAt(bytes, pos, stream);
            if (!frame) break;
            pos += frame->length;
            ++frames;
        }
        if (pos < end || frames < framesBeforeBoundary) continue;
        return frameAt(bytes, pos, stream) || endsFile(bytes, start, pos, length) ? RunVerdict::whole : RunVerdict::broken;
    }
    return RunVerdict::unknown;
}

RunVerdict mp3Run(ByteSource& source, std::uint64_t offset, std::uint64_t length, std::uint64_t clusterBytes) {
    SourceCandidateReader reader(source);
    const std::uint64_t tagLength = MP3FrameWalk::id3v2Length(readRun(source, offset, length, 0, 10)).value_or(0);
    if (tagLength >= length) return RunVerdict::unknown;
    // The first frames are looked for within the gap a tag may leave, and followed no further than a few
    // of the longest frames: the walk would otherwise read the whole file.
    constexpr std::uint64_t headChunkBytes = 8192;
    constexpr std::uint64_t firstFramesBytes = 8 * longestAnyFrameBytes;
    const std::uint64_t firstLimit = std::min(length, tagLength + MP3FrameWalk::maxGapBytes + firstFramesBytes);
    CandidateCursor start(reader, offset, firstLimit, {}, headChunkBytes);
    // Pieces of a few frames each, interleaved with another file's, hold no longer run: the stream is
    // told by as many frames as a boundary needs.
    const auto run = MP3FrameWalk::firstRun(start, tagLength, framesBeforeBoundary);
    if (!run) return RunVerdict::unknown;
    // Far enough back for framesBeforeBoundary of the longest frames whatever their phase; a window
    // reaches from there past the frame across the boundary and the header after it. Each boundary of a
    // run of large clusters costs one window's read; a run of clusters smaller than a window is read
    // once, in order.
    const std::uint64_t longest = longestFrame(run->first);
    const std::uint64_t reach = (framesBeforeBoundary + 1) * longest;
    const std::uint64_t windowBytes = reach + longest + 16;
    constexpr std::uint64_t sequentialChunkBytes = 1 << 16;
    ForwardWindow window(source, offset, length, clusterBytes < windowBytes ? sequentialChunkBytes : windowBytes);
    const std::uint64_t maxBoundaries = std::max<std::uint64_t>(1, maxMP3ReadBytes / std::min(clusterBytes, windowBytes));
    RunVerdict verdict = RunVerdict::unknown;
    std::uint64_t checked = 0;
    for (std::uint64_t boundary = clusterBytes; boundary < length && checked < maxBoundaries; boundary += clusterBytes) {
        if (boundary <= run->start) continue;
        ++checked;
        switch (acrossBoundary(window, boundary, reach, run->start, longest, length, run->first)) {
        case RunVerdict::broken: return RunVerdict::broken;
        case RunVerdict::whole: verdict = RunVerdict::whole; break;
        case RunVerdict::unknown: break;
        }
    }
    return verdict;
}

// ---- PDF ----

bool isWhite(std::uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }
bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// The number at pos (digits only), pos moved past it; nothing when no digit is there or it is too long
// for an offset.
std::optional<std::uint64_t> number(ByteView bytes, std::uint64_t& pos) {
    constexpr int maxDigits = 15;
    std::uint64_t value = 0;
    int digits = 0;
    for (; pos < bytes.size() && isDigit(bytes[pos]); ++pos) {
        if (++digits > maxDigits) return std::nullopt;
        value = value * 10 + (bytes[pos] - '0');
    }
    if (digits == 0) return std::nullopt;
    return value;
}

void skipWhite(ByteView bytes, std::uint64_t& pos) {
    while (pos < bytes.size() && isWhite(bytes[pos])) ++pos;
}

// Whether "object generation obj" opens the bytes (after white space).
bool opensObject(ByteView bytes, std::uint64_t object, std::optional<std::uint64_t> generation) {
    std::uint64_t pos = 0;
    skipWhite(bytes, pos);
    const auto stated = number(bytes, pos);
    if (!stated || (generation && *stated != object)) return false;
    skipWhite(bytes, pos);
    const auto statedGeneration = number(bytes, pos);
    if (!statedGeneration || (generation && *statedGeneration != *generation)) return false;
    skipWhite(bytes, pos);
    return FieldReader::matches(bytes, at(pos), "obj");
}

std::optional<std::uint64_t> lastKeyword(ByteView bytes, std::string_view keyword) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const auto found = text.rfind(keyword);
    if (found == std::string_view::npos) return std::nullopt;
    return found;
}

struct XrefEntry {
    std::uint64_t object = 0;
    std::uint64_t offset = 0;
    std::uint64_t generation = 0;
};

// One cross-reference section (7.5.4): "xref", subsections of "first count" and count entries of
// "nnnnnnnnnn ggggg n" in 20 bytes, then "trailer" and its dictionary. The objects in use go to inUse;
// the /Prev offset of the trailer is returned. False when the bytes are not such a section.
bool readSection(ByteView bytes, std::vector<XrefEntry>& inUse, std::optional<std::uint64_t>& previous) {
    constexpr std::uint64_t entryBytes = 20;
    std::uint64_t pos = 4;
    for (;;) {
        skipWhite(bytes, pos);
        if (FieldReader::matches(bytes, at(pos), "trailer")) break;
        const auto first = number(bytes, pos);
        skipWhite(bytes, pos);
        const auto count = number(bytes, pos);
        if (!first || !count) return false;
        // The line end after the subsection's header: one or two bytes.
        while (pos < bytes.size() && (bytes[pos] == ' ' || bytes[pos] == '\r' || bytes[pos] == '\n')) ++pos;
        for (std::uint64_t i = 0; i < *count; ++i, pos += entryBytes) {
            // A table longer than what was read is judged on its part in hand.
            if (!fitsWithin(pos, entryBytes, bytes.size())) return true;
            std::uint64_t field = pos;
            const auto offset = number(bytes, field);
            ++field;
            const auto generation = number(bytes, field);
            if (!offset || !generation || field - pos != 16) return false;
            const std::uint8_t type = bytes[pos + 17];
            if (type == 'n') inUse.push_back({*first + i, *offset, *generation});
            else if (type != 'f') return false;
        }
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + pos, bytes.size() - pos);
    const auto prev = text.find("/Prev");
    const auto trailerEnd = text.find("startxref");
    if (prev != std::string_view::npos && (trailerEnd == std::string_view::npos || prev < trailerEnd)) {
        std::uint64_t value = pos + prev + 5;
        skipWhite(bytes, value);
        previous = number(bytes, value);
    }
    return true;
}

RunVerdict pdfRun(ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    constexpr std::uint64_t tailBytes = 2048;
    constexpr std::uint64_t objectHeadBytes = 48;
    const Bytes head = readRun(source, offset, length, 0, 5);
    if (!FieldReader::matches(head, 0, "%PDF-")) return RunVerdict::unknown;
    const std::uint64_t tailOffset = length - std::min(length, tailBytes);
    const Bytes tail = readRun(source, offset, length, tailOffset, tailBytes);
    // Readers look for the end of the document in its last bytes: a run that ends elsewhere is not it.
    const auto startxref = lastKeyword(tail, "startxref");
    if (!startxref) return RunVerdict::broken;
    std::uint64_t pos = *startxref + 9;
    skipWhite(tail, pos);
    std::optional<std::uint64_t> section = number(tail, pos);
    if (!section || *section >= length) return RunVerdict::broken;

    std::vector<XrefEntry> inUse;
    std::vector<std::uint64_t> visited;
    for (int sections = 0; section && sections < maxPDFSections; ++sections) {
        if (std::find(visited.begin(), visited.end(), *section) != visited.end()) break;
        visited.push_back(*section);
        const Bytes bytes = readRun(source, offset, length, *section, maxPDFTableBytes);
        // A cross-reference stream is an object: its entries are compressed and not read here.
        if (!FieldReader::matches(bytes, 0, "xref"))
            return opensObject(bytes, 0, std::nullopt) ? RunVerdict::unknown : RunVerdict::broken;
        std::optional<std::uint64_t> previous;
        // A table that does not read as the standard lays it out is no evidence either way.
        if (!readSection(bytes, inUse, previous)) return RunVerdict::unknown;
        section = previous && *previous < length ? previous : std::nullopt;
    }
    for (std::uint64_t i = 0; i < inUse.size(); ++i) {
        if (!isSampled(i, inUse.size(), maxPDFObjectsChecked)) continue;
        const XrefEntry& entry = inUse[i];
        if (entry.offset >= length) return RunVerdict::broken;
        const Bytes bytes = readRun(source, offset, length, entry.offset, objectHeadBytes);
        if (!opensObject(bytes, entry.object, entry.generation)) return RunVerdict::broken;
    }
    return inUse.empty() ? RunVerdict::unknown : RunVerdict::whole;
}

} // namespace

RunVerdict holdsOneFile(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset, std::uint64_t length,
                        std::uint64_t clusterBytes) {
    if (length == 0 || clusterBytes == 0 || !fitsWithin(offset, length, source.length())) return RunVerdict::unknown;
    using K = RecoveredFileKind;
    switch (kind) {
    case K::zip: case K::docx: case K::xlsx: case K::pptx: return zipRun(source, offset, length);
    case K::mp3: return mp3Run(source, offset, length, clusterBytes);
    case K::pdf: return pdfRun(source, offset, length);
    // No check of the structure here (a JPEG's is the picture's decode).
    case K::jpeg: case K::heic: case K::avif: case K::png: case K::gif: case K::webp: case K::bmp: case K::tiff:
    case K::crw: case K::cr2: case K::cr3: case K::nef: case K::arw: case K::orf: case K::mp4: case K::mov:
    case K::m4a: case K::wav: case K::flac: case K::ogg: case K::doc: case K::rtf: case K::unknown:
        return RunVerdict::unknown;
    }
    return RunVerdict::unknown;
}

} // namespace vantrel::RunStructureCheck
