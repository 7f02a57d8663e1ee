// The memory of the live-region map on a large FAT32 volume: the heap the region collection, the
// map's overlap index and the carver's use of the map hold at their peak, and the number of ranges.
// The volume is made up as it is read (no image file): folders of files of 4 MiB in 32 KiB clusters,
// every 16th file in two pieces, so that it has far fewer fragments than clusters.
//
// Usage: RegionMapBench [volume GiB, default 128] [hit list path]

#include "recovery/carving/SignatureCatalog.h"
#include "recovery/carving/SignatureCarver.h"
#include "recovery/filesystems/AllocatedRegionCollector.h"

#include "BenchSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {

// Every allocation of the program, counted so that the map's peak can be read off.
std::atomic<std::size_t> liveHeapBytes{0};
std::atomic<std::size_t> peakHeapBytes{0};

void countAllocation(std::size_t bytes) {
    const std::size_t now = liveHeapBytes.fetch_add(bytes) + bytes;
    std::size_t peak = peakHeapBytes.load();
    while (now > peak && !peakHeapBytes.compare_exchange_weak(peak, now)) {
    }
}

} // namespace

// Each block carries its size in front, so that delete can count it back.
void* operator new(std::size_t bytes) {
    auto* block = static_cast<std::size_t*>(std::malloc(bytes + sizeof(std::max_align_t)));
    if (block == nullptr) throw std::bad_alloc();
    *block = bytes;
    countAllocation(bytes);
    return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
}
void operator delete(void* pointer) noexcept {
    if (pointer == nullptr) return;
    auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(pointer) - sizeof(std::max_align_t));
    liveHeapBytes.fetch_sub(*block);
    std::free(block);
}
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }

namespace {

using namespace vantrel;

constexpr std::uint64_t sectorBytes = 512;
constexpr std::uint64_t sectorsPerCluster = 64;
constexpr std::uint64_t clusterBytes = sectorBytes * sectorsPerCluster;
constexpr std::uint64_t fileClusters = 128;
constexpr std::uint64_t filesPerFolder = 4096;
constexpr std::uint64_t fragmentedEvery = 16;
constexpr std::uint32_t endOfChain = 0x0FFFFFFF;

// A FAT32 volume that exists only as reads: a root of folders, each folder's entries, and the FAT.
class SyntheticFat32 : public ByteSource {
public:
    explicit SyntheticFat32(std::uint64_t volumeBytes) : m_length(volumeBytes) {
        const std::uint64_t clusters = volumeBytes / clusterBytes;
        const std::uint64_t fatBytes = (clusters + 2) * 4;
        m_geometry.fileSystem = DetectedFileSystem::fat32;
        m_geometry.bytesPerSector = sectorBytes;
        m_geometry.sectorsPerCluster = sectorsPerCluster;
        m_geometry.numberOfFATs = 1;
        m_geometry.fatEntryBits = 32;
        m_geometry.rootCluster = 2;
        m_geometry.fatByteOffset = 32 * sectorBytes;
        m_geometry.fatSizeSectors = (fatBytes + sectorBytes - 1) / sectorBytes;
        m_geometry.clusterHeapByteOffset =
            (m_geometry.fatByteOffset + m_geometry.fatSizeSectors * sectorBytes + clusterBytes - 1) / clusterBytes * clusterBytes;
        m_geometry.clusterCount = static_cast<std::uint32_t>((volumeBytes - m_geometry.clusterHeapByteOffset) / clusterBytes);
        m_geometry.totalSectors = volumeBytes / sectorBytes;
        layOut();
    }

    const VolumeGeometry& geometry() const { return m_geometry; }
    std::uint64_t files() const { return m_files.size(); }
    std::uint64_t fileClustersTotal() const { return m_files.size() * fileClusters; }
    std::uint64_t pieces() const { return m_segments.size() - m_folders.size() - 1; }
    std::uint64_t firstFileOffset() const { return *m_geometry.clusterByteOffset(m_files.front().firstCluster); }

    std::uint64_t length() const override { return m_length; }

    void readInto(std::uint64_t offset, std::int64_t count, Bytes& out) override {
        if (count < 0 || (count > 0 && offset >= m_length)) throw ByteSourceError::outOfBounds();
        out.assign(static_cast<std::size_t>(std::min<std::uint64_t>(count, m_length - offset)), 0);
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = byteAt(offset + i);
    }

private:
    struct Segment {
        std::uint32_t start;
        std::uint32_t count;
        std::uint32_t next;  // the cluster after the last, or endOfChain
    };
    struct File {
        std::uint32_t firstCluster;
        std::uint32_t size;
    };

    void layOut() {
        const std::uint64_t directoryClusters = filesPerFolder * 32 / clusterBytes + 1;
        const std::uint64_t folderClusters = directoryClusters + filesPerFolder * (fileClusters + 1);
        const std::uint64_t folders = (m_geometry.clusterCount - 1) / folderClusters;
        m_segments.push_back({2, 1, endOfChain});
        std::uint32_t next = 3;
        for (std::uint64_t folder = 0; folder < folders && folder < 1024; ++folder) {
            m_folders.push_back({next, static_cast<std::uint32_t>(m_files.size())});
            m_segments.push_back({next, static_cast<std::uint32_t>(directoryClusters), endOfChain});
            next += static_cast<std::uint32_t>(directoryClusters);
            for (std::uint64_t file = 0; file < filesPerFolder; ++file) {
                m_files.push_back({next, static_cast<std::uint32_t>(fileClusters * clusterBytes - 100)});
                if (m_files.size() % fragmentedEvery == 0) {
                    // Two halves with one free cluster between them.
                    const std::uint32_t half = fileClusters / 2;
                    m_segments.push_back({next, half, next + half + 1});
                    m_segments.push_back({next + half + 1, half, endOfChain});
                    next += fileClusters + 1;
                } else {
                    m_segments.push_back({next, fileClusters, endOfChain});
                    next += fileClusters;
                }
            }
        }
    }

    std::uint8_t byteAt(std::uint64_t offset) const {
        if (offset >= m_geometry.fatByteOffset && offset < m_geometry.clusterHeapByteOffset) {
            const std::uint64_t relative = offset - m_geometry.fatByteOffset;
            return static_cast<std::uint8_t>(fatEntry(relative / 4) >> (8 * (relative % 4)));
        }
        if (offset < m_geometry.clusterHeapByteOffset) return 0;
        const std::uint64_t cluster = (offset - m_geometry.clusterHeapByteOffset) / clusterBytes + 2;
        const std::uint64_t within = (offset - m_geometry.clusterHeapByteOffset) % clusterBytes;
        if (cluster == 2) return rootByte(within);
        const auto folder = std::upper_bound(m_folders.begin(), m_folders.end(), cluster,
                                             [](std::uint64_t c, const auto& f) { return c < f.first; });
        if (folder == m_folders.begin()) return 0;
        const std::uint64_t entryByte = (cluster - std::prev(folder)->first) * clusterBytes + within;
        if (entryByte / 32 >= filesPerFolder) return 0;
        return fileEntryByte(m_files[std::prev(folder)->second + entryByte / 32], entryByte / 32, entryByte % 32);
    }

    std::uint32_t fatEntry(std::uint64_t cluster) const {
        const auto segment = std::upper_bound(m_segments.begin(), m_segments.end(), cluster,
                                              [](std::uint64_t c, const Segment& s) { return c < s.start; });
        if (segment == m_segments.begin()) return 0;
        const Segment& s = *std::prev(segment);
        if (cluster >= std::uint64_t{s.start} + s.count) return 0;
        return cluster + 1 < std::uint64_t{s.start} + s.count ? static_cast<std::uint32_t>(cluster + 1) : s.next;
    }

    std::uint8_t rootByte(std::uint64_t within) const {
        const std::uint64_t index = within / 32;
        if (index >= m_folders.size()) return 0;
        char name[12];
        std::snprintf(name, sizeof name, "DIR%05lluXXX", static_cast<unsigned long long>(index % 100'000));
        return entryByte(name, 0x10, m_folders[index].first, 0, within % 32);
    }

    static std::uint8_t fileEntryByte(const File& file, std::uint64_t index, std::uint64_t at) {
        char name[12];
        std::snprintf(name, sizeof name, "F%07lluJPG", static_cast<unsigned long long>(index % 10'000'000));
        return entryByte(name, 0x20, file.firstCluster, file.size, at);
    }

    static std::uint8_t entryByte(const char* name11, std::uint8_t attributes, std::uint32_t cluster, std::uint32_t size,
                                  std::uint64_t at) {
        if (at < 11) return static_cast<std::uint8_t>(name11[at]);
        if (at == 11) return attributes;
        if (at == 20 || at == 21) return static_cast<std::uint8_t>(cluster >> (16 + 8 * (at - 20)));
        if (at == 26 || at == 27) return static_cast<std::uint8_t>(cluster >> (8 * (at - 26)));
        if (at >= 28) return static_cast<std::uint8_t>(size >> (8 * (at - 28)));
        return 0;
    }

    std::uint64_t m_length;
    VolumeGeometry m_geometry;
    std::vector<Segment> m_segments;                          // by start
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_folders;  // first directory cluster, first file index
    std::vector<File> m_files;
};

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t gibibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
    const std::string hitsPath = argc > 2 ? argv[2] : "region-map-hits.txt";
    SyntheticFat32 volume(gibibytes << 30);
    DetectedPartition partition;
    partition.length = volume.length();
    partition.fileSystem = DetectedFileSystem::fat32;
    partition.fatGeometry = volume.geometry();

    const std::size_t before = liveHeapBytes.load();
    peakHeapBytes.store(before);
    const auto start = std::chrono::steady_clock::now();
    std::int64_t readErrors = 0;
    const AllocatedRegionMap map = AllocatedRegionCollector::collect(volume, {partition}, readErrors);
    const double collectSeconds = bench::seconds(start);
    const std::size_t afterCollect = liveHeapBytes.load();
    const std::size_t collectPeak = peakHeapBytes.load();
    // The first overlap test builds whatever index the map keeps; the carver takes its own view of the
    // live ranges when it starts (cancelled at once here: only its set-up is measured).
    const bool overlaps = map.overlaps(volume.firstFileOffset(), 1);
    const std::size_t afterIndex = liveHeapBytes.load();
    std::vector<RecoveredHit> hits;
    SignatureCarver(SignatureCatalog::carveMVP(), 512, 0x400000)
        .carve(volume, RecoveryFilters::defaults(), map, [] { return true; }, [](const ScanProgress&) {},
               [&](const RecoveredHit& hit) { hits.push_back(hit); });
    const std::size_t peak = peakHeapBytes.load();

    const double mebibyte = 1024.0 * 1024.0;
    std::printf("volume       %llu GiB FAT32, 32 KiB clusters, %llu files, %llu clusters in files, %llu file pieces\n",
                static_cast<unsigned long long>(gibibytes), static_cast<unsigned long long>(volume.files()),
                static_cast<unsigned long long>(volume.fileClustersTotal()), static_cast<unsigned long long>(volume.pieces()));
    std::printf("collect      %8.0f MB/s of volume  (%.2f s, %lld read errors)\n",
                static_cast<double>(volume.length()) / collectSeconds / 1e6, collectSeconds, static_cast<long long>(readErrors));
    std::printf("ranges       %zu (overlap probe %s)\n", map.count(), overlaps ? "inside" : "outside");
    std::printf("map          %8.1f MiB after collection (peak %.1f MiB)\n",
                static_cast<double>(afterCollect - before) / mebibyte, static_cast<double>(collectPeak - before) / mebibyte);
    std::printf("with index   %8.1f MiB\n", static_cast<double>(afterIndex - before) / mebibyte);
    std::printf("peak         %8.1f MiB with the carver's set-up\n", static_cast<double>(peak - before) / mebibyte);
    bench::writeHits(hitsPath, hits);
    std::printf("hit list     %s\n", hitsPath.c_str());
    return 0;
}
