// A shared helper serving several users at once, as root with loop devices: who may unmount and
// mount back what, what a scan says about a disk that stays mounted, bind mounts, and the folder a
// shared helper listens in.

#include "HelperHarness.h"
#include "MountedLoop.h"
#include "SharedPeers.h"

#include "support/VantrelError.h"

#include "support/XPCConstants.h"
#include "tests/fixtures/OtherUsers.h"

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

namespace vantrel {
namespace {

using test::canMakeLoopDevices;
using test::canMountLoops;
using test::ErrorAnswer;
using test::loopsNeeded;
using test::MediaFolder;
using test::member;
using test::MountedLoop;
using test::mountAt;
using test::Peer;
using test::root;
using test::SharedHelper;
using test::waitError;

TEST(HelperPeers, AMemberLeavesRootsMountAloneAndIsToldWhy) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    MountedLoop loop(dir);
    const auto nobody = member(65534, 65534);
    ASSERT_TRUE(nobody) << "no group " << XPCConstants::helperGroupName << " and none could be made";
    SharedHelper shared(dir);
    ASSERT_TRUE(shared.ready());
    auto peer = shared.connect(*nobody);
    ASSERT_TRUE(peer);

    const auto probeError = peer->probe(loop.device());
    EXPECT_FALSE(probeError) << probeError->message;
    EXPECT_TRUE(mountAt(loop.target())) << "root's mount stays";

    const auto scanError = peer->scan(loop.device());
    EXPECT_FALSE(scanError) << scanError->message;
    EXPECT_TRUE(peer->client.saw("Unmounting volumes (prevents OS writes during recovery)…"));
    EXPECT_TRUE(peer->client.saw("Still mounted: " + loop.target().string() + " (mounted by another user) — reading it anyway"));
    EXPECT_TRUE(peer->client.saw("Scan complete"));
    EXPECT_TRUE(mountAt(loop.target()));
}

TEST(HelperPeers, RemountsWhatWasUnmountedForThePeerAndEverythingBeforeExiting) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    // A card mounted for a user, where the desktop mounts a user's card.
    test::ThrowawayUser ownerUser;
    if (!ownerUser.exists()) GTEST_SKIP() << "useradd could not make a user";
    const MediaFolder media(ownerUser.name());
    MountedLoop loop(dir, media.path() / "card");
    ASSERT_TRUE(mountAt(loop.target()));
    const auto owner = member(ownerUser.uid(), ownerUser.gid());
    const auto other = member(65534, 65534);
    ASSERT_TRUE(owner && other);
    SharedHelper shared(dir);
    ASSERT_TRUE(shared.ready());
    auto ownerPeer = shared.connect(*owner);
    auto otherPeer = shared.connect(*other);
    auto rootPeer = shared.connect(root);
    ASSERT_TRUE(ownerPeer && otherPeer && rootPeer);

    EXPECT_FALSE(ownerPeer->probe(loop.device()));
    EXPECT_FALSE(mountAt(loop.target())) << "the owner's own mount is unmounted";

    // Another member can neither see nor mount back what was unmounted for the owner.
    EXPECT_FALSE(otherPeer->remount({}));
    EXPECT_TRUE(otherPeer->client.lines().empty()) << "nothing to mount back for this member";
    // Named, it is answered with why nothing was mounted, not as a remount done.
    const auto others = otherPeer->remount({loop.name()});
    ASSERT_TRUE(others);
    EXPECT_EQ(others->code, VantrelError::nothingToRemount);
    EXPECT_EQ(others->message,
              "Nothing to mount: " + loop.name() + " was unmounted for another user; only that user or root may mount it back.");
    EXPECT_FALSE(otherPeer->client.saw("Remount complete."));
    EXPECT_FALSE(mountAt(loop.target()));

    // Root mounts back whatever any peer unmounted.
    EXPECT_FALSE(rootPeer->remount({}));
    EXPECT_TRUE(rootPeer->client.saw("Remounting 1 disk(s)…"));
    ASSERT_TRUE(mountAt(loop.target()));
    EXPECT_EQ(test::readFile(loop.target() / "kept.txt"), test::randomBytes(100, 9));
    // Asked again, there is nothing left: mounted back already (or by a helper before this one).
    const auto again = rootPeer->remount({loop.name()});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, VantrelError::nothingToRemount);
    EXPECT_EQ(again->message, "Nothing to mount: this helper did not unmount " + loop.name() +
                                  " (it may have been started again since, or the disk was mounted back already).");

    // A member's quit ends the shared helper, which first mounts back what it unmounted.
    EXPECT_FALSE(ownerPeer->probe(loop.device()));
    EXPECT_FALSE(mountAt(loop.target()));
    otherPeer.reset();
    rootPeer.reset();
    EXPECT_FALSE(test::quitAnswer(*ownerPeer->helper));
    EXPECT_EQ(shared.process().waitForExit(), 0);
    const auto after = mountAt(loop.target());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->fileSystemType, "ext4");
}

TEST(HelperPeers, RemountPutsABindMountBackAsABindMount) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    test::TempDir dir;
    MountedLoop loop(dir);
    loop.bind(loop.target() / "photos", dir / "bound");
    test::writeFile(loop.target() / "photos" / "one.jpg", test::randomBytes(50, 3));
    test::SpawnedHelper spawned;

    test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
    spawned.helper->probeDeviceWithPath(loop.device(), probe.callback());
    EXPECT_FALSE(std::get<1>(probe.get()));
    EXPECT_FALSE(mountAt(loop.target()));
    EXPECT_FALSE(mountAt(dir / "bound"));

    ErrorAnswer remount;
    spawned.helper->remountDisksWithBsdNames({}, remount.callback());
    const auto error = waitError(remount);
    EXPECT_FALSE(error) << error->message;
    const auto whole = mountAt(loop.target());
    const auto bound = mountAt(dir / "bound");
    ASSERT_TRUE(whole && bound);
    EXPECT_EQ(whole->root, "/");
    EXPECT_EQ(bound->root, "/photos") << "a bind mount stays a mount of its folder";
    EXPECT_EQ(test::readFile(dir / "bound" / "one.jpg"), test::randomBytes(50, 3));
}

TEST(HelperPeers, AScanSaysWhatStaysMountedAndGoesOn) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    test::TempDir dir;
    MountedLoop loop(dir);
    test::SpawnedHelper spawned;
    {
        // A file held open keeps the volume busy.
        const UniqueFd busy(::open((loop.target() / "kept.txt").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(busy);
        ErrorAnswer scan;
        spawned.helper->startScanWithPath(loop.device(), 0, 0, 0, {"jpeg"}, "standard", scan.callback());
        EXPECT_FALSE(waitError(scan));
        EXPECT_TRUE(spawned.client.saw("Still mounted: " + loop.target().string() + " (" + std::strerror(EBUSY) +
                                       ") — reading it anyway"));
        EXPECT_TRUE(spawned.client.saw("Scan complete"));
        EXPECT_TRUE(mountAt(loop.target()));
    }

    // A bind mount whose volume is not mounted whole anywhere could not be put back: the disk stays.
    loop.bind(loop.target() / "photos", dir / "bound");
    test::runOrFail({"umount", loop.target().string()});
    ErrorAnswer scan;
    spawned.helper->startScanWithPath(loop.device(), 0, 0, 0, {"jpeg"}, "standard", scan.callback());
    EXPECT_FALSE(waitError(scan));
    EXPECT_TRUE(spawned.client.saw("Still mounted: " + (dir / "bound").string() +
                                   " (a bind mount that could not be put back) — reading it anyway"));
    EXPECT_TRUE(mountAt(dir / "bound"));
}

TEST(HelperPeers, ASharedHelperRefusesAFolderOthersCanChange) {
    test::TempDir dir;
    const auto open = dir / "open";
    std::filesystem::create_directory(open);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    std::vector<std::filesystem::path> refused = {open};
    if (test::runningAsRoot()) {
        const auto theirs = dir / "theirs";
        std::filesystem::create_directory(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        refused.push_back(theirs);
    }
    for (const auto& folder : refused) {
        test::HelperProcess process({"--listen", (folder / "helper.sock").string()});
        EXPECT_EQ(process.waitForExit(), EXIT_FAILURE) << folder;
        EXPECT_FALSE(std::filesystem::exists(folder / "helper.sock")) << folder;
    }
}

} // namespace
} // namespace vantrel
