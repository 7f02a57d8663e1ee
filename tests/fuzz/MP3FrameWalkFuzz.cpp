// Fuzz target: the MP3 frame walk over hostile bytes. The first byte picks the chunk size and how much
// of the rest the walk may use; the rest is the file, read through fuzz::VolumeByteSource, which aborts
// the run on any read a device would refuse.
#include "recovery/carving/formats/MP3FrameWalk.h"
#include "tests/fixtures/MemoryCursor.h"

#include "VolumeByteSource.h"

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    if (size < 1) return 0;
    const std::uint64_t limit = (size - 1) >> (data[0] >> 6);
    test::MemoryCursor input(std::make_unique<fuzz::VolumeByteSource>(data + 1, size - 1), 0, limit, 256,
                             std::uint64_t{16} << (data[0] & 0x0F));
    try {
        const auto tag = MP3FrameWalk::id3v2Length(input.head());
        const auto length = MP3FrameWalk::walk(input.cursor());
        // A file holds its whole tag and at least the smallest frames after it, within the limit.
        if (length && (!tag || *length > limit || *length < *tag + 4 * MP3FrameWalk::minimumFrames)) std::abort();
        // A run found anywhere lies within the limit and holds its frames.
        const auto run = MP3FrameWalk::firstRun(input.cursor(), tag.value_or(0));
        if (run && (run->end > limit || run->start > run->end || run->frames < MP3FrameWalk::minimumFrames)) std::abort();
    } catch (const ByteSourceError&) {
        std::abort();
    }
    return 0;
}
