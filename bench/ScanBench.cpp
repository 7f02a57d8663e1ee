// Speed of a whole scan through the engine (probe, live ranges, directory walks and, in the standard
// mode, carving) against a plain sequential read of the same image.
//
//   ScanBench --image PATH [--mode standard|quickUndelete] [--hits PATH] [--runs N]
//
// The image is any device image: a copy of a card, or one made by CarveBench --make. It is read once to
// bring it into the page cache; then plain reads and scans take turns, the best of N runs each (default 5),
// and the program prints MB/s of both, their ratio, and writes the hit list so that a speed change can be
// checked for a change of results.

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/engine/RecoveryEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using namespace vantrel;

constexpr std::int64_t readBytes = 4 * 1024 * 1024;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double plainRead(const std::string& path) {
    FileByteSource source(path);
    Bytes buffer;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t checksum = 0;
    for (std::uint64_t offset = 0; offset < source.length(); offset += readBytes) {
        source.readInto(offset, readBytes, buffer);
        checksum += buffer[buffer.size() / 2];
    }
    const double elapsed = seconds(start);
    if (checksum == 1) std::cout << "";
    return static_cast<double>(source.length()) / elapsed / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    std::string imagePath;
    std::string hitsPath = "scan-bench-hits.txt";
    ScanMode mode = ScanMode::standard;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--hits" && hasValue) hitsPath = argv[++i];
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--mode" && hasValue && ScanModeName::fromRawValue(argv[i + 1])) mode = *ScanModeName::fromRawValue(argv[++i]);
        else imagePath.clear(), i = argc;
    }
    if (imagePath.empty()) {
        std::cerr << "usage: ScanBench --image PATH [--mode standard|quickUndelete] [--hits PATH] [--runs N]\n";
        return 2;
    }

    plainRead(imagePath);  // into the page cache
    FileByteSource source(imagePath);
    const RecoveryEngine engine;
    std::vector<RecoveredHit> hits;
    ScanProgress last;
    double readRate = 0, scanRate = 0, elapsed = 0;
    for (int run = 0; run < runs; ++run) {
        readRate = std::max(readRate, plainRead(imagePath));
        hits.clear();
        const auto start = std::chrono::steady_clock::now();
        engine.scan(source, mode, RecoveryFilters::defaults(), [] { return false; },
                    [&](const ScanProgress& progress) { last = progress; },
                    [&](const RecoveredHit& hit) { hits.push_back(hit); });
        const double took = seconds(start);
        const double rate = static_cast<double>(source.length()) / took / 1e6;
        if (rate > scanRate) {
            scanRate = rate;
            elapsed = took;
        }
    }

    std::ofstream out(hitsPath);
    for (const RecoveredHit& hit : hits) {
        out << HitSourceName::rawValue(hit.source) << '\t' << hit.byteOffset << '\t' << FileKind::rawValue(hit.kind)
            << '\t' << hit.byteLength << '\t';
        if (hit.dimensions) out << hit.dimensions->width << 'x' << hit.dimensions->height;
        out << '\t' << hit.suggestedName << '\n';
    }
    std::printf("image        %s (%.0f MB)\n", imagePath.c_str(), static_cast<double>(source.length()) / 1e6);
    std::printf("mode         %s\n", std::string(ScanModeName::rawValue(mode)).c_str());
    std::printf("plain read   %8.0f MB/s\n", readRate);
    std::printf("scan         %8.0f MB/s  (%.2f s, %zu hits, %lld read errors)\n", scanRate, elapsed, hits.size(),
                static_cast<long long>(last.readErrors));
    std::printf("ratio        %8.1f %%\n", readRate > 0 ? 100.0 * scanRate / readRate : 0.0);
    std::printf("hit list     %s\n", hitsPath.c_str());
    return 0;
}
