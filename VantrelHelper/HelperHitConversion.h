#pragma once
// The helper's record-from-hit rule: a RecoveredHit flattened into the HelperHitDTO that crosses the
// connection. It lives with the helper, which links both the recovery library and VantrelSupport, so
// that VantrelSupport stays free of the recovery library. HelperScanService sends every hit it finds
// through it. The reverse belongs to the application's client.

#include "recovery/model/RecoveredHit.h"
#include "support/HelperHitDTO.h"

namespace vantrel::HelperHitConversion {

// Kinds, sources and file systems become their stored names; no picture size gives 0 and 0; no
// cluster hint gives 0, 0 and "". Identity, integrity and capture date are dropped.
HelperHitDTO record(const RecoveredHit& hit);
// The same record as views of the hit's fields and the stored names, for writing it without a copy; valid
// while the hit is.
HelperHitView view(const RecoveredHit& hit);

} // namespace vantrel::HelperHitConversion
