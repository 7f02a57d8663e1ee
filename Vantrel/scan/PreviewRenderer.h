#pragma once
// The preview's decoding, in the verifying child process `vantrel-verify` under the same limits as the
// integrity checks: a picture drawn for the preview window, and the upright copy of a picture whose
// tags ask for a turn. A child that crashes, runs out of a limit or says something else draws nothing.
// Every call blocks for as long as its child runs (at most the wall-clock limit): call it from a worker
// thread, never from the main thread. Safe to call from several threads at once.

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "platform/process/ProcessRunner.h"

#include "recovery/model/RecoveredFileKind.h"

#include <filesystem>
#include <optional>

namespace vantrel {

class PendingFile;

class PreviewRenderer {
public:
    struct Drawing {
        int width = 0;
        int height = 0;
        std::optional<int> pageCount;  // PDF only
        bool partial = false;          // only part of the picture decoded: the file is damaged or cut
    };
    struct Upright {
        int orientation = 1;
        bool written = false;  // the turned copy is at the output path
    };

    // extraArguments go to every child after the task's own (tests give the test build's hooks).
    explicit PreviewRenderer(std::filesystem::path program = ChildProcessIntegrityChecker::programBesideThisOne(),
                             IntegrityLimits limits = {}, std::vector<std::string> extraArguments = {});

    // Draws the file's upright picture (a PDF's first page) into a new PNG file at output, fitted into
    // maxSide × maxSide pixels; nothing when the bytes give no picture. output must not exist. The
    // output is made here, owned by this process's user, mode 0600, and named only once the child has
    // written it whole: nothing is left at output otherwise.
    std::optional<Drawing> render(RecoveredFileKind kind, const std::filesystem::path& file,
                                  const std::filesystem::path& output, int maxSide) const;
    // The orientation of the file's picture and, when it asks for a turn, its upright copy as a new
    // JPEG file at output (made as a drawing's is); nothing when the child gave no answer.
    std::optional<Upright> uprightCopy(RecoveredFileKind kind, const std::filesystem::path& file,
                                       const std::filesystem::path& output) const;

private:
    std::optional<std::string> run(RecoveredFileKind kind, const std::filesystem::path& file, const PendingFile& output,
                                   std::vector<std::string> task) const;

    std::filesystem::path m_program;
    IntegrityLimits m_limits;
    std::vector<std::string> m_extraArguments;
    ProcessRunner m_runner;
};

// The file itself, or beside it its upright copy (its name without the extension + "_oriented.jpg")
// when the file is a picture whose tags ask for a turn and the copy could be made. Blocks like the
// renderer's calls.
std::filesystem::path orientedCopyIfNeeded(const std::filesystem::path& file, RecoveredFileKind kind,
                                           const PreviewRenderer& renderer);

// The child's answer to a drawing or a turn; nothing when it is not the protocol's.
std::optional<PreviewRenderer::Drawing> parseRenderOutput(const std::string& output);
std::optional<PreviewRenderer::Upright> parseUprightOutput(const std::string& output);

} // namespace vantrel
