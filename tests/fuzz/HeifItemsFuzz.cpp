// Fuzz target: the reader of a HEIF file's coded pictures on arbitrary bytes.
#include "Vantrel/verify/HeifItems.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    const ByteView buffer(data, size);
    const auto primary = HeifItems::primary(buffer);
    if (!primary) return 0;
    if (primary->items.empty()) std::abort();
    for (const auto& item : primary->items) {
        // The configuration is a view into the bytes; the extents are only numbers.
        if (item.configuration.empty() || item.configuration.data() < data ||
            item.configuration.data() + item.configuration.size() > data + size)
            std::abort();
        if (HeifItems::inside(item, size))
            for (const auto& extent : item.extents)
                if (extent.offset > size || extent.length > size - extent.offset) std::abort();
    }
    return 0;
}
