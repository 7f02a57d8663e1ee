// Hits taken in per second by the application's model while it follows a scan through the real
// helper: VantrelHelper spawned over a socket pair with --allow-image-files, its callbacks handed to
// the Qt event loop and taken in there in batches, as in the program. Prints per run the hits per
// second, the scan's wall time and MB/s against `cat` of the image taken just before it, and the longest
// time the event loop was kept from a 1 ms timer (what a window would feel as a stall), and the main
// thread's CPU time a hit while the loop ran (the window's own cost of taking the hits in).
//
//   AppModelScanBench [--image PATH] [--make] [--dense | --fat] [--all-hits] [--size-mib N]
//                     [--mode standard|quickUndelete] [--runs N] [--hits PATH]
//
// The image is the one CarveBench makes (made here with --make or when PATH does not exist): large
// files, photos and videos. --dense makes one packed with small pictures and documents instead (2 to
// 8 KB; about a quarter of a million hits in 1 GiB), scanned with no minimum size or picture side, to
// load the intake; --fat a FAT32 card of photos, documents and media, half of
// them deleted. --all-hits scans for every kind with no size or picture limits instead of the default
// filters. No integrity checker is attached, so the quality pass does not follow the scan. N runs
// (default 3), each with a helper of its own, so each scan is the first of its process as a user's is.

#include "bench/AppBenchSupport.h"
#include "bench/BenchImage.h"
#include "bench/BenchSupport.h"

#include <filesystem>
#include <iostream>

using namespace vantrel;

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    std::string imagePath;
    std::string hitsPath = "app-scan-bench-hits.txt";
    std::uint64_t sizeMiB = 1024;
    ScanMode mode = ScanMode::standard;
    bool make = false;
    bool dense = false;
    bool fat = false;
    bool allHits = false;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--hits" && hasValue) hitsPath = argv[++i];
        else if (argument == "--size-mib" && hasValue) sizeMiB = std::stoull(argv[++i]);
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--mode" && hasValue && ScanModeName::fromRawValue(argv[i + 1])) mode = *ScanModeName::fromRawValue(argv[++i]);
        else if (argument == "--make") make = true;
        else if (argument == "--dense") dense = true;
        else if (argument == "--fat") fat = true;
        else if (argument == "--all-hits") allHits = true;
        else {
            std::cerr << "usage: AppModelScanBench [--image PATH] [--make] [--dense | --fat] [--all-hits] [--size-mib N] "
                         "[--mode standard|quickUndelete] [--runs N] [--hits PATH]\n";
            return 2;
        }
    }
    if (imagePath.empty())
        imagePath = (std::filesystem::temp_directory_path() /
                     (dense ? "vantrel-dense-bench.img" : fat ? "vantrel-fat-bench.img" : "vantrel-carve-bench.img"))
                        .string();
    if (make || !std::filesystem::exists(imagePath)) {
        const auto start = std::chrono::steady_clock::now();
        const bench::Made made = dense ? bench::makeDenseImage(imagePath, sizeMiB * bench::mebibyte)
                                 : fat ? bench::makeFatCard(imagePath, sizeMiB * bench::mebibyte)
                                       : bench::makeImage(imagePath, sizeMiB * bench::mebibyte);
        std::printf("made %s: %llu MiB, %llu files in %.1f s\n", imagePath.c_str(), static_cast<unsigned long long>(sizeMiB),
                    static_cast<unsigned long long>(made.files), bench::seconds(start));
    }
    const std::uint64_t imageBytes = std::filesystem::file_size(imagePath);

    RecoveryFilters filters = RecoveryFilters::defaults();
    if (dense) filters = bench::denseFilters();
    if (allHits) {
        filters = RecoveryFilters{};
        for (const auto kind : FileKind::allKinds())
            if (kind != RecoveredFileKind::unknown) filters.allowedKinds.insert(kind);
    }
    bench::plainRead(imagePath);  // into the page cache
    double catRate = 0;
    double bestRate = 0;
    bench::LoopRun best;
    std::size_t bestHits = 0;
    std::vector<RecoveredHit> hits;
    std::vector<double> scanRatios, intakeRates, mainMicroseconds;
    double longestStall = 0;
    for (int run = 0; run < runs; ++run) {
        const double cat = bench::catRead(imagePath);
        catRate = std::max(catRate, cat);
        bench::RealHelperModel app;
        AppModel& model = *app.model;
        model.setFilters(filters);
        const bench::LoopRun loop = bench::runLoopUntil(
            model, [&] { model.beginHelperScan(imagePath, mode); }, [&] { return !model.isScanning(); });
        if (!loop.finished || model.errorMessage()) {
            std::cerr << "scan " << run + 1 << " did not finish: "
                      << (model.errorMessage() ? model.errorMessage()->toStdString() : std::string("time limit")) << "\n";
            return 1;
        }
        const double rate = static_cast<double>(model.hits().size()) / loop.seconds;
        const double scanRate = static_cast<double>(imageBytes) / loop.seconds / 1e6;
        scanRatios.push_back(cat > 0 ? scanRate / cat : 0);
        intakeRates.push_back(rate);
        longestStall = std::max(longestStall, loop.longestStallMs);
        const auto taken = static_cast<double>(std::max<std::size_t>(1, model.hits().size()));
        mainMicroseconds.push_back(loop.loopCpuSeconds / taken * 1e6);
        std::printf("run %d        %zu hits in %.2f s, %.0f hits/s, %.0f MB/s = %.2f of cat (%.0f MB/s), longest stall %.1f ms, "
                    "main thread %.2f us a hit\n",
                    run + 1, model.hits().size(), loop.seconds, rate, scanRate, scanRatios.back(), cat, loop.longestStallMs,
                    mainMicroseconds.back());
        // Where the loop was held, to be found in a profile taken with perf record -k CLOCK_MONOTONIC.
        for (const auto& stall : loop.longStalls)
            std::printf("             stall of %.1f ms ending at %.6f s (CLOCK_MONOTONIC)\n", stall.ms, stall.endsAtSeconds);
        if (rate > bestRate) {
            bestRate = rate;
            best = loop;
            bestHits = model.hits().size();
            hits.assign(model.hits().begin(), model.hits().end());
        }
    }
    bench::writeHits(hitsPath, hits);
    std::printf("image        %s (%.0f MB)\n", imagePath.c_str(), static_cast<double>(imageBytes) / 1e6);
    std::printf("mode         %s, %s, %d runs\n", std::string(ScanModeName::rawValue(mode)).c_str(),
                allHits ? "all hits" : "default filters", runs);
    std::printf("cat          %8.0f MB/s (best)\n", catRate);
    std::printf("scan         %8.0f MB/s  (best run, %.2f s wall, helper started beforehand)\n",
                static_cast<double>(imageBytes) / best.seconds / 1e6, best.seconds);
    std::printf("ratio to cat %8.2f  (median of the runs)\n", bench::median(scanRatios));
    std::printf("intake       %8.0f hits/s  (median; best %.0f, %zu hits)\n", bench::median(intakeRates), bestRate, bestHits);
    std::printf("longest stall %7.1f ms of the event loop (all runs)\n", longestStall);
    std::printf("main thread  %8.2f us CPU a hit (median)\n", bench::median(mainMicroseconds));
    std::printf("hit list     %s\n", hitsPath.c_str());
    return 0;
}
