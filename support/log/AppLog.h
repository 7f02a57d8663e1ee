#pragma once
// The one logging facade of both programs: three levels, a category, the caller's file and line. Lines go
// to the system log and to standard error, and only while the logging switch is on. The switch is a flag
// file in /tmp that both programs read, backed by a user default of the running program; it is read again
// at most once every switchReadInterval, so a change by either program (or by hand) counts within a
// second, and a log call with logging off costs no file access. A program running as root honours only
// a flag file root owns: the folder is everyone's, and no other user may switch the helper's logging.
// Control characters in a message (line breaks above all, in texts that came from a client or a disk)
// are written escaped, so that no text can forge a line of its own.

#include "platform/defaults/DefaultsStore.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vantrel::AppLog {

inline constexpr std::string_view subsystem = "io.tessik.vantrel";
inline constexpr std::string_view flagPath = "/tmp/io.tessik.vantrel.logging";
inline constexpr std::string_view enabledDefaultKey = "vantrel.logging.enabled";
// The flag file holds a word; anything longer is not a flag file of ours.
inline constexpr std::size_t maxFlagFileBytes = 64;
// How long a reading of the switch stands before the flag file and the user default are read again.
inline constexpr std::chrono::milliseconds switchReadInterval{1000};

enum class Level { debug = 0, info = 1, error = 2 };

// The caller's file and line, taken where a logging call is written. (std::source_location needs a
// compiler builtin that clang 14 lacks; these two builtins exist in both compilers we build with.)
struct SourceLocation {
    const char* file = "";
    std::uint32_t lineNumber = 0;
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept {
        return {file, static_cast<std::uint32_t>(line)};
    }
    constexpr const char* file_name() const noexcept { return file; }
    constexpr std::uint32_t line() const noexcept { return lineNumber; }
};
enum class FlagVerdict { on, off, undecided };

// The owner a flag file must have to count for this process: root for a process running as root,
// anyone otherwise.
std::optional<uid_t> processFlagOwner();

// Where the switch is read and the lines go. The defaults are the real places; tests swap them.
struct Destinations {
    std::filesystem::path flagFile{std::string(flagPath)};
    DefaultsStore* defaults = nullptr;  // null: DefaultsStore::standard()
    std::optional<uid_t> flagOwner = processFlagOwner();  // absent: a flag file of any owner counts
    std::function<std::chrono::steady_clock::time_point()> clock;  // null: the steady clock
    // Called for every line while logging is on; the real sink drops levels the log mask leaves out.
    std::function<void(Level, std::string_view category, std::string_view text)> systemLog;
    std::function<void(std::string_view line)> standardError;
};

void debug(std::string_view message, std::string_view category,
           SourceLocation where = SourceLocation::current());
void info(std::string_view message, std::string_view category,
          SourceLocation where = SourceLocation::current());
void error(std::string_view message, std::string_view category,
           SourceLocation where = SourceLocation::current());

// The common step: when the switch is on, writes fileId ":" line " " message to the system log and
// "Vantrel[" letter "][" category "] " message to standard error. Never fails.
void log(Level level, std::string_view message, std::string_view category, std::string_view fileId, std::uint32_t line);

// The switch: the flag file's verdict, else the user default, else off (as read at most
// switchReadInterval ago).
bool isEnabled();
// Stores the user default and writes "1" or "0" to the flag file (atomically); a failed write is ignored.
// Counts for this process at once.
void setEnabled(bool enabled);

// The flag file's verdict: "1", "true", "yes", "on" (exactly, after trimming blanks and line ends) turn
// logging on; "0", "false", "no", "off" turn it off. Anything else, and a file that is missing, not
// UTF-8, a symbolic link, not a regular file, longer than maxFlagFileBytes or (when owner is given)
// owned by another user, is undecided.
FlagVerdict readFlagVerdict(const std::filesystem::path& path, std::optional<uid_t> owner = std::nullopt);
FlagVerdict flagVerdict(std::string_view contents);

// The text with every control character written as an escape ("\n", "\r", "\t", else "\xHH", and
// C1 controls as "\u0085"), so that it stays on one line; everything else is kept as it is.
std::string escapedControls(std::string_view text);

// "folder/file.cpp" from a source path: the caller's folder stands for its module.
std::string fileIdentifier(std::string_view sourcePath);

// Replaces the destinations for as long as it lives (tests), restoring the previous ones after.
class ScopedDestinations {
public:
    explicit ScopedDestinations(Destinations replacement);
    ~ScopedDestinations();
    ScopedDestinations(const ScopedDestinations&) = delete;
    ScopedDestinations& operator=(const ScopedDestinations&) = delete;

private:
    Destinations m_previous;
};

} // namespace vantrel::AppLog
