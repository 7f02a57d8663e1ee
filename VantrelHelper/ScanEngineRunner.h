#pragma once
// The scan the helper runs for a scan request: the recovery engine with the shipped signature table,
// 512-byte sectors and 4 MiB windows.

#include "VantrelHelper/HelperScanService.h"

namespace vantrel::ScanEngineRunner {

HelperScanService::ScanRunner runner();

} // namespace vantrel::ScanEngineRunner
