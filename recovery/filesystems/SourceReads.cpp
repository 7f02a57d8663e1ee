#include "recovery/filesystems/SourceReads.h"

#include <algorithm>
#include <limits>

namespace vantrel::SourceReads {

void readAvailableInto(ByteSource& source, std::uint64_t offset, std::uint64_t count, Bytes& out) {
    const std::uint64_t length = source.length();
    if (offset >= length || count == 0) {
        out.clear();
        return;
    }
    // A byte source takes a signed count; no structure we read comes near that size.
    const std::uint64_t available = std::min({count, length - offset,
                                              std::uint64_t{std::numeric_limits<std::int64_t>::max()}});
    source.readInto(offset, static_cast<std::int64_t>(available), out);
}

Bytes readAvailable(ByteSource& source, std::uint64_t offset, std::uint64_t count) {
    Bytes out;
    readAvailableInto(source, offset, count, out);
    return out;
}

bool isBadSpot(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ByteSourceError& sourceError) {
        switch (sourceError.kind()) {
        case ByteSourceError::Kind::readFailed:
        case ByteSourceError::Kind::outOfBounds: return true;
        case ByteSourceError::Kind::closed:
        case ByteSourceError::Kind::deviceSizeUnknown:
        case ByteSourceError::Kind::deviceChanged: return false;
        }
        return false;
    } catch (const PosixError& posixError) {
        return !posixError.isDeviceGone();
    } catch (...) {
        return false;
    }
}

} // namespace vantrel::SourceReads
