#include "support/log/AppLog.h"

#include "base/Utf8Text.h"
#include "platform/files/SmallFile.h"
#include "platform/log/SystemLog.h"

#include <cstdio>
#include <mutex>
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

Destinations snapshot() {
    std::lock_guard lock(destinationsMutex());
    return current();
}

bool isEnabledWith(const Destinations& destinations) {
    switch (readFlagVerdict(destinations.flagFile)) {
    case FlagVerdict::on: return true;
    case FlagVerdict::off: return false;
    case FlagVerdict::undecided: break;
    }
    DefaultsStore& defaults = destinations.defaults ? *destinations.defaults : DefaultsStore::standard();
    return defaults.boolValue(enabledDefaultKey);
}

} // namespace

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

FlagVerdict readFlagVerdict(const std::filesystem::path& path) {
    // The folder is world-writable and the helper runs as root: never follow a planted link, never block
    // on a planted FIFO, never read more than a flag's worth.
    const auto contents = SmallFile::readRegular(path, maxFlagFileBytes);
    return contents ? flagVerdict(*contents) : FlagVerdict::undecided;
}

bool isEnabled() { return isEnabledWith(snapshot()); }

void setEnabled(bool enabled) {
    const auto destinations = snapshot();
    DefaultsStore& defaults = destinations.defaults ? *destinations.defaults : DefaultsStore::standard();
    defaults.setBool(enabledDefaultKey, enabled);
    SmallFile::writeAtomically(destinations.flagFile, enabled ? "1" : "0", flagFileMode);
}

void log(Level level, std::string_view message, std::string_view category, std::string_view fileId, std::uint32_t line) {
    const auto destinations = snapshot();
    if (!isEnabledWith(destinations)) return;
    if (destinations.systemLog) {
        std::string text;
        text.append(fileId).append(":").append(std::to_string(line)).append(" ").append(message);
        destinations.systemLog(level, category, text);
    }
    if (destinations.standardError) {
        std::string text = "Vantrel[";
        text.push_back(levelLetter(level));
        text.append("][").append(category).append("] ").append(message).append("\n");
        destinations.standardError(text);
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
}

ScopedDestinations::~ScopedDestinations() {
    std::lock_guard lock(destinationsMutex());
    current() = std::move(m_previous);
}

} // namespace vantrel::AppLog
