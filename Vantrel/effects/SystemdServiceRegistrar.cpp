#include "Vantrel/effects/SystemdServiceRegistrar.h"

#include "platform/ipc/SeqpacketSocket.h"
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
    : m_options(std::move(options)), m_runner({m_options.systemctl, m_options.pkexec}) {}

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

void SystemdServiceRegistrar::registerService(Completion done) { change("enable", std::move(done)); }

void SystemdServiceRegistrar::unregisterService(Completion done) { change("disable", std::move(done)); }

void SystemdServiceRegistrar::change(const std::string& verb, Completion done) {
    ProcessRequest request;
    if (m_options.uid == 0) {
        request.program = m_options.systemctl;
    } else {
        request.program = m_options.pkexec;
        request.arguments.push_back(m_options.systemctl.string());
    }
    for (const auto& argument : {verb, std::string("--now"), m_options.unit}) request.arguments.push_back(argument);
    request.timeLimit = m_options.changeTimeLimit;
    request.maxOutputBytes = 64 * 1024;
    const ProcessRunner runner = m_runner;
    std::thread([runner, request, verb, done = std::move(done)] {
        const auto result = runner.run(request);
        if (result.succeeded()) {
            AppLog::info("systemctl " + verb + " --now " + request.arguments.back() + " OK", category);
            done(std::nullopt);
            return;
        }
        std::string why;
        switch (result.outcome) {
        case ProcessResult::Outcome::exited: why = "it exited with status " + std::to_string(result.exitCode); break;
        case ProcessResult::Outcome::signalled: why = "it was stopped by a signal"; break;
        case ProcessResult::Outcome::timedOut: why = "it did not finish in time"; break;
        case ProcessResult::Outcome::outputTooLarge: why = "it wrote too much output"; break;
        case ProcessResult::Outcome::notStarted: why = "it could not be started: " + std::generic_category().message(result.errorNumber); break;
        }
        const std::string action = verb == "enable" ? "install" : "remove";
        ErrorObject error{std::string(errorDomain), result.exitCode,
                          "Could not " + action + " the helper service (" + request.program.string() + ": " + why + ").",
                          std::nullopt};
        AppLog::error(error.message, category);
        done(std::move(error));
    }).detach();
}

} // namespace vantrel
