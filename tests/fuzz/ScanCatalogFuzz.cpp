// Fuzzes the catalog reader: any bytes either load or are refused with a ScanCatalogError, never a crash;
// a catalog that loads has no repeated ids and writes out to bytes that load again as the same catalog.
#include "Vantrel/catalog/ScanCatalog.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    vantrel::ScanCatalog catalog;
    try {
        catalog = vantrel::ScanCatalog::read(input, "fuzz.vtcat");
    } catch (const vantrel::ScanCatalogError&) {
        return 0;
    }
    std::vector<vantrel::Uuid> ids;
    for (const auto& hit : catalog.hits) ids.push_back(hit.id);
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) std::abort();
    std::stringstream written;
    catalog.encode(written);
    try {
        // Names with bad bytes are written with replacements; everything else comes back as it was.
        const auto again = vantrel::ScanCatalog::read(written, "fuzz.vtcat");
        if (again.hits.size() != catalog.hits.size() || again.source != catalog.source || again.version != catalog.version ||
            again.summary.has_value() != catalog.summary.has_value())
            std::abort();
    } catch (const vantrel::ScanCatalogError&) {
        std::abort();
    }
    return 0;
}
