// As root, with loop devices, tmpfs and overlay mounts and a client that is nobody: what the helper
// reads for whom, which destinations it writes, and what it answers.

#include "HelperHarness.h"
#include "MountedLoop.h"

#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HelperScanService.h"
#include "platform/disks/DiskMounter.h"
#include "platform/disks/MountTable.h"
#include "platform/process/ThreadIdentity.h"
#include "support/VantrelError.h"
#include "tests/fixtures/TestSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vantrel {
namespace {

using test::canMakeLoopDevices;
using test::ErrorAnswer;
using test::SpawnedHelper;
using test::waitError;

constexpr uid_t nobodyUid = 65534;
constexpr gid_t nobodyGid = 65534;

// A loop device over a file, optionally with ext4 on it mounted at a folder; taken down at the end.
class Loop {
public:
    Loop(const std::filesystem::path& image, std::optional<std::filesystem::path> mountAt = std::nullopt)
        : m_target(std::move(mountAt)), m_loop(m_target ? test::formattedExt4(image) : image, 512, false) {
        if (m_loop.path().empty()) ADD_FAILURE() << "losetup could not attach " << image;
        if (m_target) {
            std::filesystem::create_directories(*m_target);
            test::runOrFail({"mount", "-t", "ext4", m_loop.path(), m_target->string()});
        }
    }
    // Unmounted before the loop device is detached; lazily, as the helper may still hold a file of it open
    // for a moment after its answer (a failed unmount would leave the mount and the loop device behind).
    ~Loop() {
        if (m_target) ::umount2(m_target->c_str(), MNT_DETACH);
    }
    const std::string& device() const { return m_loop.path(); }

private:
    std::optional<std::filesystem::path> m_target;
    test::LoopDevice m_loop;
};

std::filesystem::path sizedFile(const std::filesystem::path& path, std::uint64_t bytes) {
    test::writeFile(path, {});
    std::filesystem::resize_file(path, bytes);
    return path;
}

// A mount taken down at the end.
class Mount {
public:
    Mount(const std::string& type, const std::filesystem::path& target, const std::string& options) : m_target(target) {
        std::filesystem::create_directories(target);
        m_mounted = ::mount(type.c_str(), target.c_str(), type.c_str(), 0, options.c_str()) == 0;
    }
    ~Mount() {
        if (m_mounted) ::umount2(m_target.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::filesystem::path m_target;
    bool m_mounted = false;
};

std::optional<ErrorObject> extractInto(VantrelHelperProtocol& helper, const std::string& device, std::int64_t length,
                                       const std::filesystem::path& destination, UniqueFd fd) {
    ErrorAnswer answer;
    helper.extractHitWithPath(device, 0, length, destination, std::move(fd), "signatureCarve", 0, 0, "", 0, 0, answer.callback());
    return waitError(answer);
}

UniqueFd openForWriting(const std::filesystem::path& path) { return UniqueFd(::open(path.c_str(), O_WRONLY | O_CLOEXEC)); }

// --- Destinations (the caller is root) ---

TEST(HelperAccess, RefusesDestinationsStackedOverTheSourceBeforeTouchingThem) {
    if (!canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices, losetup and mkfs.ext4";
    test::TempDir dir;
    const auto outer = sizedFile(dir / "outer.img", 64 * mebibyte);
    Loop source(outer, dir / "outer");
    SpawnedHelper spawned;

    // The loop device's own backing file: the image being recovered.
    {
        const auto before = test::readFile(outer);
        const auto error = extractInto(*spawned.helper, source.device(), 4096, outer, openForWriting(outer));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EXDEV);
        EXPECT_EQ(error->message, "The destination lies on the disk being read: " + outer.string());
        EXPECT_EQ(test::readFile(outer), before) << "the image was changed";
    }
    // A file system on a loop device over a file inside the source.
    {
        const auto inner = sizedFile(dir / "outer" / "inner.img", 16 * mebibyte);
        Loop stacked(inner, dir / "inner");
        const auto destination = dir / "inner" / "hit.bin";
        const auto error = extractInto(*spawned.helper, source.device(), 4096, destination, SpawnedHelper::destination(destination));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EXDEV);
        EXPECT_EQ(std::filesystem::file_size(destination), 0u);
    }
    // An overlay whose upper folder lies on the source: its files have an anonymous device number.
    {
        std::filesystem::create_directories(dir / "lower");
        std::filesystem::create_directories(dir / "outer" / "upper");
        std::filesystem::create_directories(dir / "outer" / "work");
        Mount overlay("overlay", dir / "merged",
                      "lowerdir=" + (dir / "lower").string() + ",upperdir=" + (dir / "outer" / "upper").string() +
                          ",workdir=" + (dir / "outer" / "work").string());
        ASSERT_TRUE(overlay.mounted());
        const auto destination = dir / "merged" / "hit.bin";
        auto fd = SpawnedHelper::destination(destination);
        struct stat info {};
        ASSERT_EQ(::fstat(fd.get(), &info), 0);
        EXPECT_EQ(major(info.st_dev), 0u);
        const auto error = extractInto(*spawned.helper, source.device(), 4096, destination, std::move(fd));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EXDEV);
        EXPECT_EQ(std::filesystem::file_size(destination), 0u);
    }
    // Memory and another disk are fine.
    {
        Mount memory("tmpfs", dir / "memory", "size=8m");
        ASSERT_TRUE(memory.mounted());
        const auto destination = dir / "memory" / "hit.bin";
        const auto error = extractInto(*spawned.helper, source.device(), 4096, destination, SpawnedHelper::destination(destination));
        EXPECT_FALSE(error) << error->message;
        // Compared with the device, whose cache may hold a newer superblock than the image file.
        const auto device = test::readFile(source.device());
        EXPECT_EQ(test::readFile(destination), Bytes(device.begin(), device.begin() + 4096));
        const auto beside = dir / "beside.bin";
        EXPECT_FALSE(extractInto(*spawned.helper, source.device(), 4096, beside, SpawnedHelper::destination(beside)))
            << "a file beside the image is not the image";
    }
}

TEST(HelperAccess, RefusesADestinationOnDeviceMapperOverTheSource) {
    if (!canMakeLoopDevices() || !test::haveProgram("dmsetup")) GTEST_SKIP() << "needs root, loop devices and dmsetup";
    test::TempDir dir;
    const auto image = sizedFile(dir / "disk.img", 32 * mebibyte);
    Loop source(image);
    const std::string name = "vantrel-test-" + std::to_string(::getpid());
    const auto table = "0 " + std::to_string(32 * mebibyte / 512) + " linear " + source.device() + " 0";
    if (test::run({"dmsetup", "create", name, "--noudevsync", "--table", table}).exitCode != 0)
        GTEST_SKIP() << "device-mapper is not available";
    struct Removal {
        std::string name;
        ~Removal() { test::run({"dmsetup", "remove", "--noudevsync", name}); }
    } removal{name};
    const auto node = "/dev/mapper/" + name;
    if (!std::filesystem::exists(node)) GTEST_SKIP() << "no device node without udev";
    test::runOrFail({"mkfs.ext4", "-q", "-F", node});
    Mount mapped("ext4", dir / "mapped", "");
    if (::mount(node.c_str(), (dir / "mapped").c_str(), "ext4", 0, "") != 0) GTEST_SKIP() << "cannot mount " << node;
    struct Unmount {
        std::filesystem::path target;
        ~Unmount() { ::umount2(target.c_str(), 0); }
    } unmount{dir / "mapped"};

    SpawnedHelper spawned;
    const auto destination = dir / "mapped" / "hit.bin";
    const auto error = extractInto(*spawned.helper, source.device(), 4096, destination, SpawnedHelper::destination(destination));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EXDEV);
}

TEST(HelperAccess, WritesOnlyTheCallersOwnSingleNamedUnlockedFilesAndLeavesTheirMode) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to give a file to another user";
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, test::randomBytes(mebibyte, 11));
    SpawnedHelper spawned;

    // Someone else's file, open for writing to all.
    const auto foreign = dir / "foreign.bin";
    test::writeFile(foreign, {});
    ASSERT_EQ(::chown(foreign.c_str(), nobodyUid, nobodyGid), 0);
    ASSERT_EQ(::chmod(foreign.c_str(), 0602), 0);
    auto error = extractInto(*spawned.helper, image, 4096, foreign, openForWriting(foreign));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "Vantrel");
    EXPECT_EQ(error->code, 17);
    EXPECT_EQ(error->message, "The destination " + foreign.string() + " does not belong to you");
    struct stat info {};
    ASSERT_EQ(::stat(foreign.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0602u);

    // The caller's own file with a second name elsewhere.
    const auto linked = dir / "linked.bin";
    test::writeFile(linked, {});
    ASSERT_EQ(::link(linked.c_str(), (dir / "other-name.bin").c_str()), 0);
    error = extractInto(*spawned.helper, image, 4096, linked, openForWriting(linked));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message, "The destination " + linked.string() + " has more than one name");

    // A file another writer holds locked.
    const auto locked = dir / "locked.bin";
    UniqueFd holder(::open(locked.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    error = extractInto(*spawned.helper, image, 4096, locked, openForWriting(locked));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EBUSY);
    EXPECT_EQ(std::filesystem::file_size(locked), 0u);
    holder.reset();
    EXPECT_FALSE(extractInto(*spawned.helper, image, 4096, locked, openForWriting(locked))) << "free again";

    // The caller's own file keeps the mode it was given.
    const auto own = dir / "own.bin";
    UniqueFd created(::open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_EQ(::fchmod(created.get(), 0602), 0);
    EXPECT_FALSE(extractInto(*spawned.helper, image, 4096, own, std::move(created)));
    ASSERT_EQ(::stat(own.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0602u);
}

// --- Reading for a user other than root ---

// A helper spawned for a client that is nobody, with image files allowed. The kernel records a socket
// pair's credentials when the pair is made, so the pair is made while this thread is nobody; the
// helper, started as root, serves its parent's connection with those credentials.
class MemberSession {
public:
    MemberSession() {
        std::optional<std::pair<SeqpacketSocket, SeqpacketSocket>> pair;
        {
            const ThreadIdentity identity(UserIdentity{nobodyUid, nobodyGid, {}});
            ready = identity.active();
            pair.emplace(SeqpacketSocket::pair());
        }
        auto& [ours, theirs] = *pair;
        m_process = std::make_unique<test::HelperProcess>(std::vector<std::string>{"--connection-fd=3", "--allow-image-files"},
                                                          theirs.fd());
        { SeqpacketSocket drop = std::move(theirs); }
        m_connection = std::make_unique<IpcConnection>(std::move(ours), test::applicationOptions(client));
        m_connection->resume();
        helper = std::make_unique<VantrelHelperProtocolProxy>(
            *m_connection, [](ErrorObject error) { ADD_FAILURE() << "member connection: " << error.message; });
    }
    ~MemberSession() {
        helper.reset();
        m_connection.reset();
    }
    // A destination the member owns, open for writing.
    static UniqueFd destination(const std::filesystem::path& path) {
        auto fd = SpawnedHelper::destination(path);
        EXPECT_EQ(::fchown(fd.get(), nobodyUid, nobodyGid), 0);
        return fd;
    }
    std::tuple<std::int64_t, std::optional<ErrorObject>> probe(const std::string& path) {
        test::Answer<std::int64_t, std::optional<ErrorObject>> answer;
        helper->probeDeviceWithPath(path, answer.callback());
        return answer.get();
    }

    bool ready = false;
    test::RecordingClient client;
    std::unique_ptr<VantrelHelperProtocolProxy> helper;

private:
    std::unique_ptr<test::HelperProcess> m_process;
    std::unique_ptr<IpcConnection> m_connection;
};

// A folder every user may enter, for the socket and the files a test gives the member.
std::filesystem::path openFolder(const test::TempDir& dir) {
    EXPECT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    return dir.path();
}

TEST(HelperAccess, AMemberReadsOnlyWhatItCouldReadItself) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to connect as another user";
    test::TempDir dir;
    openFolder(dir);
    MemberSession member;
    ASSERT_TRUE(member.ready);

    // A file readable by all inside a folder only root may enter, and a name that is not there.
    const auto closed = dir / "closed";
    std::filesystem::create_directory(closed);
    ASSERT_EQ(::chmod(closed.c_str(), 0700), 0);
    const auto hidden = closed / "card.img";
    test::writeFile(hidden, test::randomBytes(64 * 1024, 12));
    ASSERT_EQ(::chmod(hidden.c_str(), 0644), 0);
    const auto [hiddenLength, hiddenError] = member.probe(hidden);
    EXPECT_EQ(hiddenLength, 0) << "the member read a file it may not read";
    ASSERT_TRUE(hiddenError);
    EXPECT_EQ(hiddenError->domain, "Vantrel");
    EXPECT_EQ(hiddenError->code, 17);
    EXPECT_EQ(hiddenError->message, hidden.string() + " does not exist or you may not read it");
    EXPECT_FALSE(VantrelError::isDiskAccessDenied(*hiddenError));
    const auto missingPath = closed / "missing.img";
    const auto [missingLength, missingError] = member.probe(missingPath);
    ASSERT_TRUE(missingError);
    EXPECT_EQ(missingError->code, hiddenError->code) << "an existence oracle";
    EXPECT_EQ(missingError->message, missingPath.string() + " does not exist or you may not read it");

    // A file the member may read is served.
    const auto shared = dir / "shared.img";
    const auto bytes = test::randomBytes(64 * 1024, 13);
    test::writeFile(shared, bytes);
    ASSERT_EQ(::chmod(shared.c_str(), 0644), 0);
    const auto [sharedLength, sharedError] = member.probe(shared);
    EXPECT_FALSE(sharedError) << sharedError->message;
    EXPECT_EQ(sharedLength, static_cast<std::int64_t>(bytes.size()));
    const auto copy = dir / "copy.bin";
    EXPECT_FALSE(extractInto(*member.helper, shared, 4096, copy, MemberSession::destination(copy)));
    EXPECT_EQ(test::readFile(copy), Bytes(bytes.begin(), bytes.begin() + 4096));

    // A PCI device's config space shows its first 64 bytes to users; root sees all of it.
    for (const auto& device : std::filesystem::directory_iterator("/sys/bus/pci/devices")) {
        const auto config = device.path() / "config";
        std::error_code error;
        const auto size = std::filesystem::file_size(config, error);
        if (error || size <= 64) continue;
        const auto destination = dir / "config.bin";
        const auto extracted = extractInto(*member.helper, config, static_cast<std::int64_t>(size), destination,
                                           MemberSession::destination(destination));
        EXPECT_TRUE(extracted) << "the member got the whole config space";
        EXPECT_LE(std::filesystem::file_size(destination), 64u);
        break;
    }

    // The system's own disk: refused by the helper's rule, and said so.
    struct stat root {};
    ASSERT_EQ(::stat("/", &root), 0);
    const auto name = major(root.st_dev) == 0 ? std::nullopt : DiskMounter::kernelName(major(root.st_dev), minor(root.st_dev), "/sys");
    if (name && std::filesystem::exists("/dev/" + *name)) {
        const auto systemDisk = "/dev/" + *name;
        const auto [length, error] = member.probe(systemDisk);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, "Vantrel");
        EXPECT_EQ(error->code, 17) << error->message;
        EXPECT_NE(error->message.find("it is an internal or system disk"), std::string::npos) << error->message;
        EXPECT_FALSE(VantrelError::isDiskAccessDenied(*error));
    }
}

TEST(HelperAccess, ALoopDeviceOverADeletedFileIsRootsAlone) {
    if (!canMakeLoopDevices()) GTEST_SKIP() << "needs root, loop devices and losetup";
    test::TempDir dir;
    openFolder(dir);
    const auto files = dir / "files";
    std::filesystem::create_directory(files);
    ASSERT_EQ(::chmod(files.c_str(), 01777), 0);

    // Root's secret behind a loop device, then deleted; the member puts its own file at the name sysfs shows.
    const auto secret = files / "secret.img";
    test::writeFile(secret, test::randomBytes(mebibyte, 14));
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    Loop deleted(secret);
    std::filesystem::remove(secret);
    const auto decoy = files / "secret.img (deleted)";
    test::writeFile(decoy, test::randomBytes(mebibyte, 15));
    ASSERT_EQ(::chown(decoy.c_str(), nobodyUid, nobodyGid), 0);
    // A loop device over a file the member may read.
    const auto open = files / "open.img";
    test::writeFile(open, test::randomBytes(mebibyte, 16));
    ASSERT_EQ(::chmod(open.c_str(), 0644), 0);
    Loop readable(open);

    MemberSession member;
    ASSERT_TRUE(member.ready);
    const auto [length, error] = member.probe(deleted.device());
    EXPECT_EQ(length, 0) << "the member read root's deleted file";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 17);
    EXPECT_EQ(error->message, "Only root may read " + deleted.device() +
                                  ": you may not read the file behind the loop device, or it was deleted");

    const auto [readableLength, readableError] = member.probe(readable.device());
    EXPECT_FALSE(readableError) << readableError->message;
    EXPECT_EQ(readableLength, static_cast<std::int64_t>(mebibyte));
}

// --- An extraction for nobody ---

TEST(HelperAccess, AnExtractionStopsWhenItsConnectionCloses) {
    test::TempDir dir;
    DeviceAccess::configure({true, {}, "VantrelHelper"});
    const auto image = sizedFile(dir / "large.img", 256 * mebibyte);
    const auto destination = dir / "hit.bin";
    std::optional<ErrorObject> replied;
    bool answered = false;
    {
        HelperScanService service([](auto&&...) {}, {});
        service.extractHitWithPath(image, 0, static_cast<std::int64_t>(256 * mebibyte), destination,
                                   SpawnedHelper::destination(destination), "signatureCarve", 0, 0, "", 0, 0,
                                   [&](std::optional<ErrorObject> error) {
                                       replied = std::move(error);
                                       answered = true;
                                   });
        service.connectionClosed();
        // Destroying the service waits for the running task.
    }
    DeviceAccess::configure({false, {}, "VantrelHelper"});
    if (answered) {
        ASSERT_TRUE(replied) << "the whole hit was written for nobody";
        EXPECT_EQ(replied->code, 15);
    }
    EXPECT_LT(std::filesystem::file_size(destination), 256 * mebibyte);
}

} // namespace
} // namespace vantrel
