#include "Vantrel/effects/SystemdServiceRegistrar.h"

#include "Vantrel/helper/HelperRoute.h"
#include "Vantrel/helper/PrivatePrograms.h"

#include "platform/ipc/SeqpacketSocket.h"
#include "platform/text/ToolText.h"
#include "support/XPCConstants.h"
#include "support/log/AppLog.h"

#include <cstdlib>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view category = "app";
constexpr std::string_view errorDomain = "VantrelService";
// How much of what the tool wrote a failure message quotes.
constexpr std::size_t maxFailureWordsBytes = 600;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

} // namespace

SystemdServiceOptions SystemdServiceOptions::standard() {
    SystemdServiceOptions options;
    options.unit = std::string(XPCConstants::helperSocketUnit);
    const char* overridden = std::getenv(std::string(XPCConstants::helperSocketEnvironmentVariable).c_str());
    options.socketPath = overridden && *overridden ? overridden : std::string(XPCConstants::helperSocketPath);
    options.uid = ::getuid();
    // Both are the user's own commands, taken as the user's shell would take them (the first on PATH);
    // pkexec shows the administrator what it is asked to run.
    if (const auto systemctl = findProgramOnPath("systemctl")) options.systemctl = *systemctl;
    if (const auto pkexec = findProgramOnPath("pkexec")) options.pkexec = *pkexec;
    // pkexec picks its polkit action by this path, so it must be the installed helper's own.
    if (const auto folder = runningProgramDirectory())
        options.helper = findHelperProgram(*folder).value_or(installedPrivateProgramDirectory(*folder) / "VantrelHelper");
    return options;
}

HelperInstallStatus installStatusFromUnitState(const std::string& state) {
    const auto word = trimmed(state);
    if (word.empty() || word == "not-found") return HelperInstallStatus::notInstalled;
    if (word == "enabled" || word == "enabled-runtime" || word == "static" || word == "indirect" || word == "generated" ||
        word == "alias")
        return HelperInstallStatus::installed;
    return HelperInstallStatus::requiresApproval;
}

SystemdServiceRegistrar::SystemdServiceRegistrar(SystemdServiceOptions options)
    : m_options(std::move(options)), m_runner({m_options.systemctl, m_options.pkexec, m_options.helper}) {}

HelperInstallStatus SystemdServiceRegistrar::status() {
    std::error_code error;
    if (!std::filesystem::is_directory(m_options.systemdRuntime, error)) return HelperInstallStatus::notInstalled;
    ProcessRequest request;
    request.program = m_options.systemctl;
    request.arguments = {"is-enabled", m_options.unit};
    request.maxOutputBytes = 4096;
    const auto result = m_runner.run(request);
    if (result.outcome == ProcessResult::Outcome::notStarted) return HelperInstallStatus::notInstalled;
    if (result.outcome != ProcessResult::Outcome::exited) return HelperInstallStatus::unknown;
    const auto status = installStatusFromUnitState(result.standardOutput);
    if (status != HelperInstallStatus::installed) return status;
    // Enabled, but this user may not be let in (not yet a member of the helper's group).
    try {
        SeqpacketSocket::connect(m_options.socketPath);
    } catch (const std::system_error& refused) {
        if (refused.code() == std::errc::permission_denied) return HelperInstallStatus::requiresApproval;
    }
    return status;
}

void SystemdServiceRegistrar::registerService(Completion done) { change(true, std::move(done)); }

void SystemdServiceRegistrar::unregisterService(Completion done) { change(false, std::move(done)); }

bool saysGroupWasMade(const std::string& output) {
    return output.find("Created the group " + std::string(XPCConstants::helperGroupName) + ".") != std::string::npos;
}

void SystemdServiceRegistrar::change(bool install, Completion done) {
    ProcessRequest request;
    const bool throughPkexec = m_options.uid != 0;
    if (throughPkexec) {
        request.program = m_options.pkexec;
        request.arguments.push_back(m_options.helper.string());
    } else {
        request.program = m_options.helper;
    }
    request.arguments.emplace_back(install ? "--install-service" : "--remove-service");
    request.timeLimit = m_options.changeTimeLimit;
    request.maxOutputBytes = 64 * 1024;
    request.maxErrorBytes = 16 * 1024;
    const ProcessRunner runner = m_runner;
    const std::string what = std::string(install ? "install" : "removal") + " of " + m_options.unit;
    std::thread([runner, request, what, install, throughPkexec, madeGroup = m_madeGroup, done = std::move(done)] {
        const auto result = runner.run(request);
        if (result.succeeded()) {
            if (install) madeGroup->store(saysGroupWasMade(result.standardOutput));
            AppLog::info("Helper service " + what + " OK" +
                             (result.standardOutput.empty() ? "" : ": " + ToolText::readable(result.standardOutput, 600)),
                         category);
            done(std::nullopt);
            return;
        }
        ErrorObject error{std::string(errorDomain), result.exitCode, serviceChangeFailure(request, result, throughPkexec),
                          std::nullopt};
        AppLog::error("Helper service " + what + " failed: " + error.message, category);
        done(std::move(error));
    }).detach();
}

std::string serviceChangeFailure(const ProcessRequest& request, const ProcessResult& result, bool throughPkexec) {
    // pkexec passes on the status of what it ran, except its own 126 (the password prompt was
    // dismissed) and 127 (not authorised, or it could not run the command).
    const bool pkexecRefused = throughPkexec && (result.outcome == ProcessResult::Outcome::notStarted ||
                                                 (result.outcome == ProcessResult::Outcome::exited &&
                                                  (result.exitCode == 126 || result.exitCode == 127)));
    const std::string tool = pkexecRefused ? request.program.filename().string() : "VantrelHelper";
    std::string words = ToolText::readable(result.standardError, maxFailureWordsBytes);
    if (words.empty()) words = ToolText::readable(result.standardOutput, maxFailureWordsBytes);
    const auto withWords = [&words](std::string what) { return words.empty() ? what + "." : what + ": " + words; };
    switch (result.outcome) {
    case ProcessResult::Outcome::exited:
        if (!words.empty()) return words;
        return tool + " exited with status " + std::to_string(result.exitCode) + " without saying why.";
    case ProcessResult::Outcome::signalled: return withWords(tool + " was stopped by a signal");
    case ProcessResult::Outcome::timedOut:
        return withWords(tool + " did not finish within " +
                         std::to_string(std::chrono::ceil<std::chrono::seconds>(request.timeLimit).count()) +
                         " seconds");
    case ProcessResult::Outcome::outputTooLarge: return tool + " wrote more output than expected.";
    case ProcessResult::Outcome::notStarted: break;
    }
    std::error_code missing;
    if (!std::filesystem::exists(request.program, missing)) return request.program.string() + " is not installed.";
    return request.program.string() + " could not be started: " + std::generic_category().message(result.errorNumber) + ".";
}

} // namespace vantrel
