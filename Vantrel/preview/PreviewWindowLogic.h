#pragma once
// What the preview window shows of a hit, as functions of plain values: how the kind is shown, the
// facts of the hit, the pages of a document, the hex view of the first bytes and the notes that say
// why something is not shown. Every text that comes from a disk is shown as plain text.

#include "recovery/bytesource/FieldReaders.h"
#include "recovery/model/MediaFacts.h"
#include "recovery/model/RecoveredHit.h"

#include <QString>

#include <cstddef>

namespace vantrel::PreviewWindowLogic {

// Pictures and camera raws are drawn, PDF shows its first page, sound and video are opened with the
// default application, every other kind shows its facts and first bytes.
enum class Mode : std::uint8_t { picture, document, media, facts };
Mode modeFor(RecoveredFileKind kind);
bool isDrawn(Mode mode);

// The bytes the hex view shows at most.
inline constexpr std::size_t hexViewBytes = 256;
inline constexpr std::size_t hexBytesPerLine = 16;

QString windowTitle(const RecoveredHit& hit);
// One line each: name, kind, size, source, integrity.
QString factsText(const RecoveredHit& hit);
QString pagesText(int pages);
// A sound's or video's duration ("Duration: 3:05", "about" before an estimate) and a video's picture
// size, one line each; nothing for what the container does not state.
QString mediaFactsText(const MediaFacts& facts);
// "1:05", "12:00", "1:02:03": minutes and seconds, hours only when there are any.
QString durationText(std::uint64_t milliseconds);
// Lines of "offset  hex bytes  characters", printable ASCII shown and every other byte as a dot; at
// most hexViewBytes of bytes.
QString hexView(ByteView bytes);
// Why nothing is drawn, or what to do instead; nothing when the drawing is shown.
QString preparingNote();
QString undrawnNote();
// Under a picture of which only a part decoded.
QString partialNote();
QString mediaNote();
QString factsNote();
// "Open with default application" found no application.
QString notOpenedNote();
// Button titles, each with its Alt mnemonic (the buttons leave the arrow keys to the window).
QString openTitle();
QString closeTitle();

} // namespace vantrel::PreviewWindowLogic
