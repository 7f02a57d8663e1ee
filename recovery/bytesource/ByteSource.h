#pragma once
// The read interface every reader of the recovery library goes through: a length and a throwing
// read of a byte range.

#include "recovery/bytesource/ByteSourceError.h"
#include "recovery/bytesource/FieldReaders.h"

#include <cstdint>

namespace vantrel {

// Rules for implementers:
// - a negative count, or an offset at or past the end with a count above 0, throws ByteSourceError::outOfBounds;
// - a count of 0 gives an empty buffer at any offset;
// - a request that runs past the end is clamped to the end, never padded;
// - a failure throws (ByteSourceError or PosixError); a read never returns bytes that were not read.
// A source is used on one thread at a time unless the implementation says otherwise. FileByteSource and
// MemoryByteSource both clamp at the end; the tests' StrictByteSource, which refuses any range not wholly
// inside its bytes, is the one source that does not, for tests that check a reader's own bounds.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The length when the source was opened; it never changes.
    virtual std::uint64_t length() const = 0;

    // The device's logical block size, the unit its partition maps count in; 512 when the source
    // cannot tell (memory, an image file).
    virtual std::uint64_t blockSize() const { return 512; }

    // The length the device has now, asked afresh: below length() when it shrank or went away after it
    // was opened. A source that cannot change gives length().
    virtual std::uint64_t currentLength() { return length(); }

    // Reads into out, replacing its contents and reusing its capacity.
    virtual void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) = 0;

    // Tells the source that a readInto of exactly (offset, count) will come, after other reads perhaps, so
    // that a source that reads ahead on a thread of its own can start on it now. It changes nothing any
    // read gives or throws; a source that does not read ahead ignores it.
    virtual void willRead(std::uint64_t offset, std::int64_t count) {
        static_cast<void>(offset);
        static_cast<void>(count);
    }

    Bytes read(std::uint64_t offset, std::int64_t count) {
        Bytes out;
        readInto(offset, count, out);
        return out;
    }
};

} // namespace vantrel
