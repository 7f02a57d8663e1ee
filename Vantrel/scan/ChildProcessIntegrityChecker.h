#pragma once
// Integrity checks in a child process: each file is judged by the program `vantrel-verify`, which runs
// the decoders under a memory and a CPU-time limit of its own, while this side holds a wall-clock
// limit. A child that crashes, is killed by a limit or says nothing sensible leaves the file `suspect`;
// a child that cannot be started leaves it `pending`, unjudged.

#include "Vantrel/scan/IntegrityChecker.h"

#include "platform/process/ProcessRunner.h"

#include <chrono>
#include <filesystem>

namespace vantrel {

struct IntegrityLimits {
    std::uint64_t cpuSeconds = 20;
    // Enough for a decoder to hold a 100-megapixel picture with its working buffers.
    std::uint64_t memoryMiB = 2048;
    std::chrono::milliseconds wallClock{30'000};
};

class ChildProcessIntegrityChecker final : public IntegrityChecker {
public:
    // `vantrel-verify` in the folder of the running program.
    static std::filesystem::path programBesideThisOne();

    explicit ChildProcessIntegrityChecker(std::filesystem::path program = programBesideThisOne(),
                                          IntegrityLimits limits = {}, std::vector<std::string> extraArguments = {});

    // Safe to call from several threads at once: each call runs its own child.
    IntegrityVerdict check(RecoveredFileKind kind, const std::string& filePath, bool wasCutAtCap) override;

private:
    std::filesystem::path m_program;
    IntegrityLimits m_limits;
    std::vector<std::string> m_extraArguments;
    ProcessRunner m_runner;
};

// The verdict and date of a child's output; nothing when it is not the protocol's.
std::optional<IntegrityVerdict> parseVerifyOutput(const std::string& output);

} // namespace vantrel
