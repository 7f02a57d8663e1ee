#pragma once
// Which kinds have a validator: the one answer the application (which skips the other kinds unread) and
// the verifying child process (which judges the bytes) share.

#include "recovery/model/RecoveredFileKind.h"

namespace vantrel::IntegrityKinds {

// The kinds that have a validator: the pictures, PDF, ZIP and MP3. Every other kind is skipped unread.
bool isCheckable(RecoveredFileKind kind);

} // namespace vantrel::IntegrityKinds
