#pragma once
// The shared error domain "Vantrel": its named codes, the refused-disk-access error the helper
// raises, and the test the application uses to recognise a refused raw disk access in any error.

#include "platform/ErrorObject.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::VantrelError {

inline constexpr std::string_view domain = "Vantrel";
inline constexpr std::int64_t helperUnreachable = 11;
inline constexpr std::int64_t diskAccessDenied = 12;
inline constexpr std::int64_t copyCancelled = 15;
// The helper will not do this for the connected user (an internal disk, a file the user may not
// read, a destination that is not the user's); the message says why. Not a refused disk access:
// granting the helper more rights would change nothing.
inline constexpr std::int64_t refusedForUser = 17;
// The helper's scan ended early because it was cancelled ("Scan cancelled"): what it found until then
// came, but it is no whole scan.
inline constexpr std::int64_t scanCancelled = 18;
// A remount that mounted nothing: the helper holds no record of the disks named for the user (it was
// started again since, or another user's scan unmounted them); the message says which and why. The
// disks may well be mounted already.
inline constexpr std::int64_t nothingToRemount = 19;
// A member's quit that the helper did not carry out, since other connections are open; the message says so.
inline constexpr std::int64_t quitRefused = 20;
// A scan catalog written by a newer program, and one saved from a disk image.
inline constexpr std::int64_t catalogVersionTooNew = 40;
inline constexpr std::int64_t catalogFromDiskImage = 41;

// Code 12. The message names the helper's path when one is given and not empty; the device path,
// when given (also when empty), is the error's path.
ErrorObject diskAccessDeniedError(const std::optional<std::string>& path, const std::optional<std::string>& helperPath);

// Code 17 with the reason as its message.
ErrorObject refusedForUserError(const std::optional<std::string>& path, std::string reason);

// True for "Vantrel" code 12, POSIX EPERM or EACCES, and for a message that contains
// "not permitted", "full disk access" or "vollzugriff" in any letter case.
bool isDiskAccessDenied(const ErrorObject& error);
// The same test after ErrorObject::fromException.
bool isDiskAccessDenied(const std::exception& error);

} // namespace vantrel::VantrelError
