// Recovery throughput: hits recovered by the application's model through the real helper (each
// destination created by the model and handed over as a descriptor, the helper copying the hit into it,
// every file on the disk before the model reports it recovered), against plain copies of the same byte
// ranges of the image on the same machine: 1 MiB reads and writes, the same with each file flushed
// (fsync), the same with one syncfs of the folder at the end, and copy_file_range.
//
//   AppModelRecoveryBench [--folder PATH] [--runs N] [--small N] [--from-cache] [--shared-fs]
//
// Large (default): an HFS Plus volume (made with the test fixtures' builder) holding five MP4 files of 50
// to 200 MiB, found by a quick-undelete scan. Small (--small N): an exFAT card holding N deleted photos
// of 25,000 bytes each in one folder, found by a quick-undelete scan (needs mkfs.exfat). With
// --from-cache every hit's whole bytes are put in the model's cache of fetched hits first, so that the
// recovery copies them from there rather than asking the helper (the stalls are the figure). No integrity
// checker is attached, so the model neither runs the quality pass nor judges the written files: the
// figure is the copy.
//
// Where the ways write: run as root (with losetup and mkfs.ext4), into a file system of the bench's own,
// ext4 with its journal made afresh in a file of the work folder and mounted through a loop device, so
// that every way faces the same file system: one on which nothing was deleted before (a file system that
// passes over the inodes freed in the last minutes when it makes a file made the time of a way swing with
// what was removed before it), and whose flushes write back only what the ways wrote (a syncfs of a file
// system that other programs write to waits for their data too, and that, not the copy, decided many a
// figure on a busy machine). With --shared-fs, or without root, the ways write into the folder's own
// file system instead.
//
// The ways take turns in every run (N counted runs, default 9 with --small and 5 otherwise, after one
// that checks the bytes and is not counted), each run starting one further on; each way starts in a
// fresh, empty folder of the same file system with everything synced first. Many small files are left
// where they are until the end (nothing is removed on the file system while the bench runs); a few large
// ones are removed between ways, so that their pages do not crowd the image out of the cache. Every file
// the model recovered is compared byte for byte with the plain copy once. Reported: min, median and max
// of each way, the recovery's median against each copy's median, the recovery against each flushed copy
// of the same run (min, median and max of those paired ratios), each recovery's longest stall of the
// event loop (and the stalls over 20 ms, with their times for a profile), and the load average before
// and after.

#include "bench/AppBenchSupport.h"
#include "bench/BenchSupport.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/HfsPlusImageBuilder.h"
#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t mebibyte = 1024 * 1024;
constexpr std::uint32_t blockBytes = 4096;
// From this many files on, the folders of the ways are kept until the end rather than removed between ways.
constexpr std::size_t manyFiles = 100;
// Room on the bench's own file system beyond what the ways' files take (journal, folders, inode tables).
constexpr std::uint64_t scratchSpareBytes = 256 * 1024 * 1024;

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

// A card of count deleted photos of photoBytes each, their clusters in one run apiece.
std::vector<Placed> makeCard(const fs::path& path, int count, std::size_t photoBytes) {
    test::writeFile(path, Bytes(std::uint64_t(count) * (photoBytes + 4096) + 32 * mebibyte));
    if (test::run({"mkfs.exfat", "-c", "4096", path.string()}).exitCode != 0)
        throw std::runtime_error("mkfs.exfat failed");
    test::ExFatImageWriter writer(test::readFile(path));
    const auto folder = writer.addDirectory(writer.rootCluster(), "DCIM", {}, static_cast<std::uint32_t>(count * 128 / 4096 + 1));
    std::vector<Placed> placed;
    for (int i = 0; i < count; ++i) {
        test::ExFatImageWriter::FileOptions options;
        options.deleted = true;
        options.noFatChain = true;
        const std::string name = "IMG_" + std::to_string(10000 + i) + ".png";
        writer.addFile(folder.firstCluster, name, test::randomBytes(photoBytes, 100 + static_cast<std::uint64_t>(i)), options);
        placed.push_back({name, 0, photoBytes});
    }
    test::writeFile(path, writer.image());
    return placed;
}

std::uint64_t totalBytes(const std::vector<Placed>& files) {
    std::uint64_t total = 0;
    for (const auto& file : files) total += file.length;
    return total;
}

// An ext4 file system of the bench's own, made afresh in a file and mounted through a loop device for
// the life of the object; unmounted and detached at the end. mounted() is false (and why says why)
// when it could not be made.
class ScratchFileSystem {
public:
    ScratchFileSystem(const fs::path& image, const fs::path& mountPoint, std::uint64_t bytes, std::uint64_t inodes)
        : m_mountPoint(mountPoint) {
        if (const auto reason = test::LoopDevice::unavailableReason(); !reason.empty()) {
            why = reason;
            return;
        }
        if (!test::haveProgram("mkfs.ext4")) {
            why = "mkfs.ext4 is not installed";
            return;
        }
        {
            const Fd file(::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (::ftruncate(file.get(), static_cast<off_t>(bytes)) != 0)
                throw std::system_error(errno, std::generic_category(), "ftruncate");
        }
        // Inode tables and journal written now, so that no initialisation goes on behind the ways.
        const auto made = test::run({"mkfs.ext4", "-q", "-F", "-N", std::to_string(inodes), "-E",
                                     "lazy_itable_init=0,lazy_journal_init=0,nodiscard", image.string()});
        if (made.exitCode != 0) {
            why = "mkfs.ext4 failed: " + made.output;
            return;
        }
        m_loop = std::make_unique<test::LoopDevice>(image, 512, false);
        if (m_loop->path().empty()) {
            why = "losetup failed";
            return;
        }
        fs::create_directories(mountPoint);
        const auto mounted = test::run({"mount", "-t", "ext4", m_loop->path(), mountPoint.string()});
        if (mounted.exitCode != 0) {
            why = "mount failed: " + mounted.output;
            return;
        }
        m_mounted = true;
    }
    ~ScratchFileSystem() {
        if (m_mounted) test::run({"umount", m_mountPoint.string()});
    }
    ScratchFileSystem(const ScratchFileSystem&) = delete;
    ScratchFileSystem& operator=(const ScratchFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    std::string why;

private:
    fs::path m_mountPoint;
    std::unique_ptr<test::LoopDevice> m_loop;  // detached once unmounted
    bool m_mounted = false;
};

enum class Copy { readWrite, readWriteFlushed, readWriteSyncedOnce, copyFileRange };

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
    if (how == Copy::readWriteSyncedOnce) {
        const Fd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (::syncfs(directory.get()) != 0) throw std::system_error(errno, std::generic_category(), "syncfs");
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

double loadAverage() {
    double load = 0;
    ::getloadavg(&load, 1);
    return load;
}

struct Way {
    std::string label;
    std::vector<double> seconds;
};

} // namespace

namespace {
int measure(int argc, char** argv);
} // namespace

// A failure still unwinds, so that the bench's own file system is unmounted and its loop device freed.
int main(int argc, char** argv) {
    try {
        return measure(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "AppModelRecoveryBench: " << error.what() << "\n";
        return 1;
    }
}

namespace {

int measure(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    fs::path parent = fs::temp_directory_path();
    int runs = 0;
    int small = 0;
    bool fromCache = false;
    bool sharedFileSystem = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--folder" && i + 1 < argc) parent = argv[++i];
        else if (argument == "--runs" && i + 1 < argc) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--small" && i + 1 < argc) small = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--from-cache") fromCache = true;
        else if (argument == "--shared-fs") sharedFileSystem = true;
        else {
            std::cerr << "usage: AppModelRecoveryBench [--folder PATH] [--runs N] [--small N] [--from-cache] [--shared-fs]\n";
            return 2;
        }
    }
    if (small > 0 && !test::haveProgram("mkfs.exfat")) {
        std::cerr << "AppModelRecoveryBench --small needs mkfs.exfat\n";
        return 2;
    }
    const fs::path work = parent / ("vantrel-recovery-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const fs::path image = work / "volume.img";
    std::vector<Placed> files = small > 0 ? makeCard(image, small, 25'000) : makeImage(image);
    const std::uint64_t bytes = totalBytes(files);
    if (runs == 0) runs = small > 0 ? 9 : 5;

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
    if (small > 0) {
        // The ranges the hits name, so that the plain copies move the very bytes the helper does.
        std::map<std::string, const RecoveredHit*> byName;
        for (const auto& hit : model.hits()) byName[hit.suggestedName] = &hit;
        for (auto& file : files) {
            const auto found = byName.find(file.name);
            if (found == byName.end() || found->second->byteLength != file.length) {
                std::cerr << "no hit of " << file.length << " bytes for " << file.name << "\n";
                return 1;
            }
            file.offset = found->second->byteOffset;
        }
    }
    model.setSelectedHitIDs(all);
    if (fromCache) {
        std::map<std::string, const RecoveredHit*> byName;
        for (const auto& hit : model.hits()) byName[hit.suggestedName] = &hit;
        const Fd source(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
        for (const auto& file : files) {
            const fs::path stash = work / "stash";
            Bytes range(file.length);
            if (::pread(source.get(), range.data(), range.size(), static_cast<off_t>(file.offset)) != static_cast<ssize_t>(range.size()))
                throw std::system_error(errno, std::generic_category(), "pread");
            test::writeFile(stash, range);
            const RecoveredHit& hit = *byName.at(file.name);
            model.probeCache().adopt(stash, hit.id, hit.suggestedName);
        }
        std::size_t cached = 0;
        for (const auto& hit : model.hits()) cached += model.probeCache().fileSize(hit.id) == hit.byteLength ? 1 : 0;
        std::printf("cache        %zu of %zu hits whole in the cache\n", cached, files.size());
    }

    std::vector<Way> ways = {{"read/write", {}}, {"read/write, fsync each file", {}}, {"read/write, one syncfs at the end", {}},
                             {"copy_file_range", {}}, {"recovery (model and helper)", {}}};
    std::vector<Copy> copies = {Copy::readWrite, Copy::readWriteFlushed, Copy::readWriteSyncedOnce, Copy::copyFileRange};
    const bool keepFolders = files.size() >= manyFiles;

    // The ways' file system: the bench's own, or the work folder's.
    std::uint64_t wayBytes = 0;
    for (const auto& file : files) wayBytes += (file.length + blockBytes - 1) / blockBytes * blockBytes;
    const auto folderCount = static_cast<std::uint64_t>(runs + 1) * ways.size();
    std::unique_ptr<ScratchFileSystem> scratch;
    fs::path destination = work / "ways";
    if (!sharedFileSystem) {
        // Kept folders stay to the end; removed ones leave at most the checked copy and one way's files.
        const std::uint64_t held = keepFolders ? folderCount * wayBytes : 3 * wayBytes;
        scratch = std::make_unique<ScratchFileSystem>(work / "ways.ext4", destination, held + held / 8 + scratchSpareBytes,
                                                      folderCount * (files.size() + 1) + 4096);
        if (!scratch->mounted()) {
            std::cerr << "AppModelRecoveryBench: no file system of its own (" << scratch->why
                      << "); run as root with losetup and mkfs.ext4, or pass --shared-fs\n";
            scratch.reset();
            fs::remove_all(work);
            return 2;
        }
    } else {
        fs::create_directory(destination);
    }
    std::printf("ways write   into %s\n", scratch ? "an ext4 file system of their own (a loop device over a file)"
                                                  : "the folder's own file system");
    // copy_file_range copies within one file system only (across two, Linux 5.19 and later answer EXDEV):
    // the way is left out when the image lies on another.
    {
        const Fd source(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
        const Fd probe(::open((destination / "copy-probe").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        loff_t from = 0;
        if (::copy_file_range(source.get(), &from, probe.get(), nullptr, 1, 0) != 1) {
            std::printf("copy_file_range left out: %s\n", std::strerror(errno));
            copies.pop_back();
            ways.erase(ways.begin() + static_cast<std::ptrdiff_t>(copies.size()));
        }
    }
    const std::size_t recoveryWay = ways.size() - 1;
    // Every way of every run gets a folder of its own, made just before it starts.
    const auto folderOf = [&](int run, std::size_t way) {
        return destination / ("run" + std::to_string(run) + "-" + (way == recoveryWay ? "recovered" : "plain" + std::to_string(way)));
    };
    const double loadBefore = loadAverage();
    double longestStall = 0;
    std::vector<double> stalls;  // the longest of each recovery
    // The recovery over each flushed copy of the same run: paired, so that a slow spell of the machine
    // weighs on both sides of a ratio.
    std::vector<double> againstSyncedOnce;
    std::vector<double> againstFlushed;
    // Run 0 only checks the recovered bytes against a plain copy and warms the caches; it is not counted.
    std::vector<fs::path> written;  // the folders of the ways that ran, oldest first
    for (int run = 0; run <= runs; ++run) {
        const bool counted = run > 0;
        const fs::path recovered = folderOf(run, recoveryWay);
        std::vector<double> took(ways.size(), 0);
        // The ways take turns, each run starting one further on, so that none always follows the same one.
        for (std::size_t turn = 0; turn < ways.size(); ++turn) {
            const std::size_t way = (turn + static_cast<std::size_t>(run)) % ways.size();
            const fs::path folder = folderOf(run, way);
            // Every way starts in a new, empty folder with nothing left to write back: neither the files
            // of the way before nor their removal are paid for by this one. Many small files stay
            // where they are, so that nothing freed on the file system lies in the way of the next
            // way's files; a few large ones are removed (the plain copy the check compares with stays
            // until the check).
            if (!keepFolders) {
                std::erase_if(written, [&](const fs::path& old) {
                    if (!counted && old == folderOf(0, 0)) return false;
                    fs::remove_all(old);
                    return true;
                });
            }
            fs::create_directory(folder);
            written.push_back(folder);
            ::sync();
            if (way < std::size(copies)) {
                took[way] = timed([&] { plainCopy(image, files, folder, copies[way]); });
                continue;
            }
            const double startedAt = bench::monotonicSeconds();
            const bench::LoopRun loop = bench::runLoopUntil(
                model, [&] { model.recoverSelected(recovered.string()); }, [&] { return !model.isRecovering(); });
            const QString expected = QStringLiteral("Recovered %1 file(s).").arg(files.size());
            if (!loop.finished || model.errorMessage() || model.statusMessage() != expected) {
                std::cerr << "recovery " << run + 1 << " failed: " << model.statusMessage().toStdString() << " "
                          << (model.errorMessage() ? model.errorMessage()->toStdString() : std::string()) << "\n";
                return 1;
            }
            took[way] = loop.seconds;
            if (!counted) continue;
            longestStall = std::max(longestStall, loop.longestStallMs);
            stalls.push_back(loop.longestStallMs);
            std::printf("run %d        recovery %.3f s (from %.6f s, CLOCK_MONOTONIC), longest stall %.1f ms, main thread %.3f s of CPU\n",
                        run, loop.seconds, startedAt, loop.longestStallMs, loop.loopCpuSeconds);
            // Where the loop was held, to be found in a profile taken with perf record -k CLOCK_MONOTONIC.
            for (const auto& stall : loop.longStalls)
                std::printf("             stall of %.1f ms ending at %.6f s (CLOCK_MONOTONIC)\n", stall.ms, stall.endsAtSeconds);
            std::fflush(stdout);
        }
        if (!counted) {
            for (const auto& file : files)
                if (!sameBytes(folderOf(0, 0) / file.name, recovered / file.name)) {
                    std::cerr << file.name << " was not recovered byte for byte\n";
                    return 1;
                }
            continue;
        }
        for (std::size_t way = 0; way < ways.size(); ++way) ways[way].seconds.push_back(took[way]);
        const auto synced = static_cast<std::size_t>(Copy::readWriteSyncedOnce);
        const auto flushed = static_cast<std::size_t>(Copy::readWriteFlushed);
        againstSyncedOnce.push_back(took[synced] / took[recoveryWay]);
        againstFlushed.push_back(took[flushed] / took[recoveryWay]);
        std::printf("run %d        copy synced once %.3f s, recovery %.3f s: %.2f of the copy's speed; %.2f of the copy "
                    "with fsync of each (load %.1f)\n",
                    run, took[synced], took[recoveryWay], againstSyncedOnce.back(), againstFlushed.back(), loadAverage());
    }
    const double loadAfter = loadAverage();
    scratch.reset();
    fs::remove_all(work);

    std::printf("hits         %zu files, %.1f MB in all (%.2f to %.2f MB each), %d runs\n", files.size(),
                static_cast<double>(bytes) / 1e6, static_cast<double>(files.front().length) / 1e6,
                static_cast<double>(files.back().length) / 1e6, runs);
    const auto count = static_cast<double>(files.size());
    for (const auto& way : ways) {
        const auto [least, most] = std::minmax_element(way.seconds.begin(), way.seconds.end());
        const double middle = bench::median(way.seconds);
        std::printf("%-36s median %8.3f s (min %.3f, max %.3f)  %7.1f MB/s  %7.3f ms a file\n", way.label.c_str(), middle,
                    *least, *most, static_cast<double>(bytes) / middle / 1e6, middle / count * 1e3);
    }
    const double recovery = bench::median(ways.back().seconds);
    for (std::size_t way = 0; way + 1 < ways.size(); ++way)
        std::printf("ratio        %6.2f of %s (speed, medians)\n", bench::median(ways[way].seconds) / recovery,
                    ways[way].label.c_str());
    const auto spread = [](const char* label, std::vector<double> ratios) {
        std::sort(ratios.begin(), ratios.end());
        std::printf("paired       %.2f / %.2f / %.2f of %s (speed, min / median / max of the runs)\n", ratios.front(),
                    bench::median(ratios), ratios.back(), label);
    };
    spread("read/write, one syncfs at the end", againstSyncedOnce);
    spread("read/write, fsync each file", againstFlushed);
    std::printf("longest stall %7.1f ms of the event loop during a recovery (median of the runs' longest %.1f ms)\n", longestStall,
                bench::median(stalls));
    std::printf("load         %.2f before, %.2f after\n", loadBefore, loadAfter);
    return 0;
}

} // namespace
