// Speed and memory of saving and opening a large scan catalog.
//
//   ScanCatalogBench [--hits N] [--file PATH] [--runs N]
//   ScanCatalogBench --hostile MB [--file PATH]
//
// Builds N hits (default 1,000,000) shaped like a real scan's (undeleted photographs with paths, cluster
// hints and capture dates, carved files without), then saves them and opens the file again, the best of
// --runs turns each (default 3). Prints the time of each step, the file's size, the rate of a plain read
// of the same file, and the peak resident memory of the process after the build and after the turns.
// The file stays at PATH (default scan-catalog-bench.vtcat) for a look at the result.
// With --hostile, it times the refusal of two hostile files instead: a catalog whose first object
// holds 100,000 keys, and one of MB megabytes that is one giant list; and the peak memory after both.

#include "Vantrel/catalog/ScanCatalog.h"
#include "bench/BenchSupport.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>

namespace {

using namespace vantrel;

double peakResidentMiB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

ScanCatalog makeCatalog(std::size_t count) {
    ScanCatalog catalog;
    catalog.createdAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    catalog.appBuild = "0.1.0";
    catalog.source.displayName = "EOS_DIGITAL";
    catalog.source.bsdName = "sdb";
    catalog.source.rawDevicePath = "/dev/sdb";
    catalog.source.sizeBytes = 256ull << 30;
    catalog.source.identity.serialNumber = "0x1a2b3c4d";
    catalog.hits.reserve(count);
    const HitDate captured = catalog.createdAt - std::chrono::hours(24 * 300);
    for (std::size_t i = 0; i < count; ++i) {
        RecoveredHit hit;
        hit.byteOffset = static_cast<std::uint64_t>(i) * 262'144;
        hit.byteLength = 3'000'000 + i % 1'000'000;
        if (i % 2 == 0) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%06zu.JPG", i);
            hit.kind = RecoveredFileKind::jpeg;
            hit.suggestedName = name;
            hit.reconstructedPath = "/DCIM/100CANON";
            hit.source = HitSource::fatUndelete;
            hit.clusterHint = ClusterAllocationHint{static_cast<std::uint32_t>(i + 2), 4'194'304, DetectedFileSystem::exfat};
            hit.captureDate = captured + std::chrono::seconds(i);
            hit.integrity = HitIntegrity::ok;
        } else {
            char name[32];
            std::snprintf(name, sizeof name, "recovered_%05zu.mp4", i);
            hit.kind = RecoveredFileKind::mp4;
            hit.suggestedName = name;
        }
        hit.dimensions = ImageDimensions{6000, 4000};
        catalog.hits.push_back(std::move(hit));
    }
    return catalog;
}

double plainReadMBps(const std::string& path, std::uint64_t& bytes) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || file.gcount() > 0)
        bytes += static_cast<std::uint64_t>(file.gcount());
    return static_cast<double>(bytes) / bench::seconds(start) / 1e6;
}

// Writes text, then times the load that must refuse it.
void timeRefusal(const std::string& what, const std::string& path, const std::function<void(std::ofstream&)>& write) {
    {
        std::ofstream file(path, std::ios::binary);
        write(file);
    }
    const auto start = std::chrono::steady_clock::now();
    std::string outcome = "loaded (not refused)";
    try {
        ScanCatalog::load(path);
    } catch (const ScanCatalogError& error) {
        outcome = error.error().message;
    }
    std::printf("%s: %.3f s, %s\n", what.c_str(), bench::seconds(start), outcome.c_str());
}

int hostile(std::size_t megabytes, const std::string& path) {
    timeRefusal("100,000 keys", path, [](std::ofstream& file) {
        file << R"({"version":1)";
        for (int index = 0; index < 100'000; ++index) file << ",\"k" << index << "\":0";
        file << "}";
    });
    timeRefusal("a list of " + std::to_string(megabytes) + " MB", path, [megabytes](std::ofstream& file) {
        file << R"({"version":1,"createdAt":"2025-03-01T09:30:00Z","future":[0)";
        const std::string chunk = [] {
            std::string text;
            for (int index = 0; index < 512 * 1024; ++index) text += ",0";
            return text;
        }();
        for (std::size_t written = 0; written < megabytes; ++written) file << chunk;
        file << "]}";
    });
    std::printf("peak resident memory: %.0f MiB\n", peakResidentMiB());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t count = 1'000'000;
    std::string path = "scan-catalog-bench.vtcat";
    int runs = 3;
    std::size_t hostileMegabytes = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string argument = argv[i];
        if (argument == "--hits") count = std::stoul(argv[i + 1]);
        else if (argument == "--file") path = argv[i + 1];
        else if (argument == "--runs") runs = std::max(1, std::stoi(argv[i + 1]));
        else if (argument == "--hostile") hostileMegabytes = std::stoul(argv[i + 1]);
    }
    if (hostileMegabytes > 0) return hostile(hostileMegabytes, path);
    const ScanCatalog catalog = makeCatalog(count);
    const double afterBuild = peakResidentMiB();
    double bestSave = 1e9;
    double bestOpen = 1e9;
    bool same = true;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        catalog.write(path);
        bestSave = std::min(bestSave, bench::seconds(start));
        start = std::chrono::steady_clock::now();
        const ScanCatalog loaded = ScanCatalog::load(path);
        bestOpen = std::min(bestOpen, bench::seconds(start));
        same = same && loaded == catalog;
    }
    std::uint64_t bytes = 0;
    const double readRate = plainReadMBps(path, bytes);
    std::printf("hits %zu, file %.1f MB (%.0f bytes per hit)\n", count, static_cast<double>(bytes) / 1e6,
                static_cast<double>(bytes) / static_cast<double>(std::max<std::size_t>(count, 1)));
    std::printf("plain read %.0f MB/s\n", readRate);
    std::printf("save %.2f s (%.0f MB/s), open %.2f s (%.0f MB/s), best of %d\n", bestSave,
                static_cast<double>(bytes) / bestSave / 1e6, bestOpen, static_cast<double>(bytes) / bestOpen / 1e6, runs);
    std::printf("peak resident memory: %.0f MiB with the hits built, %.0f MiB after saving and opening\n", afterBuild,
                peakResidentMiB());
    std::printf("opened catalog %s the saved one\n", same ? "equals" : "DIFFERS FROM");
    return same ? 0 : 1;
}
