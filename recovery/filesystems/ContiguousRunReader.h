#pragma once
// Whether a run of consecutive clusters holds one file: the walks ask it of a deleted file whose
// clusters follow one another only by assumption (its chain was cleared). The answer comes from the
// file's own structure (the carver's RunStructureCheck), supplied by the caller like the picture
// readers, so that the walks do not depend on the format parsers.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/RecoveredFileKind.h"

#include <cstdint>
#include <functional>

namespace vantrel {

enum class RunVerdict : std::uint8_t {
    whole,    // the structure that was read runs through the run as one file
    broken,   // it does not: the run holds pieces of more than one file, or a file cut short
    unknown,  // the kind has no check, or its structure could not be read
};

// The verdict on the length bytes at offset, read as one file of the kind stored in clusters of
// clusterBytes from offset on (RunCheck in the carving library); unknown where the kind says nothing
// cheaply. thorough asks for the whole structure to be read even where a cheaper sign already speaks for
// the run. A failed read throws. May be empty: then nothing is checked.
using ContiguousRunCheck = std::function<RunVerdict(RecoveredFileKind kind, ByteSource& source, std::uint64_t offset,
                                                    std::uint64_t length, std::uint64_t clusterBytes, bool thorough)>;

} // namespace vantrel
