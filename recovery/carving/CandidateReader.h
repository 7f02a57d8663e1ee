#pragma once
// How the length rules read the bytes of one carve candidate beyond what the carver already holds.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>

namespace vantrel {

// Rules for implementers (the carver's windowed reader is one):
// - read(offset, count, scratch) gives the device bytes [offset, offset + count); fewer only where the
//   device ends, never padded; a count of 0 gives an empty view without touching the device;
// - the view points either into memory the reader already holds (the current window, no copy) or into
//   scratch, which the call may overwrite; it stays valid while scratch is untouched and the reader lives;
// - a failed read throws the byte source's error (ByteSourceError or PosixError) and returns nothing partial.
class CandidateReader {
public:
    virtual ~CandidateReader() = default;
    virtual ByteView read(std::uint64_t offset, std::uint64_t count, Bytes& scratch) = 0;

    // The same, except that it may give fewer bytes than asked where the bytes the reader holds in memory
    // end sooner, so that a forward walk reads them in place instead of a copy of them; never none where
    // read would give some. By default, what read gives.
    virtual ByteView readUpTo(std::uint64_t offset, std::uint64_t count, Bytes& scratch) {
        return read(offset, count, scratch);
    }
};

// A candidate reader straight over a byte source: every read goes to the source. Requests are clamped to
// the source's length first, so a source that refuses reads past its end (StrictByteSource in
// the tests) still behaves like a device there.
class SourceCandidateReader final : public CandidateReader {
public:
    explicit SourceCandidateReader(ByteSource& source) : m_source(source) {}
    ByteView read(std::uint64_t offset, std::uint64_t count, Bytes& scratch) override;

private:
    ByteSource& m_source;
};

} // namespace vantrel
