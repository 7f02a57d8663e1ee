// Fuzz target: a medium's identity read from hostile first sectors (partition maps, boot sectors,
// superblocks, the exFAT root folder's label entry), and the stored form read back from what was
// written and from the input itself. Reads go through fuzz::VolumeByteSource, which aborts the run on
// any read a device would refuse.
#include "recovery/filesystems/partitions/MediumIdentityReader.h"

#include "VolumeByteSource.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    fuzz::VolumeByteSource source(data, size);
    for (const bool head : {false, true}) {
        MediumIdentityReader::Options options;
        options.fingerprintHeadWhenUnknown = head;
        const auto identity = MediumIdentityReader::read(source, options);
        if (identity.volumes.size() > MediumIdentity::maxVolumes) std::abort();
        // What this program writes it reads back unchanged.
        if (!identity.fingerprint.empty() && !(MediumIdentity::fromJson(identity.toJson()) == identity)) std::abort();
        // Labels are text: the stored form dumps without a replacement.
        (void)identity.toJson().dump();
    }
    const auto json = nlohmann::json::parse(data, data + size, nullptr, false);
    try {
        (void)MediumIdentity::fromJson(json);
    } catch (const MediumIdentityDecodingError&) {
    }
    return 0;
}
