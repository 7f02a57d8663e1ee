#include "recovery/carving/formats/MediaFactsReader.h"

#include "recovery/carving/formats/FLACMediaFacts.h"
#include "recovery/carving/formats/ISOMovieFacts.h"
#include "recovery/carving/formats/MP3MediaFacts.h"
#include "recovery/carving/formats/OggMediaFacts.h"
#include "recovery/carving/formats/RIFFMediaFacts.h"

namespace vantrel::MediaFactsReader {

std::optional<MediaFacts> read(RecoveredFileKind kind, ByteSource& source) {
    std::optional<MediaFacts> facts;
    switch (kind) {
    case RecoveredFileKind::mp4:
    case RecoveredFileKind::mov:
    case RecoveredFileKind::m4a: facts = ISOMovieFacts::read(source); break;
    case RecoveredFileKind::wav: facts = RIFFMediaFacts::read(source); break;
    case RecoveredFileKind::ogg: facts = OggMediaFacts::read(source); break;
    case RecoveredFileKind::mp3: facts = MP3MediaFacts::read(source); break;
    case RecoveredFileKind::flac: facts = FLACMediaFacts::read(source); break;
    default: return std::nullopt;
    }
    if (facts && facts->empty()) return std::nullopt;
    return facts;
}

} // namespace vantrel::MediaFactsReader
