// The probe cache: file names made from names off a disk, adopting, replacing, sizes, clearing, and
// the removal of folders an earlier run left behind (but not of one a running cache holds).

#include "Vantrel/scan/HitProbeCache.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sys/stat.h>
#include <utime.h>

namespace vantrel {
namespace {

const Uuid id = *Uuid::fromString("0a1b2c3d-0000-4000-8000-000000000001");

TEST(HitProbeCache, FileNamesNeverCarryAPathFromTheDisk) {
    const std::string prefix = id.toString();
    EXPECT_EQ(HitProbeCache::probeFileName(id, "DCIM/IMG:01.JPG"), prefix + "-DCIM_IMG_01.JPG");
    EXPECT_EQ(HitProbeCache::probeFileName(id, ""), prefix + ".bin");
    EXPECT_EQ(HitProbeCache::probeFileName(id, "README"), prefix + ".bin");
    EXPECT_EQ(HitProbeCache::probeFileName(id, "../.."), prefix + ".bin");
    EXPECT_EQ(HitProbeCache::probeFileName(id, "a\nb.jpg").find('\n'), std::string::npos);
    const auto longName = HitProbeCache::probeFileName(id, std::string(300, 'x') + ".jpg");
    EXPECT_LE(longName.size(), 255u);
    EXPECT_TRUE(longName.ends_with(".jpg"));
}

TEST(HitProbeCache, AdoptsReplacesMeasuresAndClears) {
    test::TempDir root;
    HitProbeCache cache(root.path());
    EXPECT_FALSE(cache.fileSize(id));
    cache.clear();
    EXPECT_TRUE(std::filesystem::is_empty(root.path())) << "clearing a cache that made no folder touches nothing";

    test::writeFile(root / "first", Bytes(10, 1));
    const auto stored = cache.adopt(root / "first", id, "IMG_0001.JPG");
    EXPECT_FALSE(std::filesystem::exists(root / "first"));
    EXPECT_EQ(stored.parent_path(), cache.ensureDirectory());
    EXPECT_TRUE(stored.parent_path().filename().string().starts_with("Vantrel-Probes-"));
    EXPECT_EQ((std::filesystem::status(stored.parent_path()).permissions() & std::filesystem::perms::all),
              std::filesystem::perms::owner_all);
    EXPECT_EQ(cache.fileSize(id), 10u);

    test::writeFile(root / "second", Bytes(20, 2));
    EXPECT_EQ(cache.adopt(root / "second", id, "IMG_0001.JPG"), stored);
    EXPECT_EQ(test::readFile(stored), Bytes(20, 2));
    EXPECT_EQ(cache.adopt(stored, id, "IMG_0001.JPG"), stored) << "a file already in place is recorded as it is";
}

TEST(HitProbeCache, AFailedMoveRecordsNothing) {
    test::TempDir root;
    HitProbeCache cache(root.path());
    const auto other = Uuid::random();
    EXPECT_THROW(cache.adopt(root / "missing", other, "x.jpg"), std::system_error);
    EXPECT_FALSE(cache.cachedFile(other));
}

TEST(HitProbeCache, AFileDeletedBehindTheCacheHasNoSizeAndClearForgetsAll) {
    test::TempDir root;
    HitProbeCache cache(root.path());
    test::writeFile(root / "p", Bytes(5, 0));
    const auto stored = cache.adopt(root / "p", id, "a.png");
    std::filesystem::remove(stored);
    EXPECT_FALSE(cache.fileSize(id));
    test::writeFile(root / "q", Bytes(5, 0));
    cache.adopt(root / "q", id, "a.png");
    const auto folder = cache.ensureDirectory();
    cache.clear();
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_FALSE(cache.fileSize(id));
    EXPECT_NE(cache.ensureDirectory(), folder) << "a new folder after clearing";
}

// The cache holds at most its byte bound; the oldest probes go first, files and all, never the one
// just adopted. A hit adopted again counts as new.
TEST(HitProbeCache, TheOldestProbesGoBeyondTheByteBound) {
    test::TempDir root;
    HitProbeCache cache(root.path(), ProbeCacheBounds{250, 0, 1});
    std::vector<Uuid> ids;
    std::vector<std::filesystem::path> files;
    for (int i = 0; i < 3; ++i) {
        ids.push_back(Uuid::random());
        test::writeFile(root / "p", Bytes(100, static_cast<std::uint8_t>(i)));
        files.push_back(cache.adopt(root / "p", ids.back(), "p.jpg"));
    }
    EXPECT_FALSE(cache.cachedFile(ids[0])) << "300 bytes are over the bound: the first went";
    EXPECT_FALSE(std::filesystem::exists(files[0]));
    EXPECT_TRUE(cache.cachedFile(ids[1]));
    EXPECT_TRUE(cache.cachedFile(ids[2]));
    EXPECT_EQ(cache.cachedBytes(), 200u);

    // Adopted again, the second hit is the newest: the third goes next.
    test::writeFile(root / "p", Bytes(100, 9));
    cache.adopt(root / "p", ids[1], "p.jpg");
    test::writeFile(root / "p", Bytes(100, 8));
    const auto fourth = Uuid::random();
    cache.adopt(root / "p", fourth, "p.jpg");
    EXPECT_FALSE(cache.cachedFile(ids[2]));
    EXPECT_TRUE(cache.cachedFile(ids[1]));
    EXPECT_EQ(cache.cachedBytes(), 200u);

    // One probe larger than the bound stays: it is the one being used.
    test::writeFile(root / "p", Bytes(400, 1));
    const auto big = Uuid::random();
    cache.adopt(root / "p", big, "big.jpg");
    EXPECT_TRUE(cache.cachedFile(big));
    EXPECT_FALSE(cache.cachedFile(fourth));
    EXPECT_EQ(cache.cachedBytes(), 400u);
}

// The cache leaves room in its folder's file system: while the free space is below its bound, the
// oldest probes go.
TEST(HitProbeCache, TheOldestProbesGoWhenTheFolderRunsOutOfRoom) {
    test::TempDir root;
    std::uint64_t free = 1'000;
    HitProbeCache cache(root.path(), ProbeCacheBounds{1 << 20, 500, 1},
                        [&free](const std::filesystem::path&) { return std::optional<std::uint64_t>(free); });
    std::vector<Uuid> ids;
    for (int i = 0; i < 4; ++i) {
        ids.push_back(Uuid::random());
        test::writeFile(root / "p", Bytes(100, 0));
        cache.adopt(root / "p", ids.back(), "p.png");
        free -= 200;  // the disk fills faster than the cache grows
    }
    // 400 bytes free at the fourth: the older ones go one by one, and as the fake's free space does not
    // grow back, all of them, until only the newest is left.
    EXPECT_FALSE(cache.cachedFile(ids[0]));
    EXPECT_FALSE(cache.cachedFile(ids[1]));
    EXPECT_FALSE(cache.cachedFile(ids[2]));
    EXPECT_TRUE(cache.cachedFile(ids[3]));
    EXPECT_EQ(cache.dropOldest(0), 100u);
    EXPECT_FALSE(cache.cachedFile(ids[3]));
    EXPECT_EQ(cache.cachedBytes(), 0u);
}

TEST(HitProbeCache, StaleFoldersOfThisUserGoButOneInUseStays) {
    test::TempDir root;
    HitProbeCache running(root.path());
    const auto inUse = running.ensureDirectory();
    {
        // A cache of a run that ended without clearing: its lock is free.
        HitProbeCache crashed(root.path());
        const auto left = crashed.ensureDirectory();
        test::writeFile(left / "x.bin", Bytes(3, 0));
        std::filesystem::rename(left, root / "Vantrel-Probes-LEFT");
        crashed.clear();
    }
    std::filesystem::create_directory(root / "Vantrel-Probes-NOLOCK");
    ::utime((root / "Vantrel-Probes-NOLOCK").c_str(), nullptr);
    struct utimbuf old {1'000'000'000, 1'000'000'000};
    std::filesystem::create_directory(root / "Vantrel-Probes-OLD");
    ::utime((root / "Vantrel-Probes-OLD").c_str(), &old);
    test::writeFile(root / "Vantrel-probe-tmp-1.jpg", {});
    ::utime((root / "Vantrel-probe-tmp-1.jpg").c_str(), &old);
    // Folders being made carry a hidden name until their lock is held; an old one was left by a crash.
    std::filesystem::create_directory(root / ".Vantrel-Probes-MAKING");
    test::writeFile(root / ".Vantrel-Probes-MAKING" / ".lock", {});
    std::filesystem::create_directory(root / ".Vantrel-Probes-CUT");
    ::utime((root / ".Vantrel-Probes-CUT").c_str(), &old);
    std::filesystem::create_directory(root / "unrelated");
    std::filesystem::create_directory_symlink(root / "unrelated", root / "Vantrel-Probes-LINK");

    EXPECT_EQ(HitProbeCache::removeStaleFolders(root.path()), 4u);
    EXPECT_TRUE(std::filesystem::exists(inUse));
    EXPECT_TRUE(std::filesystem::exists(root / ".Vantrel-Probes-MAKING"));
    EXPECT_FALSE(std::filesystem::exists(root / ".Vantrel-Probes-CUT"));
    EXPECT_FALSE(std::filesystem::exists(root / "Vantrel-Probes-LEFT"));
    EXPECT_TRUE(std::filesystem::exists(root / "Vantrel-Probes-NOLOCK")) << "maybe being made right now";
    EXPECT_FALSE(std::filesystem::exists(root / "Vantrel-Probes-OLD"));
    EXPECT_FALSE(std::filesystem::exists(root / "Vantrel-probe-tmp-1.jpg"));
    EXPECT_TRUE(std::filesystem::is_symlink(root / "Vantrel-Probes-LINK"));
    EXPECT_TRUE(std::filesystem::exists(root / "unrelated"));
}

TEST(HitProbeCache, AFolderBeingMadeIsNeverSweptAsAnotherRunsLeftover) {
    // Programs starting together: each sweeps the temporary folder while the others make their own.
    test::TempDir root;
    std::atomic<bool> done = false;
    std::atomic<int> lost = 0;
    std::vector<std::thread> sweepers;
    for (int i = 0; i < 2; ++i)
        sweepers.emplace_back([&] {
            while (!done) HitProbeCache::removeStaleFolders(root.path());
        });
    std::vector<std::thread> makers;
    for (int i = 0; i < 4; ++i)
        makers.emplace_back([&] {
            for (int n = 0; n < 200; ++n) {
                HitProbeCache cache(root.path());
                try {
                    const auto folder = cache.ensureDirectory();
                    test::writeFile(folder / "probe.bin", Bytes(1, 0));
                    if (!std::filesystem::exists(folder / "probe.bin")) ++lost;
                } catch (const std::exception&) {
                    ++lost;
                }
            }
        });
    for (auto& maker : makers) maker.join();
    done = true;
    for (auto& sweeper : sweepers) sweeper.join();
    EXPECT_EQ(lost, 0);
    EXPECT_TRUE(std::filesystem::is_empty(root.path()));
}

} // namespace
} // namespace vantrel
