// Time from the start of a scan to the last recovered file on the disk, against PhotoRec on the same image
// in the same run. Our side is the application's model with the built helper (spawned as in
// AppModelScanBench): a standard scan with the default filters, then every hit selected and recovered
// in one go into a folder, as a user does it; its run ends once the model reports the recovery done,
// which is after its flush of every file to the disk. PhotoRec searches the whole image
// (`photorec /log /d DIR /cmd IMAGE wholespace,search`, or the options given) into a folder of its own;
// its run ends once its files are on the disk too (one syncfs of its folder's file system, the
// cheapest flush that makes them durable).
//
//   AppModelScanRecoverBench (--image PATH | --make PATH [--size-mib N]) --out FOLDER [--runs N]
//                            [--quality-pass] [--photorec-options TEXT] [--no-photorec]
//
// --make writes the scan bench's FAT32 card (half of its files deleted) to PATH first. PhotoRec keeps
// none of that card's made-up JPEGs and brings back its live files, so only part of the two sides'
// output is the same hits. A card on which both bring back the same photos, byte for byte, is one of
// real photos quick-formatted away: `make-camera-card.sh IMAGE 2048 DIR formatted`, with DIR holding
// the JPEG wallpapers over 500 KB under /usr/share/backgrounds (Debian's mate-backgrounds,
// ukui-wallpapers, lomiri-wallpapers-*). Each way runs in an empty folder under FOLDER, so both write
// to the same file system; before each way the folder of the way before is removed and everything is
// synced, so that no way pays for another's writes or removals. The two take turns, the order changing every run, so that both meet the same load; a
// first round is not counted (it warms the caches). After each way (not timed) every file it wrote
// is read back and identified by its size and CRC-32, so that the report says which hits both brought
// back byte for byte, which only one did, and whether each side wrote the same files in every run.
// --quality-pass attaches the verifying child process and waits for its pass before recovering.
// Prints each run's seconds of both, PhotoRec's seconds over ours (above 1: faster than PhotoRec),
// min/median/max, the load average before and after, and what each side wrote.

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "bench/AppBenchSupport.h"
#include "bench/BenchImage.h"
#include "bench/BenchSupport.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

// A written file as the comparison knows it: equal contents give equal identities.
using Identity = std::pair<std::uint64_t, std::uint32_t>;  // size, CRC-32

struct Written {
    std::multiset<Identity> files;
    std::uint64_t bytes = 0;
    double scanSeconds = 0;  // of ours: the scan's share of the run
};

Identity identify(const fs::path& path) {
    Identity identity{0, static_cast<std::uint32_t>(::crc32_z(0, nullptr, 0))};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return identity;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got <= 0) break;
        identity.first += static_cast<std::uint64_t>(got);
        identity.second = static_cast<std::uint32_t>(::crc32_z(identity.second, buffer.data(), static_cast<std::size_t>(got)));
    }
    ::close(fd);
    return identity;
}

// What a way left in its folder: the recovered files, not PhotoRec's log and report.
Written writtenUnder(const fs::path& folder) {
    Written written;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".log" || entry.path().filename() == "report.xml") continue;
        const Identity identity = identify(entry.path());
        written.files.insert(identity);
        written.bytes += identity.first;
    }
    return written;
}

// How many of a's files b holds too (each of b's counted once), and their bytes.
std::pair<std::size_t, std::uint64_t> common(const std::multiset<Identity>& a, const std::multiset<Identity>& b) {
    std::vector<Identity> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    std::uint64_t bytes = 0;
    for (const Identity& identity : both) bytes += identity.first;
    return {both.size(), bytes};
}

// Each way starts in an empty folder with nothing of the way before left to write back or remove.
void emptyAndSettle(const fs::path& folder, const fs::path& previous) {
    if (!previous.empty()) fs::remove_all(previous);
    fs::remove_all(folder);
    fs::create_directories(folder);
    ::sync();
}

bool anyPending(const AppModel& model) {
    return std::any_of(model.hits().begin(), model.hits().end(),
                       [](const RecoveredHit& hit) { return hit.integrity == HitIntegrity::pending; });
}

// Seconds of a scan and the recovery of every hit, or a negative number when either failed.
double ourRun(const std::string& imagePath, const fs::path& folder, bool qualityPass, Written& written) {
    bench::RealHelperModel app;
    AppModel& model = *app.model;
    if (qualityPass) model.setIntegrityChecker(std::make_shared<ChildProcessIntegrityChecker>(VANTREL_VERIFY_PATH));
    model.setFilters(RecoveryFilters::defaults());
    const auto start = std::chrono::steady_clock::now();
    const bench::LoopRun scan = bench::runLoopUntil(
        model, [&] { model.beginHelperScan(imagePath, ScanMode::standard); },
        [&] { return !model.isScanning() && !model.isQualityPassRunning() && (!qualityPass || !anyPending(model)); }, 1800);
    if (!scan.finished || model.errorMessage()) {
        std::cerr << "the scan did not finish: "
                  << (model.errorMessage() ? model.errorMessage()->toStdString() : model.statusMessage().toStdString()) << "\n";
        return -1;
    }
    std::set<Uuid> all;
    for (const RecoveredHit& hit : model.hits()) all.insert(hit.id);
    const std::size_t hits = all.size();
    model.setSelectedHitIDs(std::move(all));
    const bench::LoopRun recovery =
        bench::runLoopUntil(model, [&] { model.recoverSelected(folder.string()); }, [&] { return !model.isRecovering(); }, 1800);
    const double seconds = bench::seconds(start);
    const QString expected = QStringLiteral("Recovered %1 file(s).").arg(hits);
    if (!recovery.finished || model.errorMessage() || model.statusMessage() != expected) {
        std::cerr << "the recovery did not finish: " << model.statusMessage().toStdString() << " "
                  << (model.errorMessage() ? model.errorMessage()->toStdString() : std::string()) << "\n";
        return -1;
    }
    written = writtenUnder(folder);
    written.scanSeconds = scan.seconds;
    return seconds;
}

double photorecRun(const std::string& imagePath, const std::string& options, const fs::path& folder, Written& written) {
    // PhotoRec writes its log into the folder it runs in.
    const std::string command = "cd '" + folder.string() + "' && photorec /log /d '" + (folder / "recup").string() +
                                "' /cmd '" + imagePath + "' " + options + " > /dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return -1;
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = directory >= 0 && ::syncfs(directory) == 0;
    if (directory >= 0) ::close(directory);
    if (!flushed) return -1;
    const double seconds = bench::seconds(start);
    written = writtenUnder(folder);
    return seconds;
}

void printSpread(const char* label, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    if (values.empty()) return;
    std::printf("%-12s %6.2f / %6.2f / %6.2f %s (min / median / max)\n", label, values.front(), bench::median(values),
                values.back(), unit);
}

double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string imagePath, options = "wholespace,search";
    fs::path out;
    int runs = 5;
    std::uint64_t sizeMiB = 2048;
    bool qualityPass = false, photorec = true, make = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--make" && hasValue) imagePath = argv[++i], make = true;
        else if (argument == "--size-mib" && hasValue) sizeMiB = std::max<std::uint64_t>(64, std::stoull(argv[++i]));
        else if (argument == "--out" && hasValue) out = argv[++i];
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--photorec-options" && hasValue) options = argv[++i];
        else if (argument == "--quality-pass") qualityPass = true;
        else if (argument == "--no-photorec") photorec = false;
        else imagePath.clear(), i = argc;
    }
    if (imagePath.empty() || out.empty()) {
        std::cerr << "usage: AppModelScanRecoverBench (--image PATH | --make PATH [--size-mib N]) --out FOLDER [--runs N] "
                     "[--quality-pass] [--photorec-options TEXT] [--no-photorec]\n";
        return 2;
    }
    if (make) {
        const bench::Made made = bench::makeFatCard(imagePath, sizeMiB * bench::mebibyte);
        std::printf("made         %s: %llu files, every other one deleted\n", imagePath.c_str(),
                    static_cast<unsigned long long>(made.files));
    }
    fs::create_directories(out);
    const fs::path ourFolder = out / "vantrel", theirFolder = out / "photorec";
    bench::plainRead(imagePath);  // into the page cache
    const std::string loadBefore = bench::loadAverage();
    std::vector<double> ours, theirs, ratios;
    std::optional<Written> ourFirst, theirFirst;
    bool ourSame = true, theirSame = true;
    fs::path previous;
    // Round 0 warms the caches and is not counted.
    for (int run = 0; run <= runs; ++run) {
        double our = 0, their = 0;
        Written ourWritten, theirWritten;
        // Who goes first changes every run.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (run % 2 == 0)) {
                emptyAndSettle(ourFolder, previous);
                previous = ourFolder;
                our = ourRun(imagePath, ourFolder, qualityPass, ourWritten);
                if (our < 0) return 1;
            } else if (photorec) {
                emptyAndSettle(theirFolder, previous);
                previous = theirFolder;
                their = photorecRun(imagePath, options, theirFolder, theirWritten);
                if (their < 0) {
                    std::cerr << "photorec failed or its files could not be flushed\n";
                    return 1;
                }
            }
        }
        if (!ourFirst) ourFirst = ourWritten;
        else ourSame = ourSame && ourFirst->files == ourWritten.files;
        if (photorec && !theirFirst) theirFirst = theirWritten;
        else if (photorec) theirSame = theirSame && theirFirst->files == theirWritten.files;
        const bool counted = run > 0;
        if (counted) {
            ours.push_back(our);
            if (photorec) theirs.push_back(their), ratios.push_back(their / our);
        }
        std::printf("%s %d  vantrel %.2f s (scan %.2f s; %zu files, %.0f MB)", counted ? "run" : "warm-up", run, our,
                    ourWritten.scanSeconds, ourWritten.files.size(), megabytes(ourWritten.bytes));
        if (photorec)
            std::printf("   photorec %.2f s (%zu files, %.0f MB)   speed %.2f of photorec's", their, theirWritten.files.size(),
                        megabytes(theirWritten.bytes), their / our);
        std::printf("   load %s\n", bench::loadAverage().c_str());
        std::fflush(stdout);
    }
    fs::remove_all(ourFolder);
    fs::remove_all(theirFolder);
    std::printf("image        %s (%.0f MB), %s, photorec %s, %d runs after a warm-up, into %s\n", imagePath.c_str(),
                megabytes(fs::file_size(imagePath)), qualityPass ? "with the quality pass" : "no quality pass", options.c_str(),
                runs, out.c_str());
    printSpread("vantrel", ours, "s");
    if (photorec) {
        printSpread("photorec", theirs, "s");
        printSpread("speed ratio", ratios, "x photorec's");
        const auto [ofOurs, ofOursBytes] = common(ourFirst->files, theirFirst->files);
        std::printf("written      vantrel %zu files (%.0f MB), photorec %zu files (%.0f MB); the same bytes in both: %zu files "
                    "(%.0f MB); only vantrel's: %zu, only photorec's: %zu\n",
                    ourFirst->files.size(), megabytes(ourFirst->bytes), theirFirst->files.size(), megabytes(theirFirst->bytes),
                    ofOurs, megabytes(ofOursBytes), ourFirst->files.size() - ofOurs, theirFirst->files.size() - ofOurs);
    }
    std::printf("every run    vantrel %s, photorec %s\n", ourSame ? "the same files" : "OTHER FILES",
                !photorec ? "not run" : theirSame ? "the same files" : "OTHER FILES");
    std::printf("load         %s before, %s after\n", loadBefore.c_str(), bench::loadAverage().c_str());
    return ourSame ? 0 : 1;
}
