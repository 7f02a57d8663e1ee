// Fuzz target: the Ogg page walk over hostile bytes. The first byte picks the chunk size and how much
// of the rest the walk may use; the rest is the file, read through fuzz::VolumeByteSource, which aborts
// the run on any read a device would refuse.
#include "recovery/carving/formats/OggPageWalk.h"
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
        OggPageWalk::beginsFile(input.head());
        const auto length = OggPageWalk::walk(input.cursor());
        // A file ends at a page's end, within the limit, after at least one page.
        if (length && (*length > limit || *length < 27)) std::abort();
    } catch (const ByteSourceError&) {
        // The cursor asks for nothing past the source's end, so no read may fail.
        std::abort();
    }
    return 0;
}
