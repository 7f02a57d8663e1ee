// Files per second of the quality pass's checks, four at a time as the pass runs them, through the
// verifying child processes the application keeps: camera-sized JPEGs (12 megapixels, a few MB
// each) beside `djpeg -scale 1/8` (the same decode, one process per file) four at a time on the
// same files, in alternating rounds of the same run so that both see the same machine load; then
// HEIC pictures and PDF documents.
//
//   QualityPassBench [--program=<vantrel-verify>] [work-folder]
//     (default: the build's vantrel-verify, and a folder under /tmp removed afterwards; another
//     program, such as an older build, is measured the same way for a before and after: the checker
//     runs it only beside a vantrel-verify-decode of the same owner, which an older build, whose
//     judges are started from the serving program itself, does not run)

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "bench/BenchSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int pictures = 8;
constexpr int checksPerRound = 64;
constexpr int inFlight = 4;
constexpr int rounds = 5;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

bool makeJPEG(const std::filesystem::path& folder, int index) {
    const std::string ppm = (folder / ("p" + std::to_string(index) + ".ppm")).string();
    const std::string jpg = (folder / ("p" + std::to_string(index) + ".jpg")).string();
    // Noise at a tenth of the size, enlarged: a picture with detail, compressed about like a photograph.
    return shell("convert -seed " + std::to_string(index + 1) + " -size 400x300 xc:gray +noise Random " +
                 "-resize 4000x3000 -depth 8 '" + ppm + "' && cjpeg -quality 92 -outfile '" + jpg + "' '" + ppm +
                 "' && rm '" + ppm + "'");
}

// Runs count jobs, inFlight at a time; returns files per second.
double perSecond(int count, const std::function<bool(int)>& job, int& failures) {
    std::atomic<int> next{0};
    std::atomic<int> bad{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < inFlight; ++w)
        workers.emplace_back([&] {
            for (int i; (i = next++) < count;)
                if (!job(i)) ++bad;
        });
    for (auto& worker : workers) worker.join();
    failures += bad;
    return count / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// djpeg at an eighth of the size into /dev/null, as its own process.
bool djpeg(const std::string& file) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments{"djpeg", "-scale", "1/8", "-outfile", "/dev/null", file};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "djpeg", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double loadAverage() {
    double load = 0;
    ::getloadavg(&load, 1);
    return load;
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    using vantrel::HitIntegrity;
    using vantrel::RecoveredFileKind;
    std::string program = VANTREL_VERIFY_PATH;
    std::string given;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.starts_with("--program=")) program = argument.substr(10);
        else given = argument;
    }
    const bool ownFolder = given.empty();
    const fs::path folder = ownFolder ? fs::temp_directory_path() / ("vantrel-qpbench-" + std::to_string(::getpid()))
                                      : fs::path(given);
    fs::create_directories(folder);
    std::vector<std::string> files;
    std::uintmax_t totalBytes = 0;
    for (int i = 0; i < pictures; ++i) {
        if (!makeJPEG(folder, i)) {
            std::fprintf(stderr, "could not make the pictures (convert and cjpeg are needed)\n");
            return 1;
        }
        files.push_back((folder / ("p" + std::to_string(i) + ".jpg")).string());
        totalBytes += fs::file_size(files.back());
    }
    vantrel::ChildProcessIntegrityChecker checker(program);
    const auto check = [&checker](RecoveredFileKind kind, const std::string& file) {
        return checker.check(kind, file, false).integrity == HitIntegrity::ok;
    };

    const double loadBefore = loadAverage();
    std::vector<double> pass;
    std::vector<double> baseline;
    std::vector<double> ratios;
    int notOk = 0;
    int djpegFailed = 0;
    for (int round = 0; round < rounds; ++round) {
        pass.push_back(perSecond(checksPerRound, [&](int i) { return check(RecoveredFileKind::jpeg, files[i % pictures]); }, notOk));
        baseline.push_back(perSecond(checksPerRound, [&](int i) { return djpeg(files[i % pictures]); }, djpegFailed));
        ratios.push_back(pass.back() / baseline.back());
    }
    const double loadAfter = loadAverage();
    std::printf("program      %s\n", program.c_str());
    std::printf("machine      %u cores, load average %.1f before and %.1f after the JPEG rounds\n",
                std::thread::hardware_concurrency(), loadBefore, loadAfter);
    std::printf("pictures     %d JPEGs of 4000x3000, %.1f MB on average\n", pictures,
                static_cast<double>(totalBytes) / pictures / 1e6);
    std::printf("rounds       %d, each %d checks then %d djpeg runs, %d in flight\n", rounds, checksPerRound, checksPerRound,
                inFlight);
    for (int round = 0; round < rounds; ++round)
        std::printf("  round %d    quality pass %6.1f files/s   djpeg -scale 1/8 %6.1f files/s   ratio %.2f\n", round + 1,
                    pass[static_cast<std::size_t>(round)], baseline[static_cast<std::size_t>(round)],
                    ratios[static_cast<std::size_t>(round)]);
    std::printf("median       quality pass %6.1f files/s   djpeg %6.1f files/s   ratio %.2f (median of the rounds' ratios)\n",
                vantrel::bench::median(pass), vantrel::bench::median(baseline), vantrel::bench::median(ratios));
    std::printf("ratio        min %.2f   median %.2f   max %.2f\n", *std::min_element(ratios.begin(), ratios.end()),
                vantrel::bench::median(ratios), *std::max_element(ratios.begin(), ratios.end()));
    std::printf("children     %zu started for %d checks\n", checker.childrenStarted(), rounds * checksPerRound);

    // HEIC: phone-sized pictures from heif-enc; PDF: the documents Debian ships, when installed.
    std::vector<std::string> heics;
    for (int i = 0; i < 2; ++i) {
        const auto png = (folder / ("h" + std::to_string(i) + ".png")).string();
        const auto heic = (folder / ("h" + std::to_string(i) + ".heic")).string();
        if (shell("convert -seed " + std::to_string(i + 1) + " -size 4032x3024 plasma:fractal -blur 0x1 -depth 8 'PNG24:" +
                  png + "' && heif-enc -q 80 -o '" + heic + "' '" + png + "' >/dev/null"))
            heics.push_back(heic);
    }
    std::vector<std::string> pdfs;
    for (const char* shipped : {"/usr/share/doc/libtasn1-doc/libtasn1.pdf", "/usr/share/doc/shared-mime-info/shared-mime-info-spec.pdf",
                                "/usr/share/doc/libimage-exiftool-perl/html/MIE1.1-20070121.pdf"})
        if (fs::exists(shipped)) pdfs.push_back(shipped);
    if (!heics.empty()) {
        const double rate = perSecond(16, [&](int i) { return check(RecoveredFileKind::heic, heics[static_cast<std::size_t>(i) % heics.size()]); }, notOk);
        std::printf("HEIC         %6.1f files/s  (4032x3024 from heif-enc, %zu files, %.1f MB each)\n", rate, heics.size(),
                    static_cast<double>(fs::file_size(heics[0])) / 1e6);
    }
    if (!pdfs.empty()) {
        const double rate = perSecond(24, [&](int i) { return check(RecoveredFileKind::pdf, pdfs[static_cast<std::size_t>(i) % pdfs.size()]); }, notOk);
        std::printf("PDF          %6.1f files/s  (%zu documents of 17 to 36 pages, every page read)\n", rate, pdfs.size());
    }
    std::printf("not ok       %d   djpeg failures %d   load average at the end %.1f\n", notOk, djpegFailed, loadAverage());
    if (ownFolder) fs::remove_all(folder);
    return notOk == 0 && djpegFailed == 0 ? 0 : 1;
}
