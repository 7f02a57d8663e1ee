#pragma once
// Integrity checks in child processes: files are judged by the program `vantrel-verify`, which runs
// the decoders under a memory and a CPU-time limit of its own, while this side holds a wall-clock
// limit for each file. A child serves many files one after the other (starting a process that loads
// every decoder costs nearly as much as a decode), each check taking an idle child or starting one.
// A child that crashes, is killed by a limit or says nothing sensible leaves the file `suspect` and
// is not used again; a child that cannot be started leaves it `pending`, unjudged.

#include "Vantrel/scan/IntegrityChecker.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace vantrel {

struct IntegrityLimits {
    std::uint64_t cpuSeconds = 20;
    // Enough for a decoder to hold a 100-megapixel picture with its working buffers.
    std::uint64_t memoryMiB = 2048;
    std::chrono::milliseconds wallClock{30'000};
};

class ChildProcessIntegrityChecker final : public IntegrityChecker {
public:
    // `vantrel-verify` beside the running program (the build tree), else in the install tree's folder of
    // private programs.
    static std::filesystem::path programBesideThisOne();
    // Idle children kept for the next checks: one for each check that may run at once.
    static constexpr std::size_t maxIdleChildren = 4;

    explicit ChildProcessIntegrityChecker(std::filesystem::path program = programBesideThisOne(),
                                          IntegrityLimits limits = {}, std::vector<std::string> extraArguments = {});
    // Ends the idle children.
    ~ChildProcessIntegrityChecker() override;
    ChildProcessIntegrityChecker(const ChildProcessIntegrityChecker&) = delete;
    ChildProcessIntegrityChecker& operator=(const ChildProcessIntegrityChecker&) = delete;

    // Safe to call from several threads at once: each call has a child of its own while it runs.
    IntegrityVerdict check(RecoveredFileKind kind, const std::string& filePath, bool wasCutAtCap) override;

    // How many children were started so far.
    std::size_t childrenStarted() const;

private:
    class Child;
    enum class Answer { verdict, noChild, childGone, failed };
    std::unique_ptr<Child> takeChild(bool& reused);
    void keepChild(std::unique_ptr<Child> child);
    Answer ask(Child& child, const std::string& request, IntegrityVerdict& verdict) const;

    std::filesystem::path m_program;
    IntegrityLimits m_limits;
    std::vector<std::string> m_extraArguments;
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<Child>> m_idle;
    std::size_t m_started = 0;
};

// The verdict and date of a child's answer (its lines before "end"); nothing when it is not the
// protocol's.
std::optional<IntegrityVerdict> parseVerifyOutput(const std::string& output);

} // namespace vantrel
