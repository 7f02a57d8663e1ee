#include "VantrelHelper/ServiceInstallation.h"

#include "platform/process/ProcessRunner.h"
#include "platform/text/ToolText.h"
#include "support/XPCConstants.h"

#include <grp.h>
#include <optional>
#include <unistd.h>

namespace vantrel {

namespace {

// What a failing tool said is quoted up to this much.
constexpr std::size_t maxToolWordsBytes = 600;

std::optional<std::filesystem::path> firstPresent(const std::vector<std::filesystem::path>& candidates) {
    for (const auto& candidate : candidates)
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    return std::nullopt;
}

bool groupExists(const std::string& name) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16 * 1024);
    return ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found;
}

// Runs the first present of candidates with arguments; nothing when it succeeded, else why not.
std::optional<std::string> runTool(const std::vector<std::filesystem::path>& candidates, const std::string& name,
                                   std::vector<std::string> arguments, std::chrono::milliseconds timeLimit) {
    const auto program = firstPresent(candidates);
    if (!program) return name + " is not installed.";
    ProcessRequest request;
    request.program = *program;
    request.arguments = std::move(arguments);
    request.timeLimit = timeLimit;
    request.maxOutputBytes = 64 * 1024;
    request.maxErrorBytes = 16 * 1024;
    const auto result = ProcessRunner(candidates).run(request);
    if (result.succeeded()) return std::nullopt;
    std::string words = ToolText::readable(result.standardError, maxToolWordsBytes);
    if (words.empty()) words = ToolText::readable(result.standardOutput, maxToolWordsBytes);
    if (!words.empty()) return words;
    switch (result.outcome) {
    case ProcessResult::Outcome::exited:
        return name + " exited with status " + std::to_string(result.exitCode) + " without saying why.";
    case ProcessResult::Outcome::timedOut: return name + " did not finish in time.";
    case ProcessResult::Outcome::notStarted: return name + " could not be started.";
    default: return name + " was stopped before it finished.";
    }
}

ServiceInstallationOutcome changeUnit(const ServiceInstallationOptions& options, const std::string& verb, std::string said) {
    if (auto failure = runTool(options.systemctl, "systemctl", {verb, "--now", options.unit}, options.timeLimit))
        return {false, said + *failure};
    return {true, std::move(said)};
}

} // namespace

ServiceInstallationOptions ServiceInstallationOptions::standard() {
    ServiceInstallationOptions options;
    options.group = std::string(XPCConstants::helperGroupName);
    options.unit = std::string(XPCConstants::helperSocketUnit);
    return options;
}

std::string groupCreatedNote(const std::string& group) { return "Created the group " + group + "."; }

ServiceInstallationOutcome installService(const ServiceInstallationOptions& options) {
    std::string said;
    if (!groupExists(options.group)) {
        if (auto failure = runTool(options.groupadd, "groupadd", {"--system", options.group}, options.timeLimit))
            return {false, "Could not create the group " + options.group + ": " + *failure};
        said = groupCreatedNote(options.group) + "\n";
    }
    return changeUnit(options, "enable", std::move(said));
}

ServiceInstallationOutcome removeService(const ServiceInstallationOptions& options) {
    return changeUnit(options, "disable", {});
}

} // namespace vantrel
