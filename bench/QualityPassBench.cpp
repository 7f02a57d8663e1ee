// Files per second of the quality pass's checks on camera-sized JPEGs (12 megapixels, a few MB each),
// four at a time as the pass runs them, each in its own verifying child process.
//
//   QualityPassBench [work-folder]   (default: a folder under /tmp, removed afterwards)

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int pictures = 8;
constexpr int checksPerRun = 64;
constexpr int inFlight = 4;
constexpr int runs = 3;

bool make(const std::filesystem::path& folder, int index) {
    const std::string ppm = (folder / ("p" + std::to_string(index) + ".ppm")).string();
    const std::string jpg = (folder / ("p" + std::to_string(index) + ".jpg")).string();
    // Noise at a tenth of the size, enlarged: a picture with detail, compressed about like a photograph.
    const std::string make = "convert -seed " + std::to_string(index + 1) + " -size 400x300 xc:gray +noise Random " +
                             "-resize 4000x3000 -depth 8 '" + ppm + "' && cjpeg -quality 92 -outfile '" + jpg + "' '" +
                             ppm + "' && rm '" + ppm + "'";
    return std::system(make.c_str()) == 0;
}

// CPU seconds, user and system, of all children waited for so far.
double childCPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const bool ownFolder = argc < 2;
    const fs::path folder = ownFolder ? fs::temp_directory_path() / ("vantrel-qpbench-" + std::to_string(::getpid()))
                                      : fs::path(argv[1]);
    fs::create_directories(folder);
    std::vector<std::string> files;
    std::uintmax_t totalBytes = 0;
    for (int i = 0; i < pictures; ++i) {
        if (!make(folder, i)) {
            std::fprintf(stderr, "could not make the pictures (convert and cjpeg are needed)\n");
            return 1;
        }
        files.push_back((folder / ("p" + std::to_string(i) + ".jpg")).string());
        totalBytes += fs::file_size(files.back());
    }
    vantrel::ChildProcessIntegrityChecker checker(VANTREL_VERIFY_PATH);

    double best = 0;
    int notOk = 0;
    const double cpuBefore = childCPUSeconds();
    for (int run = 0; run < runs; ++run) {
        std::atomic<int> next{0};
        std::atomic<int> bad{0};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int w = 0; w < inFlight; ++w)
            workers.emplace_back([&] {
                for (int i; (i = next++) < checksPerRun;) {
                    const auto verdict = checker.check(vantrel::RecoveredFileKind::jpeg, files[i % pictures], false);
                    if (verdict.integrity != vantrel::HitIntegrity::ok) ++bad;
                }
            });
        for (auto& worker : workers) worker.join();
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, checksPerRun / took);
        notOk += bad;
    }
    std::printf("pictures     %d JPEGs of 4000x3000, %.1f MB on average\n", pictures,
                static_cast<double>(totalBytes) / pictures / 1e6);
    std::printf("checks       %d per run, %d in flight, best of %d runs\n", checksPerRun, inFlight, runs);
    std::printf("quality pass %8.1f files/s  (%.0f MB/s)\n", best,
                best * static_cast<double>(totalBytes) / pictures / 1e6);
    // The machine's other work slows the wall clock, not the children's own CPU time.
    std::printf("child CPU    %8.0f ms per file\n", 1000 * (childCPUSeconds() - cpuBefore) / (runs * checksPerRun));
    std::printf("not ok       %d\n", notOk);
    if (ownFolder) fs::remove_all(folder);
    return notOk == 0 ? 0 : 1;
}
