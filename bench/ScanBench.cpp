// Speed of a whole scan through the engine (probe, live ranges, directory walks and, in the standard
// mode, carving) against a plain sequential read of the same image.
//
//   ScanBench --image PATH [--mode standard|quickUndelete] [--hits PATH] [--runs N] [--read-ahead]
//
// The image is any device image: a copy of a card, or one made by CarveBench --make. It is read once to
// bring it into the page cache; then cat, plain reads and scans take turns, N runs (default 1: later
// scans in one process find their buffers where earlier ones left them, which a user's single scan never
// does), and the program prints MB/s of each, every scan's ratio to the cat just before it, the
// min/median/max seconds of the scans and the cats, the load average before and after, what the scan read
// of the device, and writes the hit list so that a speed change can be checked for a change of results.
// --read-ahead reads the carver's next window on a second thread, as the helper does.

#include "VantrelHelper/ReadAheadByteSource.h"
#include "bench/BenchSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/engine/RecoveryEngine.h"
#include "tests/fixtures/CountingByteSource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using namespace vantrel;

} // namespace

int main(int argc, char** argv) {
    std::string imagePath;
    std::string hitsPath = "scan-bench-hits.txt";
    ScanMode mode = ScanMode::standard;
    int runs = 1;
    bool readAhead = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--hits" && hasValue) hitsPath = argv[++i];
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--mode" && hasValue && ScanModeName::fromRawValue(argv[i + 1])) mode = *ScanModeName::fromRawValue(argv[++i]);
        else if (argument == "--read-ahead") readAhead = true;
        else imagePath.clear(), i = argc;
    }
    if (imagePath.empty()) {
        std::cerr << "usage: ScanBench --image PATH [--mode standard|quickUndelete] [--hits PATH] [--runs N] [--read-ahead]\n";
        return 2;
    }

    FileByteSource file(imagePath);
    test::CountingByteSource source(file);
    const RecoveryEngine engine;
    const bench::Measurement measured =
        bench::measure(imagePath, source.length(), runs, [&](const bench::ProgressSink& onProgress, const bench::HitSink& onHit) {
            if (readAhead) {
                ReadAheadByteSource ahead(source);
                engine.scan(ahead, mode, RecoveryFilters::defaults(), [] { return false; }, onProgress, onHit);
            } else {
                engine.scan(source, mode, RecoveryFilters::defaults(), [] { return false; }, onProgress, onHit);
            }
        });
    bench::writeHits(hitsPath, measured.hits);
    std::printf("device reads %llu a scan, %.0f MB = %.2f of the image\n", static_cast<unsigned long long>(source.reads() / runs),
                static_cast<double>(source.bytes() / runs) / 1e6,
                static_cast<double>(source.bytes()) / runs / static_cast<double>(source.length()));
    bench::printReport(imagePath, source.length(), "scan", measured, hitsPath,
                       std::string(ScanModeName::rawValue(mode)).c_str());
    return 0;
}
