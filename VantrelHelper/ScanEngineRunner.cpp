#include "VantrelHelper/ScanEngineRunner.h"

#include "VantrelHelper/HelperError.h"

#include <cerrno>

namespace vantrel::ScanEngineRunner {

HelperScanService::ScanRunner runner() {
    return [](ByteSource&, ScanMode, const RecoveryFilters&, const std::function<bool()>&,
              const std::function<void(const ScanProgress&)>&, const std::function<void(const RecoveredHit&)>&) {
        auto error = ErrorObject::posix(ENOSYS);
        error.message = "The scan engine is not part of this build";
        throw HelperError(std::move(error));
    };
}

} // namespace vantrel::ScanEngineRunner
