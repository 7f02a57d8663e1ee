// Every hit of a scan of an image, found, judged and recovered as the application does it: the model on
// the Qt event loop with the built helper (spawned as in AppModelScanBench) and the verifying child
// process attached, so that the quality pass follows the scan as in the program. Once the pass has
// judged every hit, each hit is recovered on its own into a numbered folder, and a list tells what
// each hit was. For comparing what comes back from a card with the files that were put on it
// (compare-recovery.sh); not a speed figure.
//
//   AppModelRecoverAll --image PATH --out FOLDER [--mode standard|quickUndelete]
//
// The scan takes the default filters. FOLDER (new or empty) receives N/<name> for the N-th hit in
// device order and list.tsv, one line a hit: N, offset, length, kind, source, fragmented (0/1),
// integrity, cluster reallocated (0/1), width x height, suggested name, recovered file (relative to
// FOLDER; empty when the recovery wrote none).

#include "Vantrel/scan/ChildProcessIntegrityChecker.h"
#include "bench/AppBenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

bool anyPending(const AppModel& model) {
    return std::any_of(model.hits().begin(), model.hits().end(),
                       [](const RecoveredHit& hit) { return hit.integrity == HitIntegrity::pending; });
}

// The one file a recovery left in the folder, if any.
std::string onlyFile(const fs::path& folder, const fs::path& base) {
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) return fs::relative(entry.path(), base).string();
    return {};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string imagePath;
    fs::path out;
    ScanMode mode = ScanMode::standard;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--out" && hasValue) out = argv[++i];
        else if (argument == "--mode" && hasValue && ScanModeName::fromRawValue(argv[i + 1])) mode = *ScanModeName::fromRawValue(argv[++i]);
        else imagePath.clear(), i = argc;
    }
    if (imagePath.empty() || out.empty()) {
        std::cerr << "usage: AppModelRecoverAll --image PATH --out FOLDER [--mode standard|quickUndelete]\n";
        return 2;
    }
    fs::create_directories(out);
    if (!fs::is_empty(out)) {
        std::cerr << out << " is not empty\n";
        return 2;
    }

    bench::RealHelperModel app;
    AppModel& model = *app.model;
    model.setIntegrityChecker(std::make_shared<ChildProcessIntegrityChecker>(VANTREL_VERIFY_PATH));
    model.setFilters(RecoveryFilters::defaults());
    const bench::LoopRun scan = bench::runLoopUntil(
        model, [&] { model.beginHelperScan(imagePath, mode); },
        [&] { return !model.isScanning() && !model.isQualityPassRunning() && !anyPending(model); }, 1800);
    if (!scan.finished || model.errorMessage()) {
        std::cerr << "the scan and its quality pass did not finish: "
                  << (model.errorMessage() ? model.errorMessage()->toStdString() : model.statusMessage().toStdString()) << "\n";
        return 1;
    }

    std::vector<RecoveredHit> hits(model.hits().begin(), model.hits().end());
    std::stable_sort(hits.begin(), hits.end(), [](const RecoveredHit& a, const RecoveredHit& b) { return a.byteOffset < b.byteOffset; });
    std::ofstream list(out / "list.tsv");
    int failures = 0;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const fs::path folder = out / std::to_string(i + 1);
        fs::create_directory(folder);
        model.setSelectedHitIDs({hits[i].id});
        const bench::LoopRun recovery = bench::runLoopUntil(
            model, [&] { model.recoverSelected(folder.string()); }, [&] { return !model.isRecovering(); }, 300);
        if (!recovery.finished || model.errorMessage()) {
            ++failures;
            std::cerr << "recovery of " << hits[i].suggestedName << " at " << hits[i].byteOffset << ": "
                      << (model.errorMessage() ? model.errorMessage()->toStdString() : model.statusMessage().toStdString()) << "\n";
            model.setErrorMessage(std::nullopt);
        }
        // The hit as the recovery left it (its verdict may have changed once the written file was judged).
        const auto now = std::find_if(model.hits().begin(), model.hits().end(), [&](const RecoveredHit& hit) { return hit.id == hits[i].id; });
        const RecoveredHit& hit = now != model.hits().end() ? *now : hits[i];
        list << i + 1 << '\t' << hit.byteOffset << '\t' << hit.byteLength << '\t' << FileKind::rawValue(hit.kind) << '\t'
             << HitSourceName::rawValue(hit.source) << '\t' << (hit.isFragmented ? 1 : 0) << '\t'
             << HitIntegrityName::rawValue(hit.integrity) << '\t' << (hit.clusterReallocated ? 1 : 0) << '\t';
        if (hit.dimensions) list << hit.dimensions->width << 'x' << hit.dimensions->height;
        list << '\t' << hit.suggestedName << '\t' << onlyFile(folder, out) << '\n';
    }
    std::printf("image        %s\nhits         %zu, scan and quality pass %.1f s\nrecovered    into %s (%d failed)\n",
                imagePath.c_str(), hits.size(), scan.seconds, out.c_str(), failures);
    return failures == 0 ? 0 : 1;
}
