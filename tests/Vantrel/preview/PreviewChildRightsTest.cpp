// The preview's decoding without root: the application opens the file and makes the output, the child
// gives up root before it reads a byte and writes through descriptors, and an output is named only
// when the child wrote it whole.

#include "PreviewFixtures.h"
#include "WidgetTesting.h"

#include "Vantrel/scan/PreviewRenderer.h"

#include "tests/fixtures/TestSupport.h"

#include <QImage>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>

namespace vantrel {
namespace {

namespace fixtures = test::PreviewFixtures;

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

struct stat statOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

std::string textOf(const std::filesystem::path& path) {
    const auto bytes = test::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The picture file of a photo that asks for a quarter turn, readable by its owner only.
std::filesystem::path turnedPhoto(const test::TempDir& dir) {
    const auto file = dir / "photo.jpg";
    test::writeFile(file, fixtures::withExifOrientation(fixtures::picture(40, 20, "jpeg"), 6));
    EXPECT_EQ(::chmod(file.c_str(), 0600), 0);
    return file;
}

TEST(PreviewChildRights, StartedAsRootItDrawsAndTurnsAsNobodyWithNoNewPrivileges) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    test::widgetApplication();
    const test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    const auto photo = turnedPhoto(dir);
    uid_t uid = 65534;
    gid_t gid = 65534;
    if (const auto* entry = ::getpwnam("nobody")) {
        uid = entry->pw_uid;
        gid = entry->pw_gid;
    }
    const auto expectDropped = [&](const std::filesystem::path& output) {
        // The test build's stand-in for the decoder writes who it runs as into the output.
        std::istringstream lines(textOf(output));
        std::set<std::string> seen;
        for (std::string line; std::getline(lines, line);) {
            const auto key = line.substr(0, line.find(':'));
            seen.insert(key);
            std::istringstream values(line.substr(key.size() + 1));
            std::vector<std::string> numbers;
            for (std::string value; values >> value;) numbers.push_back(value);
            const std::map<std::string, std::vector<std::string>> expected{
                {"Uid", std::vector<std::string>(4, std::to_string(uid))},
                {"Gid", std::vector<std::string>(4, std::to_string(gid))},
                {"Groups", {}},
                {"NoNewPrivs", {"1"}}};
            EXPECT_EQ(numbers, expected.at(key)) << line;
        }
        EXPECT_EQ(seen, (std::set<std::string>{"Uid", "Gid", "Groups", "NoNewPrivs"}));
        // Made by this process as root, as before: root's own, mode 0600.
        const auto info = statOf(output);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    };
    const PreviewRenderer probe(VANTREL_VERIFY_TEST_PATH, {}, {"--test-identity"});
    ASSERT_TRUE(probe.render(RecoveredFileKind::jpeg, photo, dir / "drawn.png", 256));
    expectDropped(dir / "drawn.png");
    const auto copy = orientedCopyIfNeeded(photo, RecoveredFileKind::jpeg, probe);
    ASSERT_EQ(copy, dir / "photo_oriented.jpg");
    expectDropped(copy);
}

TEST(PreviewChildRights, OutputsAreWholePicturesOfThisProcessesUserWithModeSixHundred) {
    test::widgetApplication();
    const test::TempDir dir;
    const auto photo = turnedPhoto(dir);
    const PreviewRenderer renderer(VANTREL_VERIFY_PATH);
    const auto drawn = renderer.render(RecoveredFileKind::jpeg, photo, dir / "drawn.png", 256);
    ASSERT_TRUE(drawn);
    const auto copy = orientedCopyIfNeeded(photo, RecoveredFileKind::jpeg, renderer);
    ASSERT_EQ(copy, dir / "photo_oriented.jpg");
    for (const auto& [output, width, height] : {std::tuple{dir / "drawn.png", 20, 40}, std::tuple{copy, 20, 40}}) {
        const QImage picture(QString::fromStdString(output.string()));
        EXPECT_EQ(picture.width(), width) << output;
        EXPECT_EQ(picture.height(), height) << output;
        const auto info = statOf(output);
        EXPECT_EQ(info.st_uid, ::geteuid());
        EXPECT_EQ(info.st_gid, ::getegid());
        EXPECT_EQ(info.st_mode & 07777, 0600u);
    }
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"photo.jpg", "drawn.png", "photo_oriented.jpg"}));
}

TEST(PreviewChildRights, AChildThatFailsOrWritesHalfLeavesNoOutput) {
    test::widgetApplication();
    const test::TempDir dir;
    const auto photo = turnedPhoto(dir);
    const auto damaged = dir / "damaged.jpg";
    test::writeFile(damaged, test::randomBytes(5000, 7));
    const auto fifo = dir / "fifo.jpg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::set<std::string> inputs{"photo.jpg", "damaged.jpg", "fifo.jpg"};

    // Writes the start of a picture and crashes.
    const PreviewRenderer halfWay(VANTREL_VERIFY_TEST_PATH, {}, {"--test-half-write"});
    EXPECT_FALSE(halfWay.render(RecoveredFileKind::jpeg, photo, dir / "half.png", 256));
    EXPECT_FALSE(halfWay.uprightCopy(RecoveredFileKind::jpeg, photo, dir / "half.jpg"));
    EXPECT_EQ(orientedCopyIfNeeded(photo, RecoveredFileKind::jpeg, halfWay), photo);
    // Killed at the wall clock.
    IntegrityLimits limits;
    limits.wallClock = std::chrono::milliseconds(300);
    const PreviewRenderer hanging(VANTREL_VERIFY_TEST_PATH, limits, {"--test-hang"});
    EXPECT_FALSE(hanging.render(RecoveredFileKind::jpeg, photo, dir / "hung.png", 256));
    // Bytes that give no picture, and a FIFO in place of the file, which blocks nothing.
    const PreviewRenderer renderer(VANTREL_VERIFY_PATH);
    EXPECT_FALSE(renderer.render(RecoveredFileKind::jpeg, damaged, dir / "damaged.png", 256));
    EXPECT_EQ(orientedCopyIfNeeded(damaged, RecoveredFileKind::jpeg, renderer), damaged);
    EXPECT_FALSE(renderer.render(RecoveredFileKind::jpeg, fifo, dir / "fifo.png", 256));

    EXPECT_EQ(namesIn(dir.path()), inputs) << "no output and no temporary file is left";
}

} // namespace
} // namespace vantrel
