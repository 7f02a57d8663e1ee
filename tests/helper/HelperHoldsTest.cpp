// The shared helper against its own members, as root with loop devices and users made for the test:
// a mount point swapped for a link before the mount-back, requests that would block, a member's quit,
// the helper stopped by a signal, and an overlay whose folders are swapped.

#include "HelperHarness.h"
#include "MountedLoop.h"
#include "SharedPeers.h"

#include "VantrelHelper/HelperDelegate.h"
#include "support/VantrelError.h"

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vantrel {
namespace {

using test::canMountLoops;
using test::ErrorAnswer;
using test::waitError;
using test::loopsNeeded;
using test::MediaFolder;
using test::mountAt;
using test::MountedLoop;

// A card mounted for a throwaway user where the desktop mounts it, with the user's folder the user's own.
struct UsersCard {
    test::ThrowawayUser user;
    std::optional<MediaFolder> media;
    std::optional<MountedLoop> loop;
    std::optional<test::Identity> identity;

    explicit UsersCard(const test::TempDir& dir) {
        if (!user.exists()) return;
        media.emplace(user.name());
        loop.emplace(dir, media->path() / "card");
        if (::chown(media->path().c_str(), user.uid(), user.gid()) != 0) ADD_FAILURE() << "chown " << media->path();
        identity = test::member(user.uid(), user.gid());
    }
    bool ready() const { return identity && loop && mountAt(loop->target()); }
};

// A member's card in a test folder that other users may enter, beside a shared helper listening there.
struct CardScene {
    test::TempDir dir;
    bool folderOpened = ::chmod(dir.path().c_str(), 0755) == 0;
    UsersCard card{dir};
    test::SharedHelper shared{dir};

    // The member connected, with its card unmounted for it by a probe.
    std::unique_ptr<test::Peer> memberWithCardUnmounted() {
        auto peer = shared.connect(*card.identity);
        if (!peer) return nullptr;
        if (const auto error = peer->probe(card.loop->device())) ADD_FAILURE() << error->message;
        if (mountAt(card.loop->target())) ADD_FAILURE() << "the member's own card stays mounted";
        return peer;
    }
};

TEST(HelperHolds, AMountPointSwappedForALinkIsNotMountedOnAndTheAnswerSaysWhy) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    CardScene scene;
    auto& [dir, opened, card, shared] = scene;
    if (!card.ready()) GTEST_SKIP() << "useradd could not make a user";
    ASSERT_TRUE(opened && shared.ready());
    // A folder only root may write, where the member would like the disk to appear.
    const auto rootsFolder = dir / "roots";
    std::filesystem::create_directory(rootsFolder);
    auto peer = scene.memberWithCardUnmounted();
    ASSERT_TRUE(peer);

    // The member renames the mount point away and leaves a link to root's folder in its place.
    const auto target = card.loop->target();
    std::filesystem::rename(target, card.media->path() / "moved");
    std::filesystem::create_directory_symlink(rootsFolder, target);

    const auto refused = peer->remount({});
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->message.find("Could not remount: " + card.loop->name() + " (" + target.string() +
                                    ": the mount point cannot be reached without following a link"),
              std::string::npos)
        << refused->message;
    EXPECT_FALSE(mountAt(rootsFolder));
    EXPECT_FALSE(mountAt(card.media->path() / "moved"));

    // A fresh folder at the name is not the one the disk was taken from either; the ending's
    // mount-back leaves the disk unmounted too.
    std::filesystem::remove(target);
    std::filesystem::create_directory(target);
    EXPECT_FALSE(test::quitAnswer(*peer->helper));
    EXPECT_EQ(shared.process().waitForExit(), 0);
    EXPECT_FALSE(mountAt(target));
    EXPECT_FALSE(mountAt(rootsFolder));

    // The folder goes back for the clean-up.
    std::filesystem::remove(target);
    std::filesystem::rename(card.media->path() / "moved", target);
}

TEST(HelperHolds, AMembersQuitBesideRootIsDeclinedAndRootsQuitEndsWithTheMountBack) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    CardScene scene;
    auto& [dir, opened, card, shared] = scene;
    if (!card.ready()) GTEST_SKIP() << "useradd could not make a user";
    ASSERT_TRUE(opened && shared.ready());
    auto rootPeer = shared.connect(test::root);
    auto memberPeer = scene.memberWithCardUnmounted();
    ASSERT_TRUE(rootPeer && memberPeer);

    // Declined with the reason, and nothing else: root's connection stays, the card stays unmounted.
    test::ErrorAnswer memberQuit;
    memberPeer->helper->quitForRelaunch(memberQuit.callback());
    const auto declined = test::waitError(memberQuit);
    ASSERT_TRUE(declined);
    EXPECT_EQ(declined->code, VantrelError::quitRefused);
    EXPECT_EQ(declined->message, "The helper goes on: other programs are connected to it, and only root may end it for them.");
    std::this_thread::sleep_for(4 * HelperDelegate::quitDelay);
    EXPECT_EQ(test::pingAnswer(*rootPeer->helper), "pong");
    EXPECT_EQ(rootPeer->connection->state(), IpcConnectionState::open);
    EXPECT_FALSE(mountAt(card.loop->target()));

    test::ErrorAnswer rootQuit;
    rootPeer->helper->quitForRelaunch(rootQuit.callback());
    EXPECT_FALSE(test::waitError(rootQuit));
    EXPECT_EQ(shared.process().waitForExit(), 0);
    EXPECT_TRUE(mountAt(card.loop->target())) << "the ending mounts back the member's card";
}

// A connection of root's to the shared helper whose calls may fail with it (it is closed under them).
struct ClosingPeer {
    test::RecordingClient client;
    std::unique_ptr<IpcConnection> connection;
    std::unique_ptr<VantrelHelperProtocolProxy> helper;

    explicit ClosingPeer(SeqpacketSocket socket) {
        connection = std::make_unique<IpcConnection>(std::move(socket), test::applicationOptions(client));
        connection->resume();
        helper = std::make_unique<VantrelHelperProtocolProxy>(*connection, [](ErrorObject) {});
    }
    ~ClosingPeer() {
        helper.reset();
        connection.reset();
    }
    bool scanning(const std::string& device, ErrorAnswer& answer) {
        helper->startScanWithPath(device, 0, 0, 0, {"jpeg"}, "standard", answer.callback());
        return client.waitForProgress(2);
    }
};

bool mountedWithin(const std::filesystem::path& target, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!mountAt(target)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST(HelperHolds, AConnectionClosedMidScanHandsItsDiskBackOnceNoOtherHoldsIt) {
    if (!test::canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    // Large enough (and sparse) that a scan is still reading when its connection closes.
    MountedLoop loop(dir, {}, std::uint64_t{4} << 30);
    test::SharedHelper shared(dir);
    ASSERT_TRUE(shared.ready());
    const auto socketPath = (dir / "helper.sock").string();
    const auto connect = [&] { return std::make_unique<ClosingPeer>(SeqpacketSocket::connect(socketPath)); };

    auto first = connect();
    auto second = connect();
    ErrorAnswer firstScan, secondScan;
    ASSERT_TRUE(first->scanning(loop.device(), firstScan));
    ASSERT_TRUE(second->scanning(loop.device(), secondScan));
    EXPECT_FALSE(mountAt(loop.target()));

    // The first program goes away mid-scan: the second still reads the disk, which stays unmounted.
    first.reset();
    EXPECT_FALSE(mountedWithin(loop.target(), std::chrono::seconds(1)));
    second.reset();
    EXPECT_TRUE(mountedWithin(loop.target(), std::chrono::seconds(20))) << "no connection holds the disk any more";
    EXPECT_EQ(test::readFile(loop.target() / "kept.txt"), test::randomBytes(100, 9));
}

// The program whose connection was closed between calls is killed later: the disk comes back once the
// helper sees that the program is gone.
TEST(HelperHolds, AProgramThatEndsAfterItsConnectionClosedGetsItsDiskBack) {
    if (!test::canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    MountedLoop loop(dir);
    test::SharedHelper shared(dir);
    ASSERT_TRUE(shared.ready());
    const auto socketPath = (dir / "helper.sock").string();
    // The program: a child that probes the disk, closes its connection and waits to be killed. Forked
    // before this process starts a thread of its own.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t program = ::fork();
    if (program == 0) {
        ::alarm(60); // gone even if the test stops before it kills the child
        bool probed = false;
        {
            ClosingPeer peer(SeqpacketSocket::connect(socketPath));
            test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
            peer.helper->probeDeviceWithPath(loop.device(), probe.callback());
            probed = !std::get<1>(probe.get());
        }
        const char answer = probed ? 'y' : 'n';
        if (::write(ready[1], &answer, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(answer, 'y');
    EXPECT_FALSE(mountedWithin(loop.target(), std::chrono::seconds(1))) << "the program lives on";
    ::kill(program, SIGKILL);
    int status = 0;
    ::waitpid(program, &status, 0);
    EXPECT_TRUE(mountedWithin(loop.target(), std::chrono::seconds(10)));
}

TEST(HelperHolds, SignalsEndTheHelperAsAQuitDoesWithTheMountBack) {
    if (!canMountLoops()) GTEST_SKIP() << loopsNeeded;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        CardScene scene;
        auto& [dir, opened, card, shared] = scene;
        if (!card.ready()) GTEST_SKIP() << "useradd could not make a user";
        ASSERT_TRUE(opened && shared.ready());
        auto peer = scene.memberWithCardUnmounted();
        ASSERT_TRUE(peer);

        ASSERT_EQ(::kill(shared.process().pid(), signal), 0);
        EXPECT_EQ(shared.process().waitForExit(), 0) << "signal " << signal;
        EXPECT_TRUE(mountAt(card.loop->target())) << "signal " << signal;
        EXPECT_EQ(test::readFile(card.loop->target() / "kept.txt"), test::randomBytes(100, 9));
    }
}

TEST(HelperHolds, AFifoSwappedInForAnImageFileIsRefusedWithoutBlocking) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root";
    test::TempDir dir;
    const auto image = dir / "card.img";
    const auto plain = dir / "plain.img";
    const auto fifo = dir / "fifo";
    test::writeFile(plain, test::randomBytes(64 * 1024, 5));
    test::SpawnedHelper spawned;

    // The path flips between an image file and a FIFO while the helper checks and opens it: every
    // answer comes, a FIFO is never read as an image, and the helper serves on.
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            std::error_code ignored;
            std::filesystem::copy_file(plain, dir / "next.img", std::filesystem::copy_options::overwrite_existing, ignored);
            std::filesystem::rename(dir / "next.img", image, ignored);
            ::mkfifo(fifo.c_str(), 0600);
            std::filesystem::rename(fifo, image, ignored);
        }
    });
    std::size_t refused = 0;
    for (int round = 0; round < 200; ++round) {
        test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
        spawned.helper->probeDeviceWithPath(image.string(), probe.callback());
        const auto [length, error] = probe.get();
        if (error) ++refused;
        else EXPECT_EQ(length, 64 * 1024);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(refused, 0u) << "the FIFO was met at least once";

    // The fixed FIFO gets the refusal of something that is no disk.
    std::filesystem::remove(image);
    ASSERT_EQ(::mkfifo(image.c_str(), 0600), 0);
    test::Answer<std::int64_t, std::optional<ErrorObject>> probe;
    spawned.helper->probeDeviceWithPath(image.string(), probe.callback());
    const auto error = std::get<1>(probe.get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOTBLK);
    EXPECT_EQ(test::pingAnswer(*spawned.helper), "pong");
}

TEST(HelperHolds, AListenPathThroughALinkIsRefused) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "real");
    std::filesystem::create_directory_symlink(dir / "real", dir / "link");
    for (const auto& path : {dir / "link" / "helper.sock", dir / "link" / "made" / "helper.sock"}) {
        test::HelperProcess process({"--listen", path.string()});
        EXPECT_EQ(process.waitForExit(), EXIT_FAILURE) << path;
        EXPECT_FALSE(std::filesystem::exists(path)) << path;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "real")) << "nothing was made through the link";
}

TEST(HelperHolds, AnOverlayWhoseUpperFolderIsSwappedOrOthersCouldSwapIsNotTrusted) {
    if (!test::canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    MountedLoop source(dir);
    const auto memory = dir / "memory";
    std::filesystem::create_directories(memory);
    test::runOrFail({"mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", memory.string()});
    std::filesystem::create_directories(memory / "elsewhere");
    std::filesystem::create_directories(dir / "lower");
    test::SpawnedHelper spawned;

    // Upper and work folders on the disk being read, reached through a folder of upper's parent that
    // is root's (swapped below) or nobody's (refused as it is).
    for (const bool membersFolder : {false, true}) {
        const auto base = source.target() / (membersFolder ? "members" : "roots");
        std::filesystem::create_directories(base / "upper");
        std::filesystem::create_directories(base / "work");
        if (membersFolder) {
            ASSERT_EQ(::chown(base.c_str(), 65534, 65534), 0);
        }
        const auto merged = dir / (membersFolder ? "merged-members" : "merged-roots");
        std::filesystem::create_directories(merged);
        test::runOrFail({"mount", "-t", "overlay", "overlay", "-o",
                         "lowerdir=" + (dir / "lower").string() + ",upperdir=" + (base / "upper").string() +
                             ",workdir=" + (base / "work").string(),
                         merged.string()});
        if (!membersFolder) {
            // What a member who could rename there would do: a link to memory in the upper folder's place.
            std::filesystem::rename(base / "upper", base / "upper.old");
            std::filesystem::create_directory_symlink(memory / "elsewhere", base / "upper");
        }
        const auto destination = merged / "hit.bin";
        ErrorAnswer answer;
        spawned.helper->extractHitWithPath(source.device(), 0, 4096, destination.string(),
                                           test::SpawnedHelper::destination(destination), "signatureCarve", 0, 0, "",
                                           0, 0, answer.callback());
        const auto error = waitError(answer);
        ASSERT_TRUE(error) << "membersFolder=" << membersFolder;
        EXPECT_EQ(error->code, EXDEV);
        EXPECT_NE(error->message.find("Cannot tell which disk holds the destination"), std::string::npos) << error->message;
        EXPECT_NE(error->message.find(membersFolder ? "may be changed by others than root" : "is a symbolic link"),
                  std::string::npos)
            << error->message;
        EXPECT_EQ(std::filesystem::file_size(destination), 0u);
        test::run({"umount", merged.string()});
    }
    test::run({"umount", memory.string()});
}

} // namespace
} // namespace vantrel
