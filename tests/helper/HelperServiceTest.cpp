// The helper program end to end, without a scan: ping and quit, probe and access check, extraction
// into sent descriptors, device copy, remount, the shared listener and its admission.

#include "HelperHarness.h"

#include "platform/ipc/IpcError.h"
#include "platform/ipc/IpcListener.h"
#include "support/VantrelError.h"
#include "tests/fixtures/TestSupport.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>

namespace vantrel {
namespace {

using test::ErrorAnswer;
using test::SpawnedHelper;
using test::waitError;


UniqueFd createDestination(const std::filesystem::path& path, mode_t mode = 0600) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    EXPECT_GE(fd, 0) << path;
    return UniqueFd(fd);
}

std::optional<ErrorObject> extract(VantrelHelperProtocol& helper, const std::string& device, std::int64_t offset,
                                   std::int64_t length, const std::filesystem::path& destination,
                                   const std::string& source = "signatureCarve", std::int64_t firstCluster = 0,
                                   std::int64_t partitionOffset = 0, const std::string& fileSystem = "") {
    ErrorAnswer answer;
    helper.extractHitWithPath(device, offset, length, destination, createDestination(destination), source, firstCluster,
                              partitionOffset, fileSystem, 0, 0, answer.callback());
    return waitError(answer);
}

// A folder for the test's files and the card image in it.
class HelperService : public ::testing::Test {
protected:
    // Writes the card image of random bytes; returns its bytes.
    Bytes writeImage(std::size_t size, std::uint64_t seed) const {
        Bytes bytes = test::randomBytes(size, seed);
        test::writeFile(image, bytes);
        return bytes;
    }

    test::TempDir dir;
    std::filesystem::path image = dir / "card.img";
};

TEST_F(HelperService, AnswersPingAndQuitsAfterReplying) {
    SpawnedHelper spawned;
    EXPECT_EQ(test::pingAnswer(*spawned.helper), "pong");
    EXPECT_FALSE(test::quitAnswer(*spawned.helper));
    EXPECT_EQ(spawned.process->waitForExit(), 0);
}

TEST_F(HelperService, ProbesAndChecksAnImageFileAndRefusesWhatIsNoDevice) {
    writeImage(3 * mebibyte + 512, 1);
    SpawnedHelper spawned;

    test::Answer<std::int64_t, std::optional<ErrorObject>> length;
    spawned.helper->probeDeviceWithPath(image, length.callback());
    const auto [bytes, probeError] = length.get();
    EXPECT_FALSE(probeError);
    EXPECT_EQ(bytes, static_cast<std::int64_t>(3 * mebibyte + 512));

    test::Answer<bool, std::optional<ErrorObject>> access;
    spawned.helper->checkRawDiskAccessWithPath(image, access.callback());
    EXPECT_TRUE(std::get<0>(access.get()));

    // A folder, a relative path and a missing file are no devices.
    for (const auto& path : {dir.path().string(), std::string("card.img"), (dir / "missing.img").string()}) {
        test::Answer<std::int64_t, std::optional<ErrorObject>> refused;
        spawned.helper->probeDeviceWithPath(path, refused.callback());
        const auto [zero, error] = refused.get();
        EXPECT_EQ(zero, 0);
        ASSERT_TRUE(error) << path;
        EXPECT_EQ(error->domain, ErrorObject::posixDomain);
        EXPECT_EQ(error->code, path.find("missing") != std::string::npos ? ENOENT : ENOTBLK) << path;
    }
}

TEST_F(HelperService, RefusesImageFilesUnlessAllowed) {
    writeImage(4096, 2);
    SpawnedHelper spawned(std::vector<std::string>{});
    test::Answer<bool, std::optional<ErrorObject>> access;
    spawned.helper->checkRawDiskAccessWithPath(image, access.callback());
    const auto [granted, error] = access.get();
    EXPECT_FALSE(granted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ENOTBLK);
    EXPECT_EQ(error->message, "Not a disk device: " + image.string());
}

TEST_F(HelperService, ExtractsByteRangesIntoSentDescriptors) {
    const auto bytes = writeImage(6 * mebibyte, 3);
    SpawnedHelper spawned;

    // Larger than one streamed chunk, unaligned, and ending at the device's end.
    struct Case {
        std::int64_t offset, length;
    };
    int index = 0;
    for (const auto& [offset, length] : {Case{1000, 2 * static_cast<std::int64_t>(mebibyte) + 77}, Case{0, 1},
                                         Case{static_cast<std::int64_t>(6 * mebibyte) - 10, 10}}) {
        const auto destination = dir / ("hit" + std::to_string(index++) + ".bin");
        EXPECT_FALSE(extract(*spawned.helper, image, offset, length, destination));
        EXPECT_EQ(test::readFile(destination), Bytes(bytes.begin() + offset, bytes.begin() + offset + length));
        struct stat info {};
        ASSERT_EQ(::stat(destination.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << "the mode stays the caller's";
    }
    EXPECT_TRUE(spawned.client.saw("Extracting 1 bytes @0…"));
    EXPECT_TRUE(spawned.client.saw("Extracted 1 bytes"));
}

TEST_F(HelperService, AnExtractionThatCannotBeWholeFails) {
    writeImage(4096 + 1057, 8);
    SpawnedHelper spawned;

    // Past the device's end: 1,057 of 3,172 bytes are there.
    const auto error = extract(*spawned.helper, image, 4096, 3172, dir / "short.bin");
    ASSERT_TRUE(error) << "a partial hit was reported as recovered";
    EXPECT_EQ(error->message, "Only 1057 of 3172 bytes could be read: the device ends before the hit does");
    EXPECT_TRUE(spawned.client.saw("Extract failed: " + error->message));

    // Negative offsets and lengths are refused by the shared table, on both sides of the connection.
    const auto& table = VantrelHelperProtocol::selectorTable();
    const auto* rule = table.find(HelperProtocolSelector::extractHit);
    ASSERT_NE(rule, nullptr);
    const auto arguments = [&](std::int64_t offset, std::int64_t length, std::int64_t partitionOffset, std::int64_t secondLength = 0) {
        return nlohmann::json::array(
            {image.string(), offset, length, "hit.bin", "fatUndelete", 8, partitionOffset, "fat32", 0, secondLength});
    };
    EXPECT_EQ(table.checkValues(arguments(512, -4, 0), rule->arguments), "argument 2: a negative offset or length");
    EXPECT_EQ(table.checkValues(arguments(-1, 10, 0), rule->arguments), "argument 1: a negative offset or length");
    EXPECT_EQ(table.checkValues(arguments(0, 10, -512), rule->arguments), "argument 6: a negative offset or length");
    EXPECT_EQ(table.checkValues(arguments(0, 10, 0, -1), rule->arguments), "argument 9: a negative offset or length");
    EXPECT_FALSE(table.checkValues(arguments(0, 0, 0), rule->arguments));
}

TEST_F(HelperService, RefusesDestinationsItMustNotWrite) {
    const auto bytes = writeImage(mebibyte, 4);
    SpawnedHelper spawned;

    // The image being read, sent as the destination.
    {
        ErrorAnswer answer;
        spawned.helper->extractHitWithPath(image, 0, 4096, image, UniqueFd(::open(image.c_str(), O_WRONLY | O_CLOEXEC)),
                                           "signatureCarve", 0, 0, "", 0, 0, answer.callback());
        const auto error = waitError(answer);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EXDEV);
        EXPECT_EQ(test::readFile(image), bytes);
    }
    // A descriptor opened for reading only.
    {
        const auto path = dir / "readonly.bin";
        test::writeFile(path, {});
        ErrorAnswer answer;
        spawned.helper->extractHitWithPath(image, 0, 4096, path, UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
                                           "signatureCarve", 0, 0, "", 0, 0, answer.callback());
        const auto error = waitError(answer);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EBADF);
    }
    // A first cluster no directory entry can hold.
    const auto error = extract(*spawned.helper, image, 0, 10, dir / "cluster.bin", "fatUndelete", std::int64_t{1} << 33, 0, "fat32");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EINVAL);
    EXPECT_TRUE(spawned.client.saw("Extract failed: " + error->message));
}

TEST_F(HelperService, CopiesADeviceInChunksWithProgress) {
    const auto bytes = writeImage(10 * mebibyte, 5);
    SpawnedHelper spawned;

    const auto copy = dir / "copy.img";
    ErrorAnswer answer;
    spawned.helper->copyDeviceWithSourcePath(image, copy, test::SpawnedHelper::destination(copy), answer.callback());
    EXPECT_FALSE(waitError(answer));
    EXPECT_EQ(test::readFile(copy), bytes);
    std::vector<std::int64_t> scanned;
    for (const auto& report : spawned.client.progress()) scanned.push_back(report.scanned);
    EXPECT_EQ(scanned, (std::vector<std::int64_t>{4 * mebibyte, 8 * mebibyte, 10 * mebibyte}));
    EXPECT_TRUE(spawned.client.saw("Copy 40%"));
    EXPECT_TRUE(spawned.client.saw("Copy 100%"));
    EXPECT_TRUE(spawned.client.saw("Copy complete (10485760 bytes)"));

    // A cancel left from before stops the next copy before its first chunk.
    spawned.helper->cancelScan();
    const auto cancelled = dir / "cancelled.img";
    ErrorAnswer second;
    spawned.helper->copyDeviceWithSourcePath(image, cancelled, test::SpawnedHelper::destination(cancelled), second.callback());
    const auto error = waitError(second);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "Vantrel");
    EXPECT_EQ(error->code, 15);
    EXPECT_EQ(error->message, "Copy cancelled");
}

TEST_F(HelperService, RemountOfNothingRepliesAtOnce) {
    SpawnedHelper spawned;
    ErrorAnswer answer;
    spawned.helper->remountDisksWithBsdNames({""}, answer.callback());
    EXPECT_FALSE(waitError(answer));
    EXPECT_TRUE(spawned.client.lines().empty());

    // A name that cannot be a device name is never made into a path.
    ErrorAnswer hostile;
    spawned.helper->remountDisksWithBsdNames({"../../etc"}, hostile.callback());
    const auto error = waitError(hostile);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 16);
    EXPECT_EQ(error->message, "Could not remount: ../../etc (not a device name)");
}

TEST_F(HelperService, SharedHelperServesIndependentConnections) {
    const auto socketPath = (dir / "helper.sock").string();
    test::HelperProcess process({"--listen", socketPath, "--allow-image-files"});
    ASSERT_TRUE(test::waitForSocket(socketPath));

    const auto bytes = writeImage(mebibyte, 6);

    test::SocketApplication first(socketPath);
    test::SocketApplication second(socketPath);
    EXPECT_EQ(test::pingAnswer(first.helper), "pong");

    // A cancel on the first connection leaves the second one's copy alone.
    first.helper.cancelScan();
    const auto copy = dir / "copy.img";
    ErrorAnswer answer;
    second.helper.copyDeviceWithSourcePath(image, copy, test::SpawnedHelper::destination(copy), answer.callback());
    EXPECT_FALSE(waitError(answer));
    EXPECT_EQ(test::readFile(copy), bytes);
    EXPECT_TRUE(second.client.saw("Copy complete (1048576 bytes)"));
    EXPECT_TRUE(first.client.lines().empty());

    EXPECT_FALSE(test::quitAnswer(first.helper));
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST_F(HelperService, TakesTheSocketTheServiceManagerPasses) {
    const auto socketPath = (dir / "activated.sock").string();
    const auto listening = IpcListener::listenOn(socketPath, 0600);
    test::HelperProcess process({}, listening.get(), {}, true);

    test::SocketApplication application(socketPath);
    EXPECT_EQ(test::pingAnswer(application.helper), "pong");
    EXPECT_FALSE(test::quitAnswer(application.helper));
    EXPECT_EQ(process.waitForExit(), 0);
}

TEST_F(HelperService, SharedHelperRefusesAPeerOutsideItsGroup) {
    if (!test::runningAsRoot()) GTEST_SKIP() << "needs root to connect as another user";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const auto socketPath = (dir / "helper.sock").string();
    test::HelperProcess process({"--listen", socketPath});
    ASSERT_TRUE(test::waitForSocket(socketPath));
    ASSERT_EQ(::chmod(socketPath.c_str(), 0666), 0);

    // A child that becomes nobody connects and asks for a ping; the helper closes the connection unread.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        std::optional<SeqpacketSocket> socket;
        try {
            socket.emplace(SeqpacketSocket::connect(socketPath));
        } catch (...) {
            ::_exit(2);
        }
        try {
            socket->send(R"({"v":1,"k":"call","id":1,"sel":"ping:","args":[]})");
        } catch (const std::system_error&) {
            ::_exit(0);  // closed before the call could even be sent
        }
        SeqpacketSocket::Packet packet;
        ::_exit(socket->receive(packet) == SeqpacketSocket::ReceiveStatus::closed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: answered, 2: could not connect, 3: could not change user";
}

// Whether every user may run the built helper (each folder above it searchable, the file executable).
bool helperRunsForOthers() {
    std::filesystem::path path = VANTREL_HELPER_PATH;
    for (; path.has_relative_path(); path = path.parent_path()) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) return false;
    }
    return true;
}

TEST_F(HelperService, HelperWithoutRootGetsTheRefusedAccessError) {
    if (!test::runningAsRoot() || !test::haveProgram("setpriv") || !helperRunsForOthers())
        GTEST_SKIP() << "needs root, setpriv and a helper that other users may run";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    writeImage(8192, 7);
    ASSERT_EQ(::chmod(image.c_str(), 0600), 0);

    SpawnedHelper spawned({"--allow-image-files"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    test::Answer<bool, std::optional<ErrorObject>> access;
    spawned.helper->checkRawDiskAccessWithPath(image, access.callback());
    const auto [granted, error] = access.get();
    EXPECT_FALSE(granted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "Vantrel");
    EXPECT_EQ(error->code, 12);
    EXPECT_EQ(error->path, image.string());
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(*error));

    ErrorAnswer scan;
    spawned.helper->startScanWithPath(image, 0, 0, 0, {}, "standard", scan.callback());
    const auto scanError = waitError(scan);
    ASSERT_TRUE(scanError);
    EXPECT_EQ(scanError->code, 12);
    EXPECT_TRUE(spawned.client.saw("Scan error: " + scanError->message));
}

} // namespace
} // namespace vantrel
