// Device reads and bytes read per extracted hit, without and with the volume cache a scan leaves:
// an exFAT card (4 KiB clusters) with many live files in folders and 20 deleted files of 20 KB is
// scanned in the quick-undelete mode, then every hit is read back both ways. Also prints the MB/s
// of a plain read of the image and of the extractions, and writes the hit list.
//
//   ExtractBench [--folders N] [--files-per-folder N] [--hits PATH] [--keep PATH]
//
// Needs mkfs.exfat.

#include "bench/BenchSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/engine/RecoveryEngine.h"
#include "recovery/filesystems/ClusterChainReader.h"
#include "tests/fixtures/CountingByteSource.h"
#include "tests/fixtures/ExFatImageWriter.h"
#include "tests/fixtures/TestSupport.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

using namespace vantrel;

struct PerHit {
    double reads = 0;
    double bytes = 0;
    double rate = 0;  // MB/s of the hits' own bytes
};

PerHit extractAll(ByteSource& device, const std::vector<RecoveredHit>& hits, VolumeCache* volumes) {
    test::CountingByteSource counted(device);
    std::uint64_t delivered = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const RecoveredHit& hit : hits)
        delivered += ClusterChainReader::extract(counted, hit, [](ByteView) {}, ClusterChainReader::defaultChunkBytes, volumes);
    const double took = bench::seconds(start);
    const auto count = static_cast<double>(hits.size());
    return {static_cast<double>(counted.reads()) / count, static_cast<double>(counted.bytes()) / count,
            static_cast<double>(delivered) / took / 1e6};
}

} // namespace

int main(int argc, char** argv) {
    int folders = 100;
    int filesPerFolder = 100;
    std::string hitsPath = "extract-bench-hits.txt";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string argument = argv[i];
        if (argument == "--folders") folders = std::stoi(argv[i + 1]);
        else if (argument == "--files-per-folder") filesPerFolder = std::stoi(argv[i + 1]);
        else if (argument == "--hits") hitsPath = argv[i + 1];
    }
    if (!test::haveProgram("mkfs.exfat")) {
        std::cerr << "ExtractBench needs mkfs.exfat\n";
        return 2;
    }
    test::TempDir dir;
    const auto imagePath = dir / "card.img";
    const std::uint64_t liveBytes = std::uint64_t(folders) * filesPerFolder * 4096;
    test::writeFile(imagePath, Bytes(liveBytes * 2 + 32 * 1024 * 1024));
    if (test::run({"mkfs.exfat", "-c", "4096", imagePath.string()}).exitCode != 0) return 1;
    test::ExFatImageWriter writer(test::readFile(imagePath));
    // Ten top folders share the folders (a root directory of one cluster holds some 40 names).
    std::vector<std::uint32_t> tops;
    for (int top = 0; top < 10; ++top)
        tops.push_back(writer.addDirectory(writer.rootCluster(), "Year " + std::to_string(2010 + top), {},
                                           static_cast<std::uint32_t>(folders / 10 * 96 / 4096 + 1)).firstCluster);
    for (int folder = 0; folder < folders; ++folder) {
        const auto placed = writer.addDirectory(tops[folder % 10], "Folder " + std::to_string(folder), {},
                                                static_cast<std::uint32_t>(filesPerFolder * 96 / 4096 + 1));
        for (int file = 0; file < filesPerFolder; ++file)
            writer.addFile(placed.firstCluster, "document " + std::to_string(file) + ".txt", test::randomBytes(1000, 1));
    }
    const auto dcim = writer.addDirectory(writer.rootCluster(), "DCIM");
    for (int i = 0; i < 20; ++i) {
        test::ExFatImageWriter::FileOptions options;
        options.deleted = true;
        options.noFatChain = i % 4 != 0;
        writer.addFile(dcim.firstCluster, "IMG_" + std::to_string(1000 + i) + ".png", test::randomBytes(20'000, 10 + i),
                       options);
    }
    test::writeFile(imagePath, writer.image());

    FileByteSource device(imagePath.string());
    VolumeCache volumes;
    std::vector<RecoveredHit> hits;
    RecoveryEngine().scan(device, ScanMode::quickUndelete, RecoveryFilters::defaults(), [] { return false; },
                          [](const ScanProgress&) {}, [&](const RecoveredHit& hit) { hits.push_back(hit); }, &volumes);
    if (hits.empty()) return 1;

    const double readRate = bench::plainRead(imagePath.string());
    const PerHit before = extractAll(device, hits, nullptr);
    const PerHit after = extractAll(device, hits, &volumes);
    std::printf("image        %s (%.0f MB, %d live files in %d folders)\n", imagePath.c_str(),
                static_cast<double>(device.length()) / 1e6, folders * filesPerFolder, folders);
    std::printf("plain read   %8.0f MB/s\n", readRate);
    std::printf("hits         %zu of %llu bytes on average\n", hits.size(),
                static_cast<unsigned long long>(hits.front().byteLength));
    std::printf("no cache     %8.1f reads/hit %10.0f bytes/hit %8.1f MB/s\n", before.reads, before.bytes, before.rate);
    std::printf("with cache   %8.1f reads/hit %10.0f bytes/hit %8.1f MB/s\n", after.reads, after.bytes, after.rate);
    bench::writeHits(hitsPath, hits);
    std::printf("hit list     %s\n", hitsPath.c_str());
    return 0;
}
