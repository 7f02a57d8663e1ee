#include "Vantrel/sheets/ScanModeLogic.h"

#include <QCoreApplication>

#include <algorithm>

namespace vantrel::ScanModeLogic {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("ScanModeSheet", text); }

} // namespace

QString title(ScanMode mode) {
    switch (mode) {
    case ScanMode::standard: return tr("Standard");
    case ScanMode::quickUndelete: return tr("Quick (deleted files only)");
    }
    return {};
}

QString description(ScanMode mode) {
    switch (mode) {
    case ScanMode::standard:
        return tr("Looks for deleted files, then searches the whole card. Existing files are not listed twice.");
    case ScanMode::quickUndelete:
        return tr("Faster: only looks for deleted files. Skips the full content scan — useful after a few recent "
                  "deletions.");
    }
    return {};
}

std::vector<ScanMode> availableModes(const std::optional<ExternalVolume>& volume) {
    if (volume && volume->supportsQuickUndeleteScan()) {
        const auto& all = ScanModeName::allCases();
        return {all.begin(), all.end()};
    }
    return {ScanMode::standard};
}

ScanMode initialMode(ScanMode preferred, const std::optional<ExternalVolume>& volume) {
    const auto modes = availableModes(volume);
    if (preferred == ScanMode::quickUndelete && std::ranges::find(modes, preferred) != modes.end()) return preferred;
    return ScanMode::standard;
}

} // namespace vantrel::ScanModeLogic
