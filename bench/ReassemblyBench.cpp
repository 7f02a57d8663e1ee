// Cost of putting two-piece photos back together, on a card full of them.
//
//   ReassemblyBench --image PATH [--runs N]
//
// The image is a card of photos in two pieces with another photo between them, as
// `make-camera-card.sh IMAGE 1024 PHOTO_DIR fragmented` makes one. The program carves it in the standard
// mode's settings (single-threaded), which puts two-piece photos back together, and prints the carve's rate
// and how many of the flagged photos were joined. Run it on the "formatted" card of the same photos too: the
// difference of the two rates is the reassembly's cost.

#include "bench/BenchSupport.h"
#include "recovery/bytesource/FileByteSource.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/carving/SignatureCatalog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vantrel;

int main(int argc, char** argv) {
    std::string imagePath;
    int runs = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string argument = argv[i];
        if (argument == "--image") imagePath = argv[i + 1];
        else if (argument == "--runs") runs = std::max(1, std::stoi(argv[i + 1]));
    }
    if (imagePath.empty()) {
        std::fprintf(stderr, "usage: ReassemblyBench --image PATH [--runs N]\n");
        return 2;
    }
    FileByteSource source(imagePath);
    const SignatureCarver carver(SignatureCatalog::carveMVP(), 512);
    const bench::Measurement measured =
        bench::measure(imagePath, source.length(), runs, [&](const bench::ProgressSink& onProgress, const bench::HitSink& onHit) {
            carver.carve(source, RecoveryFilters::defaults(), AllocatedRegionMap{}, [] { return false; }, onProgress, onHit);
        });
    bench::printReport(imagePath, source.length(), "carve", measured, "/dev/null");

    // The carve puts two-piece photos back together as it goes: its rate here against the same photos
    // in one piece each (the "formatted" card of make-camera-card.sh) is the reassembly's cost.
    std::size_t flagged = 0, joined = 0;
    for (const RecoveredHit& hit : measured.hits) {
        if (hit.kind != RecoveredFileKind::jpeg || !hit.isFragmented) continue;
        ++flagged;
        if (hit.secondPiece) ++joined;
        if (std::getenv("REASSEMBLY_BENCH_LIST") != nullptr)
            std::printf("%llu %llu %s\n", static_cast<unsigned long long>(hit.byteOffset),
                        static_cast<unsigned long long>(hit.byteLength),
                        hit.secondPiece ? std::to_string(hit.secondPiece->offset).c_str() : "-");
    }
    std::printf("flagged JPEGs  %zu, joined %zu\n", flagged, joined);
    return 0;
}
