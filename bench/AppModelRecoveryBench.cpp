// Recovery throughput in MB/s: large hits recovered by the application's model through the real
// helper (each destination created by the model and handed over as a descriptor, the helper copying
// the hit into it and flushing it to the disk), against a plain copy of the same byte ranges of the
// image on the same machine: 1 MiB reads and writes, the same with each file flushed (fsync) as the
// helper does, and copy_file_range.
//
//   AppModelRecoveryBench [--folder PATH] [--runs N]
//
// The image is an HFS Plus volume (made with the test fixtures' builder) holding five MP4 files of 50
// to 200 MiB, found by a quick-undelete scan. No integrity checker is attached, so the model neither
// runs the quality pass nor judges the written files: the figure is the copy. The four ways take
// turns, the best of N runs each (default 3); the files are removed after each run. Every file the
// model recovered is compared byte for byte with the plain copy once.

#include "bench/AppBenchSupport.h"
#include "bench/BenchSupport.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t mebibyte = 1024 * 1024;
constexpr std::uint32_t blockBytes = 4096;

struct Placed {
    std::string name;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "open");
    }
    ~Fd() { ::close(m_fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// An MP4 of length bytes at offset of the image: ftyp, then one mdat box of pseudo-random media.
void writeMovie(int image, std::uint64_t offset, std::uint64_t length, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    Bytes piece(mebibyte);
    for (std::uint64_t done = 0; done < length; done += piece.size()) {
        for (std::size_t i = 0; i < piece.size(); i += 8) {
            const std::uint64_t value = random();
            std::memcpy(piece.data() + i, &value, 8);
        }
        if (done == 0) {
            const std::uint8_t header[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0,
                                           'i', 's', 'o', 'm', 'i', 's', 'o', '2', 0, 0, 0, 1, 'm', 'd', 'a', 't'};
            std::memcpy(piece.data(), header, sizeof header);
        }
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), length - done));
        if (::pwrite(image, piece.data(), count, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(count))
            throw std::system_error(errno, std::generic_category(), "pwrite");
    }
}

std::vector<Placed> makeImage(const fs::path& path) {
    const std::uint64_t sizesMiB[] = {50, 80, 120, 160, 200};
    std::uint64_t total = 0;
    for (auto size : sizesMiB) total += size * mebibyte;
    test::HfsPlusImageBuilder::Options options;
    options.blockSize = blockBytes;
    options.totalBlocks = static_cast<std::uint32_t>(total / blockBytes + 4096);
    test::HfsPlusImageBuilder hfs(options);
    std::vector<Placed> placed;
    for (std::size_t i = 0; i < std::size(sizesMiB); ++i) {
        const std::uint64_t length = sizesMiB[i] * mebibyte;
        const auto blocks = static_cast<std::uint32_t>(length / blockBytes);
        const std::uint32_t start = hfs.allocate(blocks);
        const std::string name = "clip_" + std::to_string(i + 1) + ".mp4";
        hfs.addFileAt(test::HfsPlusImageBuilder::rootFolderId, name, {}, {{start, blocks}}, length);
        placed.push_back({name, hfs.blockOffset(start), length});
    }
    test::writeFile(path, hfs.build());
    const Fd image(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    for (std::size_t i = 0; i < placed.size(); ++i) writeMovie(image.get(), placed[i].offset, placed[i].length, 1000 + i);
    return placed;
}

std::uint64_t totalBytes(const std::vector<Placed>& files) {
    std::uint64_t total = 0;
    for (const auto& file : files) total += file.length;
    return total;
}

enum class Copy { readWrite, readWriteFlushed, copyFileRange };

// The plain copy: each range read from the image and written to a new file of the folder.
void plainCopy(const fs::path& image, const std::vector<Placed>& files, const fs::path& folder, Copy how) {
    const Fd source(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    Bytes buffer(mebibyte);
    for (const auto& file : files) {
        const Fd out(::open((folder / file.name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        for (std::uint64_t done = 0; done < file.length;) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file.length - done));
            ssize_t moved = 0;
            if (how == Copy::copyFileRange) {
                auto from = static_cast<loff_t>(file.offset + done);
                moved = ::copy_file_range(source.get(), &from, out.get(), nullptr, want, 0);
            } else {
                moved = ::pread(source.get(), buffer.data(), want, static_cast<off_t>(file.offset + done));
                if (moved > 0 && ::write(out.get(), buffer.data(), static_cast<std::size_t>(moved)) != moved) moved = -1;
            }
            if (moved <= 0) throw std::system_error(errno, std::generic_category(), "copy of " + file.name);
            done += static_cast<std::uint64_t>(moved);
        }
        if (how == Copy::readWriteFlushed && ::fsync(out.get()) != 0)
            throw std::system_error(errno, std::generic_category(), "fsync of " + file.name);
    }
}

bool sameBytes(const fs::path& a, const fs::path& b) {
    const Fd left(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
    const Fd right(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
    Bytes one(mebibyte), two(mebibyte);
    for (;;) {
        const ssize_t got = ::read(left.get(), one.data(), one.size());
        if (got != ::read(right.get(), two.data(), two.size())) return false;
        if (got <= 0) return got == 0;
        if (std::memcmp(one.data(), two.data(), static_cast<std::size_t>(got)) != 0) return false;
    }
}

double timed(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return bench::seconds(start);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    fs::path parent = fs::temp_directory_path();
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--folder" && i + 1 < argc) parent = argv[++i];
        else if (argument == "--runs" && i + 1 < argc) runs = std::max(1, std::stoi(argv[++i]));
        else {
            std::cerr << "usage: AppModelRecoveryBench [--folder PATH] [--runs N]\n";
            return 2;
        }
    }
    const fs::path work = parent / ("vantrel-recovery-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path image = work / "volume.img";
    const std::vector<Placed> files = makeImage(image);
    const std::uint64_t bytes = totalBytes(files);
    const auto megabytesPerSecond = [&](double seconds) { return static_cast<double>(bytes) / seconds / 1e6; };

    bench::RealHelperModel app;
    AppModel& model = *app.model;
    bench::runLoopUntil(model, [&] { model.beginHelperScan(image.string(), ScanMode::quickUndelete); },
                        [&] { return !model.isScanning(); });
    std::set<Uuid> all;
    for (const auto& hit : model.hits()) all.insert(hit.id);
    if (model.errorMessage() || all.size() != files.size()) {
        std::cerr << "the scan found " << all.size() << " of " << files.size() << " files"
                  << (model.errorMessage() ? ": " + model.errorMessage()->toStdString() : std::string()) << "\n";
        return 1;
    }
    model.setSelectedHitIDs(all);

    double bestRecovery = 0, bestReadWrite = 0, bestFlushed = 0, bestCopyRange = 0, longestStall = 0;
    for (int run = 0; run < runs; ++run) {
        const fs::path plain = work / "plain";
        const fs::path flushed = work / "flushed";
        const fs::path ranged = work / "ranged";
        const fs::path recovered = work / "recovered";
        for (const auto& folder : {plain, flushed, ranged, recovered}) fs::create_directory(folder);
        const double readWrite = megabytesPerSecond(timed([&] { plainCopy(image, files, plain, Copy::readWrite); }));
        const double flushedCopy = megabytesPerSecond(timed([&] { plainCopy(image, files, flushed, Copy::readWriteFlushed); }));
        const double copyRange = megabytesPerSecond(timed([&] { plainCopy(image, files, ranged, Copy::copyFileRange); }));
        const bench::LoopRun loop = bench::runLoopUntil(
            model, [&] { model.recoverSelected(recovered.string()); }, [&] { return !model.isRecovering(); });
        const QString expected = QStringLiteral("Recovered %1 file(s).").arg(files.size());
        if (!loop.finished || model.errorMessage() || model.statusMessage() != expected) {
            std::cerr << "recovery " << run + 1 << " failed: " << model.statusMessage().toStdString() << " "
                      << (model.errorMessage() ? model.errorMessage()->toStdString() : std::string()) << "\n";
            return 1;
        }
        if (run == 0)
            for (const auto& file : files)
                if (!sameBytes(plain / file.name, recovered / file.name)) {
                    std::cerr << file.name << " was not recovered byte for byte\n";
                    return 1;
                }
        const double recovery = megabytesPerSecond(loop.seconds);
        std::printf("run %d        recovery %.0f MB/s, read/write %.0f MB/s, flushed %.0f MB/s, copy_file_range %.0f MB/s, "
                    "stall %.1f ms\n",
                    run + 1, recovery, readWrite, flushedCopy, copyRange, loop.longestStallMs);
        bestRecovery = std::max(bestRecovery, recovery);
        bestReadWrite = std::max(bestReadWrite, readWrite);
        bestFlushed = std::max(bestFlushed, flushedCopy);
        bestCopyRange = std::max(bestCopyRange, copyRange);
        longestStall = std::max(longestStall, loop.longestStallMs);
        for (const auto& folder : {plain, flushed, ranged, recovered}) fs::remove_all(folder);
    }
    fs::remove_all(work);

    std::printf("hits         %zu MP4 files, %.0f MB in all (%.0f to %.0f MB each)\n", files.size(),
                static_cast<double>(bytes) / 1e6, static_cast<double>(files.front().length) / 1e6,
                static_cast<double>(files.back().length) / 1e6);
    std::printf("plain copy   %8.0f MB/s  (1 MiB pread/write)\n", bestReadWrite);
    std::printf("plain copy   %8.0f MB/s  (1 MiB pread/write, each file flushed as the helper does)\n", bestFlushed);
    std::printf("plain copy   %8.0f MB/s  (copy_file_range)\n", bestCopyRange);
    std::printf("recovery     %8.0f MB/s  (model and helper, best of %d)\n", bestRecovery, runs);
    std::printf("ratio        %8.1f %% of the flushed copy, %.1f %% of the unflushed one\n", 100.0 * bestRecovery / bestFlushed,
                100.0 * bestRecovery / bestReadWrite);
    std::printf("longest stall %7.1f ms of the event loop during a recovery\n", longestStall);
    return 0;
}
