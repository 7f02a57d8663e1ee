#pragma once
// Reads any byte range of a device around a carve candidate while windows of the device are already in
// memory: bytes that lie in a held window come from it, only the rest goes to the byte source.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/carving/CandidateReader.h"

#include <array>
#include <optional>
#include <cstdint>

namespace vantrel {

// A reader borrows its windows and its source: it copies no window bytes when it is built, and the carver
// keeps both alive for as long as the reader is used. It holds up to two windows, the current one and the
// window after it when that has already been read, so that a file running past the current window's end is
// served from memory. Every read still goes to the source in one call per gap between held windows, through
// ByteSource::readInto, so a read-ahead source can serve those as well.
class WindowedReader final : public CandidateReader {
public:
    // A window of the device held in memory: its bytes and the device offset of its first byte.
    struct Window {
        ByteView bytes;
        std::uint64_t offset = 0;
    };

    // The bytes on both sides of the seam between the current window and the next, kept contiguous by their
    // owner from reader to reader: the heads of the candidates close to the current window's end all lie
    // across it, and are then served from one copy instead of a copy each. The buffer is sized for the
    // whole reach when the windows change and never moves after that, so a view of it stays valid while
    // later reads fill more of it; only the bytes asked for are copied, each once.
    struct Seam {
        explicit Seam(std::uint64_t reach) : reachBytes(reach) {}
        std::uint64_t reachBytes;  // bytes taken on each side of the seam, at most
        Bytes bytes;
        std::uint64_t offset = 0;  // device offset of bytes[0]
        // The device range [filledFrom, filledTo) of bytes holds the windows' bytes; it always contains the
        // seam when it is not empty, and is empty (both at the seam) right after the windows change.
        std::uint64_t filledFrom = 0;
        std::uint64_t filledTo = 0;
        Window current;  // the windows the bytes were taken from; nothing when none were
        Window next;
    };

    WindowedReader(ByteSource& source, Window current);
    WindowedReader(ByteSource& source, Window current, Window next, Seam* seam = nullptr);

    ByteSource& source() const { return *m_source; }
    const Window& window() const { return m_windows[0]; }

    // The bytes of [offset, offset + count): a view into a held window when the range lies wholly inside
    // one; otherwise assembled in scratch (replacing its contents) and a view of scratch. A count of 0 gives
    // an empty view without a read. At the end of the device the result is shorter than asked; it is never
    // padded. A failure of the source is passed on, and nothing partial is returned.
    ByteView read(std::uint64_t offset, std::uint64_t count, Bytes& scratch) override;

    // From a held window that contains offset: a view of it up to the asked end or the window's end,
    // whichever comes first (the next call then goes on in the next window, in place). Otherwise read.
    ByteView readUpTo(std::uint64_t offset, std::uint64_t count, Bytes& scratch) override;

private:
    // The held window that contains position, or nullptr; lies in [offset, end).
    const Window* windowAt(std::uint64_t position) const;
    // Start of the first held window that begins after position, or UINT64_MAX.
    std::uint64_t nextWindowStart(std::uint64_t position) const;

    // The seam's bytes when [offset, end) crosses the seam and lies within reach of it, made when they are
    // not those of the windows held; nothing otherwise.
    std::optional<ByteView> fromSeam(std::uint64_t offset, std::uint64_t end);

    ByteSource* m_source;
    std::array<Window, 2> m_windows;
    Seam* m_seam;
};

} // namespace vantrel
