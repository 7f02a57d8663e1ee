#include "Vantrel/verify/IntegrityKinds.h"

namespace vantrel::IntegrityKinds {

bool isCheckable(RecoveredFileKind kind) {
    switch (kind) {
    case RecoveredFileKind::jpeg:
    case RecoveredFileKind::heic:
    case RecoveredFileKind::avif:
    case RecoveredFileKind::png:
    case RecoveredFileKind::gif:
    case RecoveredFileKind::webp:
    case RecoveredFileKind::bmp:
    case RecoveredFileKind::tiff:
    case RecoveredFileKind::crw:
    case RecoveredFileKind::cr2:
    case RecoveredFileKind::cr3:
    case RecoveredFileKind::nef:
    case RecoveredFileKind::arw:
    case RecoveredFileKind::orf:
    case RecoveredFileKind::pdf:
    case RecoveredFileKind::zip:
    case RecoveredFileKind::mp3:
        return true;
    case RecoveredFileKind::mp4:
    case RecoveredFileKind::mov:
    case RecoveredFileKind::m4a:
    case RecoveredFileKind::wav:
    case RecoveredFileKind::flac:
    case RecoveredFileKind::ogg:
    case RecoveredFileKind::docx:
    case RecoveredFileKind::xlsx:
    case RecoveredFileKind::pptx:
    case RecoveredFileKind::doc:
    case RecoveredFileKind::rtf:
    case RecoveredFileKind::unknown:
        return false;
    }
    return false;
}

} // namespace vantrel::IntegrityKinds
