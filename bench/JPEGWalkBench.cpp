// Speed of the JPEG structure walk alone, over every picture that starts at a sector of an image (the
// dense card of AppModelScanBench --dense, a camera card), and a digest of every walk's result, so that a
// faster walk can be checked to answer as before.
//
//   JPEGWalkBench --image PATH [--limit BYTES] [--chunk BYTES] [--runs N] [--by-symbol] [--damage N] [--out PATH]
//
// Each picture is walked over at most --limit bytes (default 64 KiB, less where the image ends), its bytes
// handed over in pieces of --chunk bytes (default all at once), as a reader's window hands them. --by-symbol
// walks each again code by code and counts where the two differ; --damage N walks N damaged copies of each
// picture too (a byte changed, bytes cut out or doubled), each also compared code by code. --out writes one
// line per walk: offset, damage, ending, end, decoded, MCUs decoded and in the scan.

#include "bench/BenchSupport.h"
#include "recovery/carving/formats/JPEGScanWalk.h"

#include <cinttypes>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>

using namespace vantrel;

namespace {

constexpr std::uint64_t sectorBytes = 512;

JPEGScanWalk::ByteFeed feedOf(ByteView bytes, std::uint64_t chunk) {
    return [bytes, chunk](std::uint64_t position) {
        if (position >= bytes.size()) return ByteView{};
        return bytes.subspan(static_cast<std::size_t>(position),
                             static_cast<std::size_t>(std::min<std::uint64_t>(chunk, bytes.size() - position)));
    };
}

// A copy of the picture with one kind of damage, picked by `seed`.
Bytes damaged(ByteView picture, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    Bytes out(picture.begin(), picture.end());
    if (out.size() < 16) return out;
    const auto at = static_cast<std::size_t>(random() % out.size());
    switch (random() % 4) {
    case 0: out[at] = static_cast<std::uint8_t>(random()); break;
    case 1: out[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
    case 2: out.erase(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), at + 1 + random() % 600))); break;
    default: {
        const auto count = std::min<std::size_t>(out.size() - at, 1 + random() % 600);
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), picture.begin() + static_cast<std::ptrdiff_t>(at),
                   picture.begin() + static_cast<std::ptrdiff_t>(at + count));
        break;
    }
    }
    return out;
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Digest {
    std::uint64_t hash = 14695981039346656037ull;
    void add(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) hash = (hash ^ ((value >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
};

} // namespace

int main(int argc, char** argv) {
    std::string imagePath, outPath;
    std::uint64_t limit = 64 * 1024, chunk = UINT64_MAX;
    int runs = 3, damage = 0;
    bool bySymbol = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--image" && hasValue) imagePath = argv[++i];
        else if (argument == "--out" && hasValue) outPath = argv[++i];
        else if (argument == "--limit" && hasValue) limit = std::max<std::uint64_t>(1, std::stoull(argv[++i]));
        else if (argument == "--chunk" && hasValue) chunk = std::max<std::uint64_t>(1, std::stoull(argv[++i]));
        else if (argument == "--runs" && hasValue) runs = std::max(1, std::stoi(argv[++i]));
        else if (argument == "--damage" && hasValue) damage = std::max(0, std::stoi(argv[++i]));
        else if (argument == "--by-symbol") bySymbol = true;
        else {
            std::cerr << "usage: JPEGWalkBench --image PATH [--limit BYTES] [--chunk BYTES] [--runs N] [--by-symbol] "
                         "[--damage N] [--out PATH]\n";
            return 2;
        }
    }
    if (imagePath.empty()) {
        std::cerr << "JPEGWalkBench: --image PATH is needed\n";
        return 2;
    }
    FileByteSource source(imagePath);
    Bytes image;
    source.readInto(0, static_cast<std::int64_t>(source.length()), image);
    std::vector<std::uint64_t> starts;
    for (std::uint64_t p = 0; p + 3 <= image.size(); p += sectorBytes)
        if (image[p] == 0xFF && image[p + 1] == 0xD8 && image[p + 2] == 0xFF) starts.push_back(p);
    const auto pictureAt = [&](std::uint64_t offset) {
        return ByteView(image).subspan(static_cast<std::size_t>(offset),
                                       static_cast<std::size_t>(std::min<std::uint64_t>(limit, image.size() - offset)));
    };

    std::printf("image        %s, %zu picture starts, load %s\n", imagePath.c_str(), starts.size(), bench::loadAverage().c_str());
    std::vector<double> rates;
    Digest digest;
    std::uint64_t whole = 0, walkedBytes = 0;
    for (int run = 0; run < runs; ++run) {
        Digest runDigest;
        std::uint64_t runWhole = 0, bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadSeconds();
        for (const std::uint64_t offset : starts) {
            const ByteView picture = pictureAt(offset);
            const auto walked = JPEGScanWalk::walk(feedOf(picture, chunk), picture.size());
            runDigest.add(offset);
            runDigest.add(static_cast<std::uint64_t>(walked.ending) | std::uint64_t{walked.decoded} << 8);
            runDigest.add(walked.end);
            runDigest.add(walked.mcusDecoded);
            runDigest.add(walked.mcusInScan);
            runWhole += walked.ending == JPEGScanWalk::Ending::whole;
            bytes += walked.end;
        }
        const double elapsed = bench::seconds(start), cpu = threadSeconds() - cpuStart;
        rates.push_back(static_cast<double>(starts.size()) / elapsed);
        std::printf("run %d        %.3f s (%.3f s CPU), %.0f walks/s, %.2f us CPU a walk, %.2f ns CPU a byte walked\n", run + 1,
                    elapsed, cpu, rates.back(), cpu / static_cast<double>(starts.size()) * 1e6,
                    cpu / static_cast<double>(std::max<std::uint64_t>(1, bytes)) * 1e9);
        digest = runDigest;
        whole = runWhole;
        walkedBytes = bytes;
    }
    std::sort(rates.begin(), rates.end());
    std::printf("walks/s      min %.0f, median %.0f, max %.0f; load %s\n", rates.front(), bench::median(rates), rates.back(),
                bench::loadAverage().c_str());
    std::printf("results      %" PRIu64 " whole of %zu, %" PRIu64 " bytes walked, digest %016" PRIx64 "\n", whole,
                starts.size(), walkedBytes, digest.hash);

    if (!bySymbol && damage == 0 && outPath.empty()) return 0;
    std::ofstream out;
    if (!outPath.empty()) out.open(outPath);
    Digest damagedDigest;
    std::uint64_t walks = 0, differing = 0;
    for (const std::uint64_t offset : starts) {
        const ByteView picture = pictureAt(offset);
        for (int d = 0; d <= damage; ++d) {
            const Bytes copy = d == 0 ? Bytes(picture.begin(), picture.end()) : damaged(picture, offset * 131 + static_cast<std::uint64_t>(d));
            const auto walked = JPEGScanWalk::walk(feedOf(copy, chunk), copy.size());
            ++walks;
            damagedDigest.add(static_cast<std::uint64_t>(walked.ending));
            damagedDigest.add(walked.end);
            damagedDigest.add(walked.mcusDecoded);
            if (bySymbol && JPEGScanWalk::walkBySymbol(feedOf(copy, chunk), copy.size()) != walked) {
                if (differing++ < 10) std::printf("differs      at %" PRIu64 ", damage %d\n", offset, d);
            }
            if (out)
                out << offset << ' ' << d << ' ' << static_cast<int>(walked.ending) << ' ' << walked.end << ' '
                    << walked.decoded << ' ' << walked.mcusDecoded << ' ' << walked.mcusInScan << '\n';
        }
    }
    std::printf("checked      %" PRIu64 " walks (%d damaged copies each), digest %016" PRIx64 ", %" PRIu64
                " differ code by code%s\n",
                walks, damage, damagedDigest.hash, differing, bySymbol ? "" : " (not compared)");
    return differing == 0 ? 0 : 1;
}
