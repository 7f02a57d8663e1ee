#pragma once
// Reads of on-disk structures that behave like a device at its end (fewer bytes, never an error for
// running past it), and the rule for which read failures a walk may count and pass over.

#include "recovery/bytesource/ByteSource.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

namespace vantrel::SourceReads {

// Up to count bytes at offset: fewer when the source ends first, none at or past its end.
void readAvailableInto(ByteSource& source, std::uint64_t offset, std::uint64_t count, Bytes& out);
Bytes readAvailable(ByteSource& source, std::uint64_t offset, std::uint64_t count);

// Whether the exception in flight is the failure of one spot of a device (a bad sector, an I/O
// error, a range the source refused) that a walk counts and passes over, rather than a source that
// is gone or closed, which must end the scan. Call only inside a catch block.
bool isBadSpot(const std::exception_ptr& error);

// Runs read(); a bad spot adds one to readErrors and gives nothing, every other failure propagates.
template <typename Read>
auto passOverBadSpot(std::int64_t& readErrors, Read&& read) -> std::optional<decltype(read())> {
    try {
        return std::forward<Read>(read)();
    } catch (...) {
        if (!isBadSpot(std::current_exception())) throw;
        ++readErrors;
        return std::nullopt;
    }
}

} // namespace vantrel::SourceReads
