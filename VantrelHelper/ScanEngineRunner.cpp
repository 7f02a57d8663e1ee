#include "VantrelHelper/ScanEngineRunner.h"

#include "VantrelHelper/ReadAheadByteSource.h"
#include "recovery/engine/RecoveryEngine.h"

namespace vantrel::ScanEngineRunner {

HelperScanService::ScanRunner runner() {
    return [](ByteSource& source, ScanMode mode, const RecoveryFilters& filters, const std::function<bool()>& shouldCancel,
              const std::function<void(const ScanProgress&)>& onProgress,
              const std::function<void(const RecoveredHit&)>& onHit, VolumeCache& volumes) {
        const RecoveryEngine engine;
        // The carver's next window is read while the current one is searched.
        ReadAheadByteSource readAhead(source);
        engine.scan(readAhead, mode, filters, shouldCancel, onProgress, onHit, &volumes);
    };
}

} // namespace vantrel::ScanEngineRunner
