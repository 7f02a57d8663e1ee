#pragma once
// The fixed table of file signatures that every scan, extraction and the application use.

#include "recovery/carving/FileSignature.h"

#include <vector>

namespace vantrel::SignatureCatalog {

// The 22 rows, in table order (row 0 jpeg ... row 21 ogg); built once on first use.
const std::vector<FileSignature>& carveMVP();

// The default signature list: the same rows in the same order, held as its own copy.
const std::vector<FileSignature>& defaults();

} // namespace vantrel::SignatureCatalog
