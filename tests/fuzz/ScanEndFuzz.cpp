// Fuzzes the reading of a catalog summary's first line (ScanEnd::fromSummary): any bytes give an end
// or nothing, never a crash; an end read back from its own summary is the same end.
#include "Vantrel/model/ScanEnd.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string summary(reinterpret_cast<const char*>(data), size);
    const auto end = vantrel::ScanEnd::fromSummary(summary);
    if (!end) return 0;
    if (end->count < 0 || end->unreadableSectors < 0 || vantrel::ScanEnd::fromSummary(end->summary()) != end) std::abort();
    return 0;
}
