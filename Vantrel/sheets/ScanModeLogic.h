#pragma once
// What the scan-mode sheet offers: the modes for the selected volume, their texts, and the mode it
// opens with.

#include "recovery/engine/ScanMode.h"
#include "support/volumes/ExternalVolume.h"

#include <QString>

#include <optional>
#include <vector>

namespace vantrel::ScanModeLogic {

QString title(ScanMode mode);
QString description(ScanMode mode);
// Both modes for a volume that supports the quick scan (FAT and exFAT), else the standard one only.
std::vector<ScanMode> availableModes(const std::optional<ExternalVolume>& volume);
// The preferred mode where the volume offers it, else standard.
ScanMode initialMode(ScanMode preferred, const std::optional<ExternalVolume>& volume);

} // namespace vantrel::ScanModeLogic
