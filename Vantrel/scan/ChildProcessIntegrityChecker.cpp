#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include "Vantrel/verify/CaptureStamp.h"
#include "Vantrel/verify/VerifyProtocol.h"

#include <sstream>
#include <system_error>

namespace vantrel {

namespace {

// The child writes a few short lines; more is not the protocol.
constexpr std::size_t maxOutputBytes = 4096;

} // namespace

std::filesystem::path ChildProcessIntegrityChecker::programBesideThisOne() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return "/usr/bin/vantrel-verify";
    return self.parent_path() / "vantrel-verify";
}

ChildProcessIntegrityChecker::ChildProcessIntegrityChecker(std::filesystem::path program, IntegrityLimits limits,
                                                           std::vector<std::string> extraArguments)
    : m_program(std::move(program)),
      m_limits(limits),
      m_extraArguments(std::move(extraArguments)),
      m_runner(std::vector<std::filesystem::path>{m_program}) {}

IntegrityVerdict ChildProcessIntegrityChecker::check(RecoveredFileKind kind, const std::string& filePath,
                                                     bool wasCutAtCap) {
    ProcessRequest request;
    request.program = m_program;
    request.arguments = {std::string(VerifyProtocol::kindOption) + std::string(FileKind::rawValue(kind)),
                         std::string(VerifyProtocol::cpuSecondsOption) + std::to_string(m_limits.cpuSeconds),
                         std::string(VerifyProtocol::memoryMiBOption) + std::to_string(m_limits.memoryMiB)};
    if (wasCutAtCap) request.arguments.emplace_back(VerifyProtocol::cutAtCapOption);
    request.arguments.insert(request.arguments.end(), m_extraArguments.begin(), m_extraArguments.end());
    request.arguments.push_back(filePath);
    request.timeLimit = m_limits.wallClock;
    request.maxOutputBytes = maxOutputBytes;

    const ProcessResult result = m_runner.run(request);
    if (result.outcome == ProcessResult::Outcome::notStarted) return {HitIntegrity::pending, std::nullopt};
    if (result.succeeded()) {
        if (auto verdict = parseVerifyOutput(result.standardOutput)) return *verdict;
    }
    // Crashed, killed by a limit, out of time or talking nonsense: the file made a decoder fail.
    return {HitIntegrity::suspect, std::nullopt};
}

std::optional<IntegrityVerdict> parseVerifyOutput(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    std::optional<HitIntegrity> integrity;
    std::optional<CaptureStamp> stamp;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ');
        if (space == std::string::npos) return std::nullopt;
        const std::string_view key = std::string_view(line).substr(0, space);
        const std::string value = line.substr(space + 1);
        if (key == VerifyProtocol::verdictKey && value == VerifyProtocol::unreadableValue) {
            IntegrityVerdict unread{HitIntegrity::pending, std::nullopt};
            unread.unreadable = true;
            return lines.peek() == std::char_traits<char>::eof() ? std::optional(unread) : std::nullopt;
        }
        if (key == VerifyProtocol::verdictKey) {
            integrity = HitIntegrityName::fromRawValue(value);
            if (!integrity || *integrity == HitIntegrity::pending) return std::nullopt;
        } else if (key == VerifyProtocol::dateKey) {
            stamp = CaptureStamp{value, std::nullopt};
        } else if (key == VerifyProtocol::offsetKey && stamp) {
            stamp->offset = value;
        } else {
            return std::nullopt;
        }
    }
    if (!integrity) return std::nullopt;
    IntegrityVerdict verdict{*integrity, std::nullopt};
    if (stamp) verdict.captureDate = CaptureDate::toDate(*stamp);
    return verdict;
}

} // namespace vantrel
