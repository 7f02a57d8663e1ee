#pragma once
// An attached, mounted, ejectable disk as the volume list shows it, for the catalog tests.

#include "support/volumes/ExternalVolume.h"

#include <string>

namespace vantrel::test {

inline ExternalVolume sampleVolume(const std::string& bsdName, std::uint64_t size, const std::string& name = "CARD") {
    ExternalVolume result;
    result.name = name;
    result.bsdName = bsdName;
    result.sizeBytes = size;
    result.isEjectable = true;
    result.isMounted = true;
    return result;
}

} // namespace vantrel::test
