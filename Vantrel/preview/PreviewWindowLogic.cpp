#include "Vantrel/preview/PreviewWindowLogic.h"

#include "Vantrel/views/ResultsPaneLogic.h"

#include <QCoreApplication>

#include <algorithm>

namespace vantrel::PreviewWindowLogic {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("PreviewWindow", text); }

} // namespace

Mode modeFor(RecoveredFileKind kind) {
    if (FileKind::isImage(kind)) return Mode::picture;
    if (kind == RecoveredFileKind::pdf) return Mode::document;
    if (FileKind::isAudio(kind) || FileKind::isVideo(kind)) return Mode::media;
    return Mode::facts;
}

bool isDrawn(Mode mode) { return mode == Mode::picture || mode == Mode::document; }

QString windowTitle(const RecoveredHit& hit) {
    return tr("Preview") + QStringLiteral(" — ") + QString::fromStdString(hit.suggestedName);
}

QString factsText(const RecoveredHit& hit) {
    QStringList lines;
    lines << tr("Name: %1").arg(QString::fromStdString(hit.suggestedName));
    lines << tr("Kind: %1").arg(ResultsPaneLogic::typeText(hit.kind));
    lines << tr("Size: %1").arg(ResultsPaneLogic::sizeText(hit.byteLength));
    lines << tr("Source: %1").arg(ResultsPaneLogic::sourceLabel(hit.source));
    lines << tr("Integrity: %1").arg(QString::fromUtf8(HitIntegrityName::displayName(hit.integrity).data(), static_cast<qsizetype>(HitIntegrityName::displayName(hit.integrity).size())));
    return lines.join(QLatin1Char('\n'));
}

QString pagesText(int pages) { return QCoreApplication::translate("PreviewWindow", "%n page(s)", nullptr, pages); }

QString durationText(std::uint64_t milliseconds) {
    const std::uint64_t seconds = milliseconds / 1000;
    const auto two = [](std::uint64_t value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    if (seconds >= 3600) return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(two(seconds / 60 % 60), two(seconds % 60));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
}

QString mediaFactsText(const MediaFacts& facts) {
    QStringList lines;
    if (facts.durationMilliseconds) {
        const QString duration = durationText(*facts.durationMilliseconds);
        lines << (facts.durationEstimated ? tr("Duration: about %1") : tr("Duration: %1")).arg(duration);
    }
    if (facts.pictureSize)
        lines << tr("Picture size: %1 × %2").arg(facts.pictureSize->width).arg(facts.pictureSize->height);
    return lines.join(QLatin1Char('\n'));
}

QString hexView(ByteView bytes) {
    const std::size_t count = std::min(bytes.size(), hexViewBytes);
    QStringList lines;
    for (std::size_t line = 0; line < count; line += hexBytesPerLine) {
        QString hex;
        QString characters;
        for (std::size_t i = line; i < line + hexBytesPerLine; ++i) {
            if (i < count) {
                const std::uint8_t byte = bytes[i];
                hex += QStringLiteral("%1 ").arg(byte, 2, 16, QLatin1Char('0'));
                characters += byte >= 0x20 && byte < 0x7F ? QChar(byte) : QLatin1Char('.');
            } else {
                hex += QStringLiteral("   ");
            }
        }
        lines << QStringLiteral("%1  %2 %3").arg(line, 8, 16, QLatin1Char('0')).arg(hex, characters);
    }
    return lines.join(QLatin1Char('\n'));
}

QString preparingNote() { return tr("Preparing preview…"); }
QString undrawnNote() { return tr("This file cannot be drawn: its bytes may be damaged or cut short."); }
QString partialNote() { return tr("Partial picture: the file is damaged or cut; only the part shown could be decoded."); }
QString mediaNote() { return tr("Sound and video are not played in the preview. Open the file with the default application to play it."); }
QString factsNote() { return tr("There is no preview for this kind of file."); }
QString notOpenedNote() { return tr("No application could open this file. Recover it and open it from its folder."); }
QString openTitle() { return tr("&Open with default application"); }
QString closeTitle() { return tr("&Close"); }

} // namespace vantrel::PreviewWindowLogic
