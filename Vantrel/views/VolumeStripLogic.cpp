#include "Vantrel/views/VolumeStripLogic.h"

#include <QCoreApplication>
#include <QStringList>

namespace vantrel::VolumeStripLogic {
namespace {

QString tr(const char* text) { return QCoreApplication::translate("VolumeStripView", text); }
QString q(const std::string& text) { return QString::fromStdString(text); }
QString size(const ExternalVolume& volume) { return q(volume.displaySize()); }

// A disk none of whose volumes is mounted. An image file is never mounted by anyone, so that says
// nothing about it: it reads like a mounted disk.
bool showsUnmounted(const ExternalVolume& volume) { return !volume.isMounted && !volume.isImageFile(); }

QStringList tooltipLines(const ExternalVolume& volume) {
    QStringList lines;
    lines << QStringLiteral("%1 (%2)").arg(q(volume.name), q(volume.bsdName));
    lines << size(volume);
    if (volume.fileSystemName) lines << q(*volume.fileSystemName);
    if (volume.partitionScheme) lines << tr("Partition: %1").arg(q(*volume.partitionScheme));
    if (volume.protocolName) lines << q(*volume.protocolName);
    return lines;
}

} // namespace

QString emptyText(bool showInternal) {
    return showInternal ? tr("No disks found") : tr("Connect an SD card or external drive");
}

bool isSelected(const ExternalVolume& volume, const std::optional<ExternalVolume>& selected) {
    return selected && selected->bsdName == volume.bsdName;
}

QString symbolName(const ExternalVolume& volume) {
    const QString fileSystem = q(volume.fileSystemName.value_or(std::string())).toUpper();
    if (fileSystem.contains(QLatin1String("APFS")) || fileSystem.contains(QLatin1String("HFS")))
        return QStringLiteral("internaldrive.fill");
    return QStringLiteral("sdcard.fill");
}

QString subtitle(const ExternalVolume& volume) {
    if (volume.fileSystemName && !volume.fileSystemName->empty())
        return QStringLiteral("%1 \u00B7 %2").arg(q(*volume.fileSystemName), size(volume));
    if (!showsUnmounted(volume)) return size(volume);
    return tr("Unmounted · %1").arg(size(volume));
}

ColorRole subtitleColor(const ExternalVolume& volume) {
    return showsUnmounted(volume) ? ColorRole::orange : ColorRole::secondary;
}

QString tileTooltip(const ExternalVolume& volume) {
    return tooltipLines(volume).join(QLatin1Char('\n'));
}

std::vector<CardLine> cardLines(const ExternalVolume& volume) {
    using Style = CardLine::Style;
    std::vector<CardLine> lines;
    lines.push_back({q(volume.name), ColorRole::primary, Style::name});
    lines.push_back({size(volume), ColorRole::secondary, Style::size});
    if (volume.fileSystemName && !volume.fileSystemName->empty())
        lines.push_back({q(*volume.fileSystemName), ColorRole::secondary, Style::detail});
    if (volume.partitionScheme)
        lines.push_back({tr("Partition: %1").arg(q(*volume.partitionScheme)), ColorRole::tertiary, Style::detail});
    if (volume.protocolName && !volume.protocolName->empty())
        lines.push_back({q(*volume.protocolName), ColorRole::tertiary, Style::detail});
    if (showsUnmounted(volume)) lines.push_back({tr("Unmounted"), ColorRole::orange, Style::warning});
    return lines;
}

QString cardTooltip(const ExternalVolume& volume) {
    QStringList lines = tooltipLines(volume);
    if (showsUnmounted(volume)) lines << tr("Unmounted");
    return lines.join(QLatin1Char('\n'));
}

QString noSelectionText() { return tr("Select a disk"); }

} // namespace vantrel::VolumeStripLogic
