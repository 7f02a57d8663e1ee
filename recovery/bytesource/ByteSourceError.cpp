#include "recovery/bytesource/ByteSourceError.h"

#include <cerrno>
#include <cstring>

namespace vantrel {

ByteSourceError ByteSourceError::readFailed(std::uint64_t offset) {
    return {Kind::readFailed, offset, "read failed at offset " + std::to_string(offset)};
}
ByteSourceError ByteSourceError::outOfBounds() { return {Kind::outOfBounds, 0, "read out of bounds"}; }
ByteSourceError ByteSourceError::closed() { return {Kind::closed, 0, "byte source is closed"}; }
ByteSourceError ByteSourceError::deviceSizeUnknown() {
    return {Kind::deviceSizeUnknown, 0, "device size unknown"};
}
ByteSourceError ByteSourceError::deviceChanged(std::uint64_t openedLength, std::uint64_t currentLength) {
    return {Kind::deviceChanged, currentLength,
            "the device changed while it was read: " + std::to_string(openedLength) + " bytes when opened, " +
                std::to_string(currentLength) + " now"};
}

PosixError::PosixError(int code, std::string path)
    : std::runtime_error(std::strerror(code)), m_code(code), m_path(std::move(path)) {}

bool PosixError::isDeviceGone() const { return m_code == ENODEV || m_code == ENXIO || m_code == ENOMEDIUM; }

} // namespace vantrel
