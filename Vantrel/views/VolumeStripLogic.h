#pragma once
// What the volume strip shows of each volume: the tile's symbol, second line and help text, the
// summary card's lines and help text, and the text of an empty strip. The widget only applies these.

#include "Vantrel/views/ViewColors.h"

#include "support/volumes/ExternalVolume.h"

#include <QString>

#include <optional>
#include <vector>

namespace vantrel::VolumeStripLogic {

// "No disks found" while internal disks are shown, else "Connect an SD card or external drive".
QString emptyText(bool showInternal);
// The tile is selected when the selection is a volume of the same kernel name.
bool isSelected(const ExternalVolume& volume, const std::optional<ExternalVolume>& selected);

// "internaldrive.fill" for APFS and HFS file systems (any letter case), else "sdcard.fill".
QString symbolName(const ExternalVolume& volume);
// "FAT · 31.91 GB", the size alone for a mounted volume (or an image file, which nobody mounts)
// without a file-system name, else "Unmounted · 31.91 GB".
QString subtitle(const ExternalVolume& volume);
// Secondary while mounted and for an image file, orange otherwise.
ColorRole subtitleColor(const ExternalVolume& volume);
// Name (kernel name), size, file system, partition scheme, protocol, one a line.
QString tileTooltip(const ExternalVolume& volume);

struct CardLine {
    QString text;
    ColorRole color;
    enum class Style : std::uint8_t { name, size, detail, warning } style;
};
// The card's lines for the selected volume, in order.
std::vector<CardLine> cardLines(const ExternalVolume& volume);
// The tile's help text and, for an unmounted disk (not an image file), a last line "Unmounted".
QString cardTooltip(const ExternalVolume& volume);
QString noSelectionText();

} // namespace vantrel::VolumeStripLogic
