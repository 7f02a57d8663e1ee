// The whole helper over a device with unreadable sectors: a card image behind a FUSE file that fails
// chosen ranges with EIO, scanned as an image file. Each scan gives the hits the readable sectors hold
// and ends saying, in words, how many sectors could not be read.

#include "HelperHarness.h"

#include "recovery/bytesource/FileByteSource.h"
#include "recovery/filesystems/partitions/FileSystemProbe.h"
#include "tests/fixtures/FatImageBuilder.h"
#include "tests/fixtures/SampleContent.h"
#include "tests/fixtures/TestSupport.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>

namespace vantrel {
namespace {

using test::SpawnedHelper;

const std::string python = "/usr/bin/python3";

// Why FUSE files cannot be made here, or nothing when they can be tried.
std::optional<std::string> fuseUnavailable() {
    if (!std::filesystem::exists("/dev/fuse")) return "/dev/fuse does not exist";
    if (!test::runningAsRoot()) return "mounting a FUSE file system needs root here (no fusermount)";
    if (test::run({python, "-c", "import fusepy"}).exitCode != 0) return "python3-fusepy is not installed";
    return std::nullopt;
}

// card.img under a mount point, served by the fixture's FUSE script; unmounted when it goes.
class FaultyFuseFile {
public:
    FaultyFuseFile(const std::filesystem::path& image, const std::filesystem::path& mountPoint,
                   const std::vector<std::pair<std::uint64_t, std::uint64_t>>& badRanges)
        : m_mountPoint(mountPoint) {
        std::filesystem::create_directories(mountPoint);
        std::vector<std::string> argv{python, std::string(VANTREL_FIXTURE_DIR) + "/faulty-fuse.py", image.string(),
                                      mountPoint.string()};
        for (const auto& [offset, length] : badRanges) argv.push_back(std::to_string(offset) + ":" + std::to_string(length));
        m_pid = ::fork();
        if (m_pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            std::vector<char*> args;
            for (auto& argument : argv) args.push_back(argument.data());
            args.push_back(nullptr);
            ::execv(python.c_str(), args.data());
            ::_exit(127);
        }
    }
    ~FaultyFuseFile() {
        ::umount2(m_mountPoint.c_str(), MNT_DETACH);
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    FaultyFuseFile(const FaultyFuseFile&) = delete;
    FaultyFuseFile& operator=(const FaultyFuseFile&) = delete;

    // Waits for the file to appear; false when the mount did not come up.
    bool mounted() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::error_code error;
        while (!std::filesystem::exists(file(), error)) {
            if (m_pid <= 0 || ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::filesystem::path file() const { return m_mountPoint / "card.img"; }

private:
    std::filesystem::path m_mountPoint;
    pid_t m_pid = -1;
};

std::vector<std::string> walkedPaths(const std::vector<HelperHitDTO>& hits) {
    std::vector<std::string> paths;
    for (const auto& hit : hits)
        if (hit.source == "fatUndelete") paths.push_back(hit.reconstructedPath.value_or("?"));
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(HelperFaultyDevice, AQuickScanOverUnreadableSectorsFindsWhatTheRestHoldAndSaysWhatWasLost) {
    if (const auto reason = fuseUnavailable()) GTEST_SKIP() << *reason;
    if (!test::FatImageBuilder::available()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    test::TempDir dir;
    test::FatImageBuilder fat(dir / "card.img", 40 * mebibyte, 0, 40 * mebibyte);
    fat.format(32, {"-s", "1"});
    fat.makeDirectory("/DCIM");
    fat.copyIn(test::SampleContent::jpeg(640, 480, 60000, 71), "/DCIM/Holiday.jpg");
    fat.copyIn(test::SampleContent::jpeg(320, 240, 30000, 72), "/DCIM/live.jpg");
    fat.copyIn(test::SampleContent::png(200, 100, 20000, 73), "/Chart.png");
    fat.copyIn(test::SampleContent::pdf(40000, 74), "/Receipt.pdf");
    fat.remove("/DCIM/Holiday.jpg");
    fat.remove("/Chart.png");
    fat.remove("/Receipt.pdf");
    FileByteSource image(fat.image().string());
    const VolumeGeometry geometry = *FileSystemProbe::probeAll(image).at(0).fatGeometry;

    struct Case {
        const char* what;
        std::uint64_t offset, length;
        std::vector<std::string> found;
        std::string end;
    };
    const std::vector<Case> cases{
        {"4 KiB of the FAT, with the links of every file", geometry.fatByteOffset, 4096,
         {"/Chart.png", "/DCIM/Holiday.jpg", "/Receipt.pdf"},
         "Scan complete — 8 sectors could not be read; files in the folders they held may be missing."},
        // The folder made first takes the cluster after the root's.
        {"the sub-folder's one cluster", *geometry.clusterByteOffset(geometry.rootCluster + 1), 512,
         {"/Chart.png", "/Receipt.pdf"},
         "Scan complete — 1 sector could not be read; files in the folders it held may be missing."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FaultyFuseFile card(fat.image(), dir / "mnt", {{c.offset, c.length}});
        if (!card.mounted()) GTEST_SKIP() << "FUSE mounts do not work in this sandbox";
        SpawnedHelper spawned;
        test::ErrorAnswer answer;
        spawned.helper->startScanWithPath(card.file(), 0, 0, 0, {"jpeg", "png", "pdf"}, "quickUndelete", answer.callback());
        const auto error = test::waitError(answer);
        ASSERT_FALSE(error) << error->message;
        EXPECT_EQ(walkedPaths(spawned.client.hits()), c.found);
        EXPECT_TRUE(spawned.client.saw(c.end)) << testing::PrintToString(spawned.client.lines());
        EXPECT_FALSE(spawned.client.saw("Scan complete"));
    }
}

} // namespace
} // namespace vantrel
