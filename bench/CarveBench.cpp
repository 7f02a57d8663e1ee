// Speed of the signature carve against a plain sequential read of the same image.
//
//   CarveBench [--image PATH] [--make] [--dense] [--size-mib N] [--hits PATH] [--runs N]
//
// With --make (or when PATH does not exist) it first writes an image of N MiB (default 1024) with realistic
// content: photos (JPEG with an embedded thumbnail, PNG), documents (PDF, DOCX), videos (MP4), random and
// zero regions, about half of the files marked live; with --dense, the card of small files AppModelScanBench
// --dense scans, with its filters. It then reads the image once to bring it into the page
// cache, times cat, a plain sequential read and a carve in the standard mode's settings (single-threaded)
// in turn, N runs (default 1, one carve per process as a scan is), prints MB/s of each and every carve's
// ratio to the cat just before it, and writes the hit list so that a speed change can be checked for a change
// of results.

#include "bench/BenchImage.h"
#include "bench/BenchSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

using namespace vantrel;

int main(int argc, char** argv) {
    std::string imagePath;
    std::string hitsPath = "carve-bench-hits.txt";
    std::uint64_t sizeMiB = 1024;
    bool make = false;
    bool dense = false;
    int runs = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << argument << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (argument == "--image") imagePath = value();
        else if (argument == "--hits") hitsPath = value();
        else if (argument == "--size-mib") sizeMiB = std::stoull(value());
        else if (argument == "--make") make = true;
        else if (argument == "--dense") dense = true;
        else if (argument == "--runs") runs = std::max(1, std::stoi(value()));
        else {
            std::cerr << "usage: CarveBench [--image PATH] [--make] [--dense] [--size-mib N] [--hits PATH] [--runs N]\n";
            return 2;
        }
    }
    if (imagePath.empty())
        imagePath = (std::filesystem::temp_directory_path() / (dense ? "vantrel-dense-bench.img" : "vantrel-carve-bench.img")).string();

    AllocatedRegionMap live;
    if (make || !std::filesystem::exists(imagePath)) {
        const auto start = std::chrono::steady_clock::now();
        bench::Made made = dense ? bench::makeDenseImage(imagePath, sizeMiB * bench::mebibyte)
                                 : bench::makeImage(imagePath, sizeMiB * bench::mebibyte);
        live = std::move(made.live);
        std::printf("made %s: %llu MiB, %llu files (%zu live) in %.1f s\n", imagePath.c_str(),
                    static_cast<unsigned long long>(sizeMiB), static_cast<unsigned long long>(made.files),
                    live.count(), bench::seconds(start));
    }

    FileByteSource source(imagePath);
    const RecoveryFilters filters = dense ? bench::denseFilters() : RecoveryFilters::defaults();
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512);
    const bench::Measurement measured =
        bench::measure(imagePath, source.length(), runs, [&](const bench::ProgressSink& onProgress, const bench::HitSink& onHit) {
            carver.carve(source, filters, live, [] { return false; }, onProgress, onHit);
        });
    bench::writeHits(hitsPath, measured.hits);
    bench::printReport(imagePath, source.length(), "carve", measured, hitsPath);
    return 0;
}
