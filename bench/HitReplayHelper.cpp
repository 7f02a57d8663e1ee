// A helper for benchmarks of the application's side of a scan: the real helper's connection, scan service
// and hit records, but a scan that finds the hits of a hit list (as AppModelScanBench writes it) as fast as
// it can instead of reading the device, so that the application's intake is measured without the carver.
//
//   VANTREL_REPLAY_HITS=hits.txt VANTREL_BENCH_HELPER=build/bench/HitReplayHelper AppModelScanBench --dense ...
//
// It serves one connection, as the helper spawned beside the application does (--connection-fd N).

#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HelperDelegate.h"
#include "VantrelHelper/HelperOptions.h"
#include "bench/BenchSupport.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace vantrel {
namespace {

// Progress goes out after this many hits, as the engine reports it every window or so.
constexpr std::size_t hitsPerProgress = 512;

HelperScanService::ScanRunner replay(std::vector<RecoveredHit> hits) {
    return [hits = std::move(hits)](ByteSource& source, ScanMode, const RecoveryFilters&, const std::function<bool()>& shouldCancel,
                                    const std::function<void(const ScanProgress&)>& onProgress,
                                    const std::function<void(const RecoveredHit&)>& onHit, VolumeCache&) {
        const std::uint64_t total = source.length();
        for (std::size_t index = 0; index < hits.size(); ++index) {
            if (index % hitsPerProgress == 0) {
                if (shouldCancel()) return;
                onProgress({total / hits.size() * index, total, static_cast<std::int64_t>(index), 0});
            }
            onHit(hits[index]);
        }
        onProgress({total, total, static_cast<std::int64_t>(hits.size()), 0});
    };
}

} // namespace
} // namespace vantrel

int main(int argc, char** argv) {
    using namespace vantrel;
    std::string problem;
    const auto options = HelperOptions::parse(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), problem);
    const char* hitsPath = std::getenv("VANTREL_REPLAY_HITS");
    if (!options || options->mode != HelperOptions::Mode::connection || !hitsPath) {
        std::cerr << "usage: VANTREL_REPLAY_HITS=PATH HitReplayHelper --connection-fd N [--allow-image-files]\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    DeviceAccess::configure({options->allowImageFiles, {}, argv[0]});
    HelperDelegate::Options delegateOptions;
    delegateOptions.scan = replay(bench::readHits(hitsPath));
    delegateOptions.endWithLastConnection = true;
    HelperDelegate delegate(std::move(delegateOptions));
    delegate.accept(SeqpacketSocket{UniqueFd(options->connectionFd)});
    return delegate.run();
}
