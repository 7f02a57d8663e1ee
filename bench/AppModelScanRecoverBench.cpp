// Time from the start of a scan to the last recovered file on the disk, against PhotoRec on the same image
// in the same run. Our side is the application's model with the built helper (spawned as in
// AppModelScanBench): a standard scan with the default filters, then every hit selected and recovered
// in one go into a folder, as a user does it; the run ends once the model reports the recovery done,
// which is after its flush of every file to the disk. PhotoRec searches the whole image
// (partition_none,wholespace,search) into a folder of its own and ends without a flush; with
// --flush-photorec its run ends once its files are flushed too (coreutils sync of each), as ours are. The
// two take turns, the order changing every run, so that both meet the same load.
//
//   AppModelScanRecoverBench --image PATH --out FOLDER [--runs N] [--quality-pass] [--flush-photorec]
//                            [--no-photorec] [--keep]
//
// FOLDER is where both write (put it on a tmpfs to leave the disk's write speed out); each run's
// output is removed after it unless --keep. --quality-pass attaches the verifying child process and
// waits for its pass before recovering, as AppModelRecoverAll does. Prints each run's seconds of both,
// PhotoRec's seconds over ours (above 1: faster than PhotoRec), min/median/max, the load average before
// and after, and what each side wrote.

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "bench/AppBenchSupport.h"
#include "bench/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

struct Written {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    double scanSeconds = 0;  // of ours: the scan's share of the run
};

Written writtenUnder(const fs::path& folder) {
    Written written;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".log" || entry.path().filename() == "report.xml") continue;
        ++written.files;
        written.bytes += entry.file_size();
    }
    return written;
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
    model.setSelectedHitIDs(std::move(all));
    fs::create_directories(folder);
    const bench::LoopRun recovery =
        bench::runLoopUntil(model, [&] { model.recoverSelected(folder.string()); }, [&] { return !model.isRecovering(); }, 1800);
    const double seconds = bench::seconds(start);
    if (!recovery.finished || model.errorMessage()) {
        std::cerr << "the recovery did not finish: "
                  << (model.errorMessage() ? model.errorMessage()->toStdString() : model.statusMessage().toStdString()) << "\n";
        return -1;
    }
    written = writtenUnder(folder);
    written.scanSeconds = scan.seconds;
    return seconds;
}

double photorecRun(const std::string& imagePath, const fs::path& folder, bool flush, Written& written) {
    fs::create_directories(folder);
    // PhotoRec writes its log into the folder it runs in.
    std::string command = "cd '" + folder.string() + "' && photorec /log /d '" + (folder / "recup").string() + "' /cmd '" +
                          imagePath + "' partition_none,wholespace,search > /dev/null 2>&1";
    if (flush) command += " && find '" + folder.string() + "' -type f -exec sync {} +";
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return -1;
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string imagePath;
    fs::path out;
    int runs = 5;
    bool qualityPass = false, photorec = true, keep = false, flushPhotorec = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--out" && hasValue) out = argv[++i];
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--quality-pass") qualityPass = true;
        else if (argument == "--no-photorec") photorec = false;
        else if (argument == "--flush-photorec") flushPhotorec = true;
        else if (argument == "--keep") keep = true;
        else imagePath.clear(), i = argc;
    }
    if (imagePath.empty() || out.empty()) {
        std::cerr << "usage: AppModelScanRecoverBench --image PATH --out FOLDER [--runs N] [--quality-pass] [--flush-photorec] "
                     "[--no-photorec] [--keep]\n";
        return 2;
    }
    fs::create_directories(out);
    bench::plainRead(imagePath);  // into the page cache
    const std::string loadBefore = bench::loadAverage();
    std::vector<double> ours, theirs, ratios;
    Written ourWritten, theirWritten;
    for (int run = 0; run < runs; ++run) {
        const fs::path ourFolder = out / ("vantrel-" + std::to_string(run + 1));
        const fs::path theirFolder = out / ("photorec-" + std::to_string(run + 1));
        fs::remove_all(ourFolder);
        fs::remove_all(theirFolder);
        double our = 0, their = 0;
        // Who goes first changes every run.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (run % 2 == 0)) {
                our = ourRun(imagePath, ourFolder, qualityPass, ourWritten);
                if (our < 0) return 1;
            } else if (photorec) {
                their = photorecRun(imagePath, theirFolder, flushPhotorec, theirWritten);
                if (their < 0) {
                    std::cerr << "photorec failed\n";
                    return 1;
                }
            }
        }
        ours.push_back(our);
        if (photorec) theirs.push_back(their), ratios.push_back(their / our);
        std::printf("run %d        vantrel %.2f s (scan %.2f s; %zu files, %.0f MB)", run + 1, our, ourWritten.scanSeconds,
                    ourWritten.files, static_cast<double>(ourWritten.bytes) / 1e6);
        if (photorec)
            std::printf("   photorec %.2f s (%zu files, %.0f MB)   speed %.2f of photorec's", their, theirWritten.files,
                        static_cast<double>(theirWritten.bytes) / 1e6, ratios.back());
        std::printf("\n");
        std::fflush(stdout);
        if (!keep) fs::remove_all(ourFolder), fs::remove_all(theirFolder);
    }
    std::printf("image        %s (%.0f MB), %s, %s, %d runs\n", imagePath.c_str(),
                static_cast<double>(fs::file_size(imagePath)) / 1e6, qualityPass ? "with the quality pass" : "no quality pass",
                flushPhotorec ? "photorec's files flushed" : "photorec's files not flushed", runs);
    printSpread("vantrel", ours, "s");
    if (photorec) {
        printSpread("photorec", theirs, "s");
        printSpread("speed ratio", ratios, "x photorec's");
    }
    std::printf("load         %s before, %s after\n", loadBefore.c_str(), bench::loadAverage().c_str());
    return 0;
}
