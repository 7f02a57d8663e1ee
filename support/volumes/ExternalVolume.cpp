#include "support/volumes/ExternalVolume.h"

#include "platform/text/ByteCountText.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace vantrel {

std::string ExternalVolume::devicePath() const { return isImageFile() ? bsdName : "/dev/" + bsdName; }

std::string ExternalVolume::rawDevicePath() const { return devicePath(); }

bool ExternalVolume::supportsQuickUndeleteScan() const {
    std::string lowered = fileSystemName.value_or("");
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered.find("fat") != std::string::npos;
}

std::string ExternalVolume::displaySize() const {
    constexpr auto largestSigned = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return ByteCountText::fileStyle(std::min(sizeBytes, largestSigned));
}

} // namespace vantrel
