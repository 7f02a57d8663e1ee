#include "Vantrel/scan/PreviewRenderer.h"

#include "Vantrel/verify/VerifyProtocol.h"

#include "platform/UniqueFd.h"
#include "platform/files/PendingFile.h"

#include <charconv>
#include <fcntl.h>
#include <sstream>

namespace vantrel {

namespace {

// The child writes a few short lines; more is not the protocol.
constexpr std::size_t maxOutputBytes = 4096;
// The largest count the child may state for a side or a page count.
constexpr int maxStatedCount = 1'000'000;

std::optional<int> positive(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value <= 0 || value > maxStatedCount) return std::nullopt;
    return value;
}

std::vector<std::string> linesOf(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream stream(output);
    std::string line;
    while (std::getline(stream, line)) lines.push_back(line);
    return lines;
}

std::optional<std::string> valueOf(const std::string& line, std::string_view key) {
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != ' ') return std::nullopt;
    return line.substr(key.size() + 1);
}

} // namespace

PreviewRenderer::PreviewRenderer(std::filesystem::path program, IntegrityLimits limits,
                                 std::vector<std::string> extraArguments)
    : m_program(std::move(program)),
      m_limits(limits),
      m_extraArguments(std::move(extraArguments)),
      m_runner(std::vector<std::filesystem::path>{m_program}) {}

std::optional<std::string> PreviewRenderer::run(RecoveredFileKind kind, const std::filesystem::path& file,
                                                const PendingFile& output, std::vector<std::string> task) const {
    // The child gets the file and its output open: started as root it decodes without root, and could
    // then neither open the one nor name, or remove, the other. Non-blocking, so that a FIFO put at the
    // name holds nothing here; the child reads regular files only.
    const UniqueFd input(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!input) return std::nullopt;
    ProcessRequest request;
    request.program = m_program;
    request.arguments = {std::string(VerifyProtocol::kindOption) + std::string(FileKind::rawValue(kind)),
                         std::string(VerifyProtocol::cpuSecondsOption) + std::to_string(m_limits.cpuSeconds),
                         std::string(VerifyProtocol::memoryMiBOption) + std::to_string(m_limits.memoryMiB)};
    request.arguments.insert(request.arguments.end(), task.begin(), task.end());
    request.arguments.insert(request.arguments.end(), m_extraArguments.begin(), m_extraArguments.end());
    request.passedDescriptors = {input.get(), output.fd()};
    request.timeLimit = m_limits.wallClock;
    request.maxOutputBytes = maxOutputBytes;
    const ProcessResult result = m_runner.run(request);
    if (!result.succeeded()) return std::nullopt;
    return result.standardOutput;
}

std::optional<PreviewRenderer::Drawing> PreviewRenderer::render(RecoveredFileKind kind, const std::filesystem::path& file,
                                                                const std::filesystem::path& output, int maxSide) const {
    if (maxSide <= 0) return std::nullopt;
    auto pending = PendingFile::create(output);
    if (!pending) return std::nullopt;
    const auto answer = run(kind, file, *pending,
                            {std::string(VerifyProtocol::renderOption),
                             std::string(VerifyProtocol::maxSideOption) + std::to_string(maxSide)});
    // Named only when the child said it wrote the drawing whole; otherwise nothing is left of it.
    auto drawing = answer ? parseRenderOutput(*answer) : std::nullopt;
    if (!drawing || !pending->commit()) return std::nullopt;
    return drawing;
}

std::optional<PreviewRenderer::Upright> PreviewRenderer::uprightCopy(RecoveredFileKind kind, const std::filesystem::path& file,
                                                                     const std::filesystem::path& output) const {
    auto pending = PendingFile::create(output);
    if (!pending) return std::nullopt;
    const auto answer = run(kind, file, *pending, {std::string(VerifyProtocol::uprightOption)});
    auto upright = answer ? parseUprightOutput(*answer) : std::nullopt;
    if (upright && upright->written) upright->written = pending->commit();
    return upright;
}

std::filesystem::path orientedCopyIfNeeded(const std::filesystem::path& file, RecoveredFileKind kind,
                                           const PreviewRenderer& renderer) {
    if (!FileKind::isImage(kind)) return file;
    const auto output = file.parent_path() / (file.stem().string() + "_oriented.jpg");
    const auto upright = renderer.uprightCopy(kind, file, output);
    if (!upright || !upright->written) return file;
    return output;
}

std::optional<PreviewRenderer::Drawing> parseRenderOutput(const std::string& output) {
    auto lines = linesOf(output);
    if (lines.empty() || lines.size() > 3) return std::nullopt;
    const auto size = valueOf(lines[0], VerifyProtocol::renderedKey);
    if (!size) return std::nullopt;
    const auto cross = size->find('x');
    if (cross == std::string::npos) return std::nullopt;
    const auto width = positive(std::string_view(*size).substr(0, cross));
    const auto height = positive(std::string_view(*size).substr(cross + 1));
    if (!width || !height) return std::nullopt;
    PreviewRenderer::Drawing drawing{*width, *height, std::nullopt, false};
    // The optional lines in their order: the page count, then the partial mark.
    std::size_t next = 1;
    if (next < lines.size()) {
        if (const auto pages = valueOf(lines[next], VerifyProtocol::pagesKey)) {
            drawing.pageCount = positive(*pages);
            if (!drawing.pageCount) return std::nullopt;
            ++next;
        }
    }
    if (next < lines.size() && lines[next] == VerifyProtocol::partialLine) {
        drawing.partial = true;
        ++next;
    }
    if (next != lines.size()) return std::nullopt;
    return drawing;
}

std::optional<PreviewRenderer::Upright> parseUprightOutput(const std::string& output) {
    const auto lines = linesOf(output);
    if (lines.empty() || lines.size() > 2) return std::nullopt;
    const auto value = valueOf(lines[0], VerifyProtocol::orientationKey);
    const auto orientation = value ? positive(*value) : std::nullopt;
    if (!orientation || *orientation > 8) return std::nullopt;
    if (lines.size() == 2 && lines[1] != VerifyProtocol::uprightLine) return std::nullopt;
    return PreviewRenderer::Upright{*orientation, lines.size() == 2};
}

} // namespace vantrel
