#include "support/log/AppLog.h"

#include "base/Utf8Text.h"
#include "platform/files/SmallFile.h"
#include "platform/log/SystemLog.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace vantrel::AppLog {

namespace {

// The flag file is world-readable so that both programs, one of them root, can read it.
constexpr mode_t flagFileMode = 0644;

std::mutex& destinationsMutex() {
    static std::mutex mutex;
    return mutex;
}

SystemLogLevel systemLevel(Level level) {
    switch (level) {
    case Level::debug: return SystemLogLevel::debug;
    case Level::info: return SystemLogLevel::info;
    case Level::error: return SystemLogLevel::error;
    }
    return SystemLogLevel::error;
}

char levelLetter(Level level) {
    switch (level) {
    case Level::debug: return 'D';
    case Level::info: return 'I';
    case Level::error: return 'E';
    }
    return 'E';
}

Destinations realDestinations() {
    Destinations real;
    real.systemLog = [](Level level, std::string_view category, std::string_view text) {
        if (SystemLog::isLevelEnabled(systemLevel(level))) SystemLog::write(subsystem, category, systemLevel(level), text);
    };
    real.standardError = [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    };
    return real;
}

Destinations& current() {
    static Destinations destinations = realDestinations();
    return destinations;
}

// The last reading of the switch, guarded by destinationsMutex.
struct SwitchReading {
    bool valid = false;
    bool enabled = false;
    std::chrono::steady_clock::time_point readAt;
};

SwitchReading& reading() {
    static SwitchReading last;
    return last;
}

Destinations snapshot() {
    std::lock_guard lock(destinationsMutex());
    return current();
}

bool readSwitch(const Destinations& destinations) {
    switch (readFlagVerdict(destinations.flagFile, destinations.flagOwner)) {
    case FlagVerdict::on: return true;
    case FlagVerdict::off: return false;
    case FlagVerdict::undecided: break;
    }
    DefaultsStore& defaults = destinations.defaults ? *destinations.defaults : DefaultsStore::standard();
    return defaults.boolValue(enabledDefaultKey);
}

// The switch as last read, read again when the reading is older than switchReadInterval. Called with
// destinationsMutex held.
bool enabledLocked() {
    const Destinations& destinations = current();
    const auto now = destinations.clock ? destinations.clock() : std::chrono::steady_clock::now();
    SwitchReading& last = reading();
    if (!last.valid || now - last.readAt >= switchReadInterval || now < last.readAt) {
        last.enabled = readSwitch(destinations);
        last.readAt = now;
        last.valid = true;
    }
    return last.enabled;
}

void appendEscape(std::string& out, const char* prefix, unsigned value) {
    constexpr char digits[] = "0123456789abcdef";
    out.append(prefix);
    if (prefix[1] == 'u') out.append("00");
    out.push_back(digits[value >> 4 & 0xF]);
    out.push_back(digits[value & 0xF]);
}

} // namespace

std::optional<uid_t> processFlagOwner() {
    if (::geteuid() == 0) return uid_t{0};
    return std::nullopt;
}

std::string escapedControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') out.append("\\n");
        else if (byte == '\r') out.append("\\r");
        else if (byte == '\t') out.append("\\t");
        else if (byte < 0x20 || byte == 0x7F) appendEscape(out, "\\x", byte);
        else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                 static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: C1 controls, NEL among them, which some readers take for a line break.
            appendEscape(out, "\\u", static_cast<unsigned char>(text[++i]));
        } else {
            out.push_back(static_cast<char>(byte));
        }
    }
    return out;
}

FlagVerdict flagVerdict(std::string_view contents) {
    if (!Utf8Text::isValid(contents)) return FlagVerdict::undecided;
    constexpr std::string_view blanks = " \t\n\r\v\f";
    const auto start = contents.find_first_not_of(blanks);
    if (start == std::string_view::npos) return FlagVerdict::undecided;
    const auto word = contents.substr(start, contents.find_last_not_of(blanks) - start + 1);
    if (word == "1" || word == "true" || word == "yes" || word == "on") return FlagVerdict::on;
    if (word == "0" || word == "false" || word == "no" || word == "off") return FlagVerdict::off;
    return FlagVerdict::undecided;
}

FlagVerdict readFlagVerdict(const std::filesystem::path& path, std::optional<uid_t> owner) {
    // The folder is world-writable and the helper runs as root: never follow a planted link, never block
    // on a planted FIFO, never read more than a flag's worth, and (for root) never a file another user owns.
    const auto contents = SmallFile::readRegular(path, maxFlagFileBytes, owner);
    return contents ? flagVerdict(*contents) : FlagVerdict::undecided;
}

bool isEnabled() {
    std::lock_guard lock(destinationsMutex());
    return enabledLocked();
}

void setEnabled(bool enabled) {
    const auto destinations = snapshot();
    DefaultsStore& defaults = destinations.defaults ? *destinations.defaults : DefaultsStore::standard();
    defaults.setBool(enabledDefaultKey, enabled);
    SmallFile::writeAtomically(destinations.flagFile, enabled ? "1" : "0", flagFileMode);
    std::lock_guard lock(destinationsMutex());
    reading().valid = false;  // this process's own change counts at once
}

void log(Level level, std::string_view message, std::string_view category, std::string_view fileId, std::uint32_t line) {
    std::function<void(Level, std::string_view, std::string_view)> systemLog;
    std::function<void(std::string_view)> standardError;
    {
        std::lock_guard lock(destinationsMutex());
        if (!enabledLocked()) return;
        systemLog = current().systemLog;
        standardError = current().standardError;
    }
    const std::string escaped = escapedControls(message);
    if (systemLog) {
        std::string text;
        text.append(fileId).append(":").append(std::to_string(line)).append(" ").append(escaped);
        systemLog(level, category, text);
    }
    if (standardError) {
        std::string text = "Vantrel[";
        text.push_back(levelLetter(level));
        text.append("][").append(category).append("] ").append(escaped).append("\n");
        standardError(text);
    }
}

void debug(std::string_view message, std::string_view category, SourceLocation where) {
    log(Level::debug, message, category, fileIdentifier(where.file_name()), where.line());
}

void info(std::string_view message, std::string_view category, SourceLocation where) {
    log(Level::info, message, category, fileIdentifier(where.file_name()), where.line());
}

void error(std::string_view message, std::string_view category, SourceLocation where) {
    log(Level::error, message, category, fileIdentifier(where.file_name()), where.line());
}

std::string fileIdentifier(std::string_view sourcePath) {
    const auto last = sourcePath.find_last_of('/');
    if (last == std::string_view::npos || last == 0) return std::string(sourcePath);
    const auto previous = sourcePath.find_last_of('/', last - 1);
    return std::string(previous == std::string_view::npos ? sourcePath : sourcePath.substr(previous + 1));
}

ScopedDestinations::ScopedDestinations(Destinations replacement) {
    std::lock_guard lock(destinationsMutex());
    m_previous = std::exchange(current(), std::move(replacement));
    reading().valid = false;
}

ScopedDestinations::~ScopedDestinations() {
    std::lock_guard lock(destinationsMutex());
    current() = std::move(m_previous);
    reading().valid = false;
}

} // namespace vantrel::AppLog
