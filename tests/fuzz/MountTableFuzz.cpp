// Fuzzes the mountinfo parser: any text parses without a crash, and every entry it returns has a target.
#include "platform/disks/MountTable.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vantrel::MountTable::parse(text)) {
        if (entry.target.empty() || entry.source.empty() || entry.fileSystemType.empty()) std::abort();
    }
    (void)vantrel::MountTable::unescape(text);
    return 0;
}
