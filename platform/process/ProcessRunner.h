#pragma once
// Child processes without a shell: an absolute program path from a fixed list, an argument vector, a
// minimal environment, standard input from /dev/null, standard output captured up to a cap, standard
// error discarded unless the caller asks for it (then kept up to a cap of its own), and a time limit
// after which the child's whole process group is killed.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

struct ProcessResult {
    // Why the run ended: normally (exit status in exitCode), killed by a signal, killed at the time limit,
    // killed because its output passed the cap, or never started (errorNumber says why).
    enum class Outcome { exited, signalled, timedOut, outputTooLarge, notStarted };

    Outcome outcome = Outcome::notStarted;
    int exitCode = -1;      // the exit status when outcome is exited
    int errorNumber = 0;    // errno of a failed start; EACCES for a program that is not on the list
    std::string standardOutput;  // at most the request's cap
    std::string standardError;   // the first maxErrorBytes of it, when the request asked for it

    bool succeeded() const { return outcome == Outcome::exited && exitCode == 0; }
};

struct ProcessRequest {
    std::filesystem::path program;  // absolute; must be on the runner's list
    std::vector<std::string> arguments;  // after argv[0], which is the program path
    std::chrono::milliseconds timeLimit{5000};
    std::size_t maxOutputBytes = 1024 * 1024;
    // Descriptors the child gets as 3, 4, ... in this order (such as folders it reaches as
    // /proc/self/fd/3); every other descriptor beyond the standard three is closed in the child.
    std::vector<int> passedDescriptors;
    // 0: standard error goes to /dev/null. Otherwise its first maxErrorBytes are kept in
    // standardError; the rest is read and dropped (a tool that explains at length is not stopped
    // for it). The child's end is awaited like standard output's.
    std::size_t maxErrorBytes = 0;
};

class ProcessRunner {
public:
    // The system tools the programs may run, each where Debian installs it (merged /usr and not).
    static const std::vector<std::filesystem::path>& systemPrograms();

    // A runner for the system tools.
    ProcessRunner();
    // A runner for the given absolute paths only (tests give their own tools).
    explicit ProcessRunner(std::vector<std::filesystem::path> allowedPrograms);

    // Starts the program, collects its standard output and waits for it to end, for at most the time
    // limit. Never throws for a failure of the child; a refused program gives notStarted with EACCES.
    // Safe to call from several threads at once.
    ProcessResult run(const ProcessRequest& request) const;

private:
    bool isAllowed(const std::filesystem::path& program) const;

    std::vector<std::filesystem::path> m_allowedPrograms;
};

} // namespace vantrel
