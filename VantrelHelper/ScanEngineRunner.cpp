#include "VantrelHelper/ScanEngineRunner.h"

#include "VantrelHelper/ParallelJPEGWalks.h"
#include "VantrelHelper/ReadAheadByteSource.h"
#include "recovery/engine/RecoveryEngine.h"

#include <thread>

namespace vantrel::ScanEngineRunner {

HelperScanService::ScanRunner runner() {
    return [](ByteSource& source, ScanMode mode, const RecoveryFilters& filters, const std::function<bool()>& shouldCancel,
              const std::function<void(const ScanProgress&)>& onProgress,
              const std::function<void(const RecoveredHit&)>& onHit, VolumeCache& volumes) {
        const RecoveryEngine engine;
        // The carver's next window is read while the current one is searched.
        ReadAheadByteSource readAhead(source);
        // Small pictures are decoded on the other processors while the carve goes on.
        ParallelJPEGWalks walks(ParallelJPEGWalks::threadsFor(std::thread::hardware_concurrency()));
        engine.scan(readAhead, mode, filters, shouldCancel, onProgress, onHit, &volumes, &walks);
    };
}

} // namespace vantrel::ScanEngineRunner
