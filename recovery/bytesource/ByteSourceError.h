#pragma once
// Failures of a byte source: the library's own cases, and errors of the operating system.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vantrel {

// A read that failed inside the library's rules. Carries the offset where it applies.
class ByteSourceError : public std::runtime_error {
public:
    enum class Kind { readFailed, outOfBounds, closed, deviceSizeUnknown, deviceChanged };

    static ByteSourceError readFailed(std::uint64_t offset);
    static ByteSourceError outOfBounds();
    static ByteSourceError closed();
    static ByteSourceError deviceSizeUnknown();
    // The device is shorter than when it was opened (resized, truncated, removed); offset() is the length
    // it has now. What was read of it no longer describes one device, so this ends a scan.
    static ByteSourceError deviceChanged(std::uint64_t openedLength, std::uint64_t currentLength);

    Kind kind() const { return m_kind; }
    std::uint64_t offset() const { return m_offset; }

    // Errors of this type cross the connection under this domain.
    static constexpr const char* domain = "RecoveryCore.ByteSourceError";
    // Their numeric code there: the case's position (readFailed 0 ... deviceChanged 4).
    int code() const { return static_cast<int>(m_kind); }

    friend bool operator==(const ByteSourceError& a, const ByteSourceError& b) {
        return a.m_kind == b.m_kind && a.m_offset == b.m_offset;
    }

private:
    ByteSourceError(Kind kind, std::uint64_t offset, const std::string& message)
        : std::runtime_error(message), m_kind(kind), m_offset(offset) {}
    Kind m_kind;
    std::uint64_t m_offset;
};

// An operating-system failure: errno, its strerror text and the place it happened (a path, or
// "pread@" and the aligned offset of the transfer).
class PosixError : public std::runtime_error {
public:
    PosixError(int code, std::string path);
    int code() const { return m_code; }
    const std::string& path() const { return m_path; }

    // A device that has gone away (unplugged card, removed medium) rather than a bad spot on it.
    bool isDeviceGone() const;

private:
    int m_code;
    std::string m_path;
};

} // namespace vantrel
