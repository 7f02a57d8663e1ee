// Cost of putting two-piece photos back together, on a card full of them.
//
//   ReassemblyBench --image PATH [--runs N] [--photos N]
//
// The image is a card of photos in two pieces with another photo between them, as
// `make-camera-card.sh IMAGE 1024 PHOTO_DIR fragmented` makes one. The program carves it in the standard
// mode's settings (single-threaded), then, for every JPEG hit the carve flagged, searches the sectors after
// it for the piece from which the picture decodes on to its end (for the first N flagged photos, default
// 20), and prints the time of each step, the carve's rate, how many pictures were joined, and the search's
// cost per flagged photo.

#include "bench/BenchSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"
#include "recovery/carving/formats/JPEGScanWalk.h"
#include "recovery/filesystems/SourceReads.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vantrel;

int main(int argc, char** argv) {
    std::string imagePath;
    int runs = 1;
    std::size_t photos = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string argument = argv[i];
        if (argument == "--image") imagePath = argv[i + 1];
        else if (argument == "--runs") runs = std::max(1, std::stoi(argv[i + 1]));
        else if (argument == "--photos") photos = std::stoul(argv[i + 1]);
    }
    if (imagePath.empty()) {
        std::fprintf(stderr, "usage: ReassemblyBench --image PATH [--runs N] [--photos N]\n");
        return 2;
    }
    FileByteSource source(imagePath);
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512);
    const bench::Measurement measured =
        bench::measure(imagePath, source.length(), runs, [&](const bench::ProgressSink& onProgress, const bench::HitSink& onHit) {
            carver.carve(source, RecoveryFilters::defaults(), AllocatedRegionMap{}, [] { return false; }, onProgress, onHit);
        });
    bench::printReport(imagePath, source.length(), "carve", measured, "/dev/null");

    std::size_t flagged = 0, joined = 0;
    double slowest = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const RecoveredHit& hit : measured.hits) {
        if (hit.kind != RecoveredFileKind::jpeg || !hit.isFragmented) continue;
        if (++flagged > photos) {
            --flagged;
            break;
        }
        Bytes piece;
        std::uint64_t pieceStart = 0;
        const std::uint64_t limit = source.length() - hit.byteOffset;
        const JPEGScanWalk::ByteFeed feed = [&](std::uint64_t position) -> ByteView {
            if (position >= limit) return {};
            if (position < pieceStart || position - pieceStart >= piece.size()) {
                SourceReads::readAvailableInto(source, hit.byteOffset + position, std::min<std::uint64_t>(1 << 20, limit - position), piece);
                pieceStart = position;
            }
            return ByteView(piece).subspan(static_cast<std::size_t>(position - pieceStart));
        };
        JPEGScanWalk::ContinuationSearch search;
        search.phase = hit.byteOffset % search.sectorBytes;
        search.firstLimit = hit.byteLength;
        search.limit = limit;
        const auto one = std::chrono::steady_clock::now();
        const auto found = JPEGScanWalk::findContinuation(feed, search);
        if (found) ++joined;
        if (std::getenv("REASSEMBLY_BENCH_LIST") != nullptr)
            std::printf("%llu %llu %s\n", static_cast<unsigned long long>(hit.byteOffset),
                        static_cast<unsigned long long>(hit.byteLength),
                        found ? std::to_string(hit.byteOffset + found->secondStart).c_str() : "-");
        slowest = std::max(slowest, bench::seconds(one));
    }
    const double total = bench::seconds(start);
    std::printf("flagged JPEGs  %zu, joined %zu\n", flagged, joined);
    std::printf("search         %.2f s in all, %.1f ms per flagged photo, slowest %.1f ms\n", total,
                flagged == 0 ? 0.0 : total * 1000 / static_cast<double>(flagged), slowest * 1000);
    return 0;
}
