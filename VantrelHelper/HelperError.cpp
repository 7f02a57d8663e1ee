#include "VantrelHelper/HelperError.h"

#include "recovery/bytesource/ByteSourceError.h"

namespace vantrel {

ErrorObject HelperError::toErrorObject(const std::exception& failure, const std::string& path) {
    if (const auto* helper = dynamic_cast<const HelperError*>(&failure)) return helper->error();
    if (const auto* byteSource = dynamic_cast<const ByteSourceError*>(&failure))
        return ErrorObject{ByteSourceError::domain, byteSource->code(), byteSource->what(), std::nullopt};
    if (const auto* posix = dynamic_cast<const PosixError*>(&failure)) {
        auto error = ErrorObject::posix(posix->code(), path.empty() ? posix->path() : path);
        return error;
    }
    return ErrorObject::fromException(failure);
}

} // namespace vantrel
