// Fuzz target: the EXIF block search of every picture kind and the date walk over what it finds.
#include "recovery/carving/formats/EXIFBlock.h"
#include "recovery/carving/formats/TIFFMetadata.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    for (const RecoveredFileKind kind : FileKind::allKinds()) {
        const auto block = EXIFBlock::find(kind, buffer);
        if (!block) continue;
        if (block->data() < buffer.data() || block->data() + block->size() > buffer.data() + buffer.size()) std::abort();
        const auto times = TIFFMetadata::captureTimes(*block);
        for (const auto* text : {&times.dateTime, &times.dateTimeOriginal, &times.offsetTimeOriginal})
            if (*text && (*text)->size() > 64) std::abort();
    }
    TIFFMetadata::captureTimes(buffer);
    return 0;
}
