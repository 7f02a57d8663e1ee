// Fuzz target: the check that a run of clusters holds one ZIP, MP3 or PDF file. The first byte picks
// the kind and the cluster size; the rest is the device, read through fuzz::VolumeByteSource, which
// aborts the run on any read a device would refuse. The run is the device after a 512-byte gap, so
// that a read before its start would show.
#include "recovery/carving/RunStructureCheck.h"

#include "VolumeByteSource.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vantrel;
    constexpr std::uint64_t gap = 512;
    if (size < 1 + gap) return 0;
    constexpr RecoveredFileKind kinds[] = {RecoveredFileKind::zip, RecoveredFileKind::mp3, RecoveredFileKind::pdf,
                                           RecoveredFileKind::docx};
    const RecoveredFileKind kind = kinds[data[0] & 3];
    const std::uint64_t clusterBytes = std::uint64_t{512} << ((data[0] >> 2) & 7);
    fuzz::VolumeByteSource source(data + 1, size - 1);
    source.limitTo(gap, size - 1 - gap);
    try {
        static_cast<void>(RunStructureCheck::holdsOneFile(kind, source, gap, size - 1 - gap, clusterBytes));
    } catch (const ByteSourceError&) {
        std::abort();
    }
    return 0;
}
