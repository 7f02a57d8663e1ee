#pragma once
// What the speed programs share: a timed plain read of an image, turns of plain reads and measured runs,
// the hit list and the report.

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/model/RecoveryFilters.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <vector>

namespace vantrel::bench {

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// MB/s of reading the whole image in 4 MiB pieces, as a scan reads it.
inline double plainRead(const std::string& path) {
    constexpr std::int64_t readBytes = 4 * 1024 * 1024;
    FileByteSource source(path);
    Bytes buffer;
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t checksum = 0;
    for (std::uint64_t offset = 0; offset < source.length(); offset += readBytes) {
        source.readInto(offset, readBytes, buffer);
        checksum += buffer[buffer.size() / 2];
    }
    const double elapsed = seconds(start);
    if (checksum == 1) std::fputs("", stdout);  // keeps the reads from being optimised away
    return static_cast<double>(source.length()) / elapsed / 1e6;
}

// MB/s of `cat PATH > /dev/null`: what the system's own tool makes of the same bytes, the baseline the
// scan's figures are given against.
inline double catRead(const std::string& path) {
    const std::string command = "cat '" + path + "' > /dev/null";
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return 0;
    const double elapsed = seconds(start);
    return static_cast<double>(std::filesystem::file_size(path)) / elapsed / 1e6;
}

// The first three fields of /proc/loadavg: the load over the last 1, 5 and 15 minutes.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Measurement {
    double readRate = 0;   // MB/s, best plain read
    double catRate = 0;    // MB/s, best cat
    double rate = 0;       // MB/s, best measured run
    double elapsed = 0;    // seconds of the best measured run
    std::vector<double> ratios;  // each run against the cat taken just before it
    std::vector<double> runSeconds, catSeconds;
    std::string loadBefore, loadAfter;
    std::vector<RecoveredHit> hits;
    ScanProgress last;
};

using HitSink = std::function<void(const RecoveredHit&)>;
using ProgressSink = std::function<void(const ScanProgress&)>;

// Brings the image into the page cache, then lets cat, plain reads and runs take turns (so that they meet
// the same disturbances from other work on the machine); each run's ratio is taken against the cat just
// before it.
inline Measurement measure(const std::string& imagePath, std::uint64_t imageBytes, int runs,
                           const std::function<void(const ProgressSink&, const HitSink&)>& runOnce) {
    plainRead(imagePath);
    Measurement result;
    result.loadBefore = loadAverage();
    for (int run = 0; run < runs; ++run) {
        const double cat = catRead(imagePath);
        if (cat > 0) result.catSeconds.push_back(static_cast<double>(imageBytes) / cat / 1e6);
        result.catRate = std::max(result.catRate, cat);
        result.readRate = std::max(result.readRate, plainRead(imagePath));
        result.hits.clear();
        const auto start = std::chrono::steady_clock::now();
        runOnce([&](const ScanProgress& progress) { result.last = progress; },
                [&](const RecoveredHit& hit) { result.hits.push_back(hit); });
        const double took = seconds(start);
        const double rate = static_cast<double>(imageBytes) / took / 1e6;
        result.runSeconds.push_back(took);
        if (cat > 0) result.ratios.push_back(rate / cat);
        if (rate > result.rate) {
            result.rate = rate;
            result.elapsed = took;
        }
    }
    result.loadAfter = loadAverage();
    return result;
}

// One line per hit: source, offset, kind, length, width x height, suggested name.
inline void writeHits(const std::string& path, const std::vector<RecoveredHit>& hits) {
    std::ofstream out(path);
    for (const RecoveredHit& hit : hits) {
        out << HitSourceName::rawValue(hit.source) << '\t' << hit.byteOffset << '\t' << FileKind::rawValue(hit.kind)
            << '\t' << hit.byteLength << '\t';
        if (hit.dimensions) out << hit.dimensions->width << 'x' << hit.dimensions->height;
        out << '\t' << hit.suggestedName << '\n';
    }
}

// The hits of a list writeHits wrote (what it leaves out stays at its default).
inline std::vector<RecoveredHit> readHits(const std::string& path) {
    std::vector<RecoveredHit> hits;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() < 6) continue;
        RecoveredHit hit;
        hit.source = HitSourceName::fromRawValue(fields[0]).value_or(HitSource::signatureCarve);
        hit.byteOffset = std::stoull(fields[1]);
        hit.kind = FileKind::fromRawValue(fields[2]).value_or(RecoveredFileKind::unknown);
        hit.byteLength = std::stoull(fields[3]);
        if (const auto x = fields[4].find('x'); x != std::string::npos)
            hit.dimensions = ImageDimensions{std::stoll(fields[4].substr(0, x)), std::stoll(fields[4].substr(x + 1))};
        hit.suggestedName = fields[5];
        hits.push_back(std::move(hit));
    }
    return hits;
}

// The report; `mode` names the scan mode where one applies.
inline void printReport(const std::string& imagePath, std::uint64_t imageBytes, const char* label,
                        const Measurement& measured, const std::string& hitsPath, const char* mode = nullptr) {
    std::printf("image        %s (%.0f MB)\n", imagePath.c_str(), static_cast<double>(imageBytes) / 1e6);
    if (mode != nullptr) std::printf("mode         %s\n", mode);
    std::printf("cat          %8.0f MB/s (best)\n", measured.catRate);
    std::printf("plain read   %8.0f MB/s (best)\n", measured.readRate);
    std::printf("%-12s %8.0f MB/s  (best: %.2f s, %zu hits, %lld read errors)\n", label, measured.rate, measured.elapsed,
                measured.hits.size(), static_cast<long long>(measured.last.readErrors));
    std::printf("ratio to cat ");
    for (const double ratio : measured.ratios) std::printf(" %.2f", ratio);
    std::printf("   median %.2f\n", median(measured.ratios));
    const auto spread = [](const char* what, std::vector<double> values) {
        if (values.empty()) return;
        std::sort(values.begin(), values.end());
        std::printf("%-12s  %.2f / %.2f / %.2f s (min / median / max)\n", what, values.front(), median(values), values.back());
    };
    spread(label, measured.runSeconds);
    spread("cat", measured.catSeconds);
    std::printf("load          %s before, %s after\n", measured.loadBefore.c_str(), measured.loadAfter.c_str());
    std::printf("hit list     %s\n", hitsPath.c_str());
}

} // namespace vantrel::bench
