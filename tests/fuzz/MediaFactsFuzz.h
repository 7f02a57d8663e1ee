#pragma once
// What the fuzz targets of the sound and video container readers share: the reader runs over hostile
// bytes read through fuzz::VolumeByteSource, which aborts the run on any read a device would refuse,
// and what it states must lie within the facts' bounds.

#include "recovery/model/MediaFacts.h"

#include "VolumeByteSource.h"

#include <cstdlib>

namespace vantrel::fuzz {

template <auto Read>
int readMediaFacts(const std::uint8_t* data, std::size_t size) {
    VolumeByteSource source(data, size);
    try {
        const auto facts = Read(source);
        if (facts && facts->durationMilliseconds && *facts->durationMilliseconds > maxMediaMilliseconds) std::abort();
        if (facts && facts->pictureSize && (facts->pictureSize->width < 1 || facts->pictureSize->height < 1)) std::abort();
    } catch (const ByteSourceError&) {
        // The readers ask for nothing past the source's end, so no read may fail.
        std::abort();
    }
    return 0;
}

} // namespace vantrel::fuzz
