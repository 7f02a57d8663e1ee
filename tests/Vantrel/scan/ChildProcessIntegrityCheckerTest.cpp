// The verifying child process as the application runs it: verdicts and dates come back, and a child
// that crashes, loops, hangs or swallows memory is ended by its limits and leaves the file suspect.
#include "Vantrel/scan/ChildProcessIntegrityChecker.h"

#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {
namespace {

#define REQUIRE_PROGRAMS(...)                                                   \
    for (const char* program : {__VA_ARGS__})                                   \
        if (!test::haveProgram(program)) GTEST_SKIP() << program << " is not installed"

#if defined(__SANITIZE_ADDRESS__)
constexpr bool addressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool addressSanitizer = true;
#else
constexpr bool addressSanitizer = false;
#endif
#else
constexpr bool addressSanitizer = false;
#endif

class ChildChecks : public ::testing::Test {
protected:
    std::string photo() const {
        const std::string ppm = (m_dir / "photo.ppm").string();
        const std::string jpg = (m_dir / "photo.jpg").string();
        test::runOrFail({"convert", "-size", "640x480", "xc:gray", "+noise", "Random", "-depth", "8", ppm});
        test::runOrFail({"cjpeg", "-quality", "90", "-outfile", jpg, ppm});
        test::runOrFail({"exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=2021:06:01 23:30:00",
                         "-OffsetTimeOriginal=+02:00", jpg});
        return jpg;
    }
    // The test build of the program with one of its stand-ins for a decoder gone wrong.
    static ChildProcessIntegrityChecker misbehaving(const std::string& hook, IntegrityLimits limits = {}) {
        return ChildProcessIntegrityChecker(VANTREL_VERIFY_TEST_PATH, limits, {hook});
    }

    test::TempDir m_dir;
};

TEST_F(ChildChecks, VerdictAndDateFromTheChild) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    const std::string file = photo();
    ChildProcessIntegrityChecker checker(VANTREL_VERIFY_PATH);
    const IntegrityVerdict whole = checker.check(RecoveredFileKind::jpeg, file, false);
    EXPECT_EQ(whole.integrity, HitIntegrity::ok);
    // 23:30 on the camera's clock, two hours east of universal time: the clock is kept, the offset beside it.
    EXPECT_EQ(whole.captureDate, std::chrono::system_clock::from_time_t(1622590200));
    EXPECT_EQ(whole.captureUtcOffsetMinutes, 120);

    const Bytes bytes = test::readFile(file);
    test::writeFile(m_dir / "cut.jpg", Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2)));
    EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, (m_dir / "cut.jpg").string(), false).integrity, HitIntegrity::suspect);
    EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, (m_dir / "cut.jpg").string(), true).integrity, HitIntegrity::ok);
    // Kinds without a validator are skipped, and carry no date.
    const IntegrityVerdict document = checker.check(RecoveredFileKind::docx, file, false);
    EXPECT_EQ(document.integrity, HitIntegrity::skipped);
    EXPECT_FALSE(document.captureDate);
}

TEST_F(ChildChecks, FourAtOnce) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    const std::string file = photo();
    ChildProcessIntegrityChecker checker(VANTREL_VERIFY_PATH);
    for (int round = 0; round < 2; ++round) {
        std::vector<std::future<IntegrityVerdict>> running;
        for (int i = 0; i < 4; ++i)
            running.push_back(std::async(std::launch::async, [&] { return checker.check(RecoveredFileKind::jpeg, file, false); }));
        for (auto& result : running) EXPECT_EQ(result.get().integrity, HitIntegrity::ok);
    }
    EXPECT_LE(checker.childrenStarted(), 4u) << "the second round is served by the children of the first";
}

// One child judges file after file; a file that ends its child (a decoder that crashes on it) is
// suspect, and the next file gets a fresh child and its own verdict.
TEST_F(ChildChecks, OneChildServesManyFilesAndAFileThatEndsItIsSuspect) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    const std::string file = photo();
    std::filesystem::copy_file(file, m_dir / "bad.jpg");
    ChildProcessIntegrityChecker checker = misbehaving("--test-crash-on=bad.jpg");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, file, false).integrity, HitIntegrity::ok);
    EXPECT_EQ(checker.childrenStarted(), 1u);
    EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, (m_dir / "bad.jpg").string(), false).integrity, HitIntegrity::suspect);
    const auto afterCrash = checker.childrenStarted();
    EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, file, false).integrity, HitIntegrity::ok);
    EXPECT_EQ(checker.childrenStarted(), afterCrash + 1) << "the crashed child is not used again";
    // A file name that would break the request line is not asked for.
    EXPECT_TRUE(checker.check(RecoveredFileKind::jpeg, (m_dir / "a\nb.jpg").string(), false).unreadable);
}

// A decoder that crashes, loops, hangs or hoards memory on one file in the middle of a batch: that
// file is suspect, as any file that ends its child, and the files after it are judged as before by a
// fresh child, with their dates.
TEST_F(ChildChecks, AJudgeThatFailsMidBatchIsReplacedAndTheNextFilesAreJudged) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    if (addressSanitizer) GTEST_SKIP() << "AddressSanitizer builds run the child without a memory limit";
    const std::string file = photo();
    const std::string bad = (m_dir / "bad.jpg").string();
    std::filesystem::copy_file(file, bad);
    const auto limited = [](std::uint64_t cpuSeconds, std::uint64_t memoryMiB, std::chrono::milliseconds wallClock) {
        IntegrityLimits limits;
        limits.cpuSeconds = cpuSeconds;
        limits.memoryMiB = memoryMiB;
        limits.wallClock = wallClock;
        return limits;
    };
    const struct {
        const char* hook;
        IntegrityLimits limits;  // the one that ends the child
    } rows[] = {
        {"--test-crash-on=bad.jpg", {}},
        {"--test-spin-on=bad.jpg", limited(1, 2048, std::chrono::seconds(60))},
        // Long enough for a fresh child to start and judge on a busy machine.
        {"--test-hang-on=bad.jpg", limited(20, 2048, std::chrono::seconds(10))},
        {"--test-allocate-on=bad.jpg", limited(20, 512, std::chrono::seconds(60))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hook);
        ChildProcessIntegrityChecker checker = misbehaving(row.hook, row.limits);
        std::vector<std::size_t> started;
        for (const std::string& path : {file, file, bad, file, file}) {
            const IntegrityVerdict verdict = checker.check(RecoveredFileKind::jpeg, path, false);
            EXPECT_EQ(verdict.integrity, path == bad ? HitIntegrity::suspect : HitIntegrity::ok) << path;
            EXPECT_EQ(verdict.captureDate.has_value(), path != bad) << path;
            started.push_back(checker.childrenStarted());
        }
        EXPECT_EQ(started[1], 1u);
        EXPECT_EQ(started[3], started[2] + 1) << "the failed child is not used again";
        EXPECT_EQ(started[4], started[3]);
    }
}

// A judge hands over to a fresh one after its share of files, which the application does not see:
// one child, every verdict and date as before.
TEST_F(ChildChecks, ManyFilesThroughOneChild) {
    REQUIRE_PROGRAMS("convert", "cjpeg", "exiftool");
    const std::string file = photo();
    test::writeFile(m_dir / "x.jpg", test::randomBytes(100, 1));
    ChildProcessIntegrityChecker checker(VANTREL_VERIFY_PATH);
    for (int i = 0; i < 600; ++i) {
        const bool noise = i % 7 == 3;
        const IntegrityVerdict verdict =
            checker.check(RecoveredFileKind::jpeg, noise ? (m_dir / "x.jpg").string() : file, false);
        ASSERT_EQ(verdict.integrity, noise ? HitIntegrity::failed : HitIntegrity::ok) << i;
        ASSERT_EQ(verdict.captureDate.has_value(), !noise) << i;
    }
    EXPECT_EQ(checker.childrenStarted(), 1u);
}

// A file that is not there to be read is no verdict on the hit: the check is skipped.
TEST_F(ChildChecks, AMissingOrUnreadableFileIsNotJudged) {
    ChildProcessIntegrityChecker checker(VANTREL_VERIFY_PATH);
    const auto gone = checker.check(RecoveredFileKind::jpeg, (m_dir / "gone.jpg").string(), false);
    EXPECT_TRUE(gone.unreadable);
    EXPECT_EQ(gone.integrity, HitIntegrity::pending);
    std::filesystem::create_directory(m_dir / "folder.jpg");
    EXPECT_TRUE(checker.check(RecoveredFileKind::jpeg, (m_dir / "folder.jpg").string(), false).unreadable);
    // An empty file is read, and judged.
    test::writeFile(m_dir / "empty.jpg", {});
    const auto empty = checker.check(RecoveredFileKind::jpeg, (m_dir / "empty.jpg").string(), false);
    EXPECT_FALSE(empty.unreadable);
    EXPECT_EQ(empty.integrity, HitIntegrity::failed);
}

TEST_F(ChildChecks, StartedAsRootItJudgesAsNobodyWithNoNewPrivileges) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    // Root's own file, which nobody may read: it is read before the drop, and judged after it.
    test::writeFile(m_dir / "x.jpg", test::randomBytes(100, 1));
    ASSERT_EQ(::chmod((m_dir / "x.jpg").c_str(), 0600), 0);
    EXPECT_EQ(misbehaving("--test-identity").check(RecoveredFileKind::jpeg, (m_dir / "x.jpg").string(), false).integrity,
              HitIntegrity::ok);
}

TEST_F(ChildChecks, ACrashIsSuspect) {
    test::writeFile(m_dir / "x.jpg", test::randomBytes(100, 1));
    EXPECT_EQ(misbehaving("--test-crash").check(RecoveredFileKind::jpeg, (m_dir / "x.jpg").string(), false).integrity,
              HitIntegrity::suspect);
}

TEST_F(ChildChecks, TheCPULimitEndsALoop) {
    test::writeFile(m_dir / "x.png", test::randomBytes(100, 1));
    // The wall clock is far beyond the CPU limit, so it is the CPU limit that ends the child.
    IntegrityLimits limits;
    limits.cpuSeconds = 1;
    limits.wallClock = std::chrono::seconds(60);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(misbehaving("--test-spin", limits).check(RecoveredFileKind::png, (m_dir / "x.png").string(), false).integrity,
              HitIntegrity::suspect);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
}

TEST_F(ChildChecks, TheWallClockEndsAHang) {
    test::writeFile(m_dir / "x.pdf", test::randomBytes(100, 1));
    IntegrityLimits limits;
    limits.wallClock = std::chrono::milliseconds(300);
    EXPECT_EQ(misbehaving("--test-hang", limits).check(RecoveredFileKind::pdf, (m_dir / "x.pdf").string(), false).integrity,
              HitIntegrity::suspect);
}

TEST_F(ChildChecks, TheMemoryLimitEndsAHoard) {
    if (addressSanitizer) GTEST_SKIP() << "AddressSanitizer builds run the child without a memory limit";
    test::writeFile(m_dir / "x.heic", test::randomBytes(100, 1));
    IntegrityLimits limits;
    limits.memoryMiB = 256;
    EXPECT_EQ(misbehaving("--test-allocate", limits).check(RecoveredFileKind::heic, (m_dir / "x.heic").string(), false).integrity,
              HitIntegrity::suspect);
}

TEST_F(ChildChecks, AProgramThatCannotStartLeavesTheHitUnjudged) {
    test::writeFile(m_dir / "x.jpg", test::randomBytes(100, 1));
    ChildProcessIntegrityChecker missing(m_dir / "no-such-program");
    EXPECT_EQ(missing.check(RecoveredFileKind::jpeg, (m_dir / "x.jpg").string(), false).integrity, HitIntegrity::pending);
    // A program others may rewrite is not run, nor one whose decoding program is missing or others may
    // rewrite: the serving program would run it as whoever the application is.
    const std::string decoder = std::string(VANTREL_VERIFY_PATH) + "-decode";
    const struct {
        const char* name;
        ::mode_t serving;
        std::optional<::mode_t> decoding;  // none: not beside it
    } rows[] = {{"shared-verify", 0777, 0755}, {"lone-verify", 0755, std::nullopt}, {"shared-decoder", 0755, 0777}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto program = m_dir / row.name;
        std::filesystem::copy_file(VANTREL_VERIFY_PATH, program);
        ::chmod(program.c_str(), row.serving);
        if (row.decoding) {
            std::filesystem::copy_file(decoder, program.string() + "-decode");
            ::chmod((program.string() + "-decode").c_str(), *row.decoding);
        }
        ChildProcessIntegrityChecker checker(program);
        EXPECT_EQ(checker.check(RecoveredFileKind::jpeg, (m_dir / "x.jpg").string(), false).integrity, HitIntegrity::pending);
        EXPECT_EQ(checker.childrenStarted(), 0u);
    }
    // A copy of the pair judges as the original does.
    std::filesystem::copy_file(VANTREL_VERIFY_PATH, m_dir / "own-verify");
    std::filesystem::copy_file(decoder, m_dir / "own-verify-decode");
    ChildProcessIntegrityChecker copied(m_dir / "own-verify");
    EXPECT_EQ(copied.check(RecoveredFileKind::jpeg, (m_dir / "x.jpg").string(), false).integrity, HitIntegrity::failed);
}

TEST(VerifyOutput, OnlyTheProtocolCounts) {
    const auto verdict = parseVerifyOutput("verdict suspect\ndate 2021:06:01 12:00:00\noffset +00:00\n");
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->integrity, HitIntegrity::suspect);
    EXPECT_EQ(verdict->captureDate, std::chrono::system_clock::from_time_t(1622548800));
    EXPECT_FALSE(parseVerifyOutput(""));
    EXPECT_FALSE(parseVerifyOutput("date 2021:06:01 12:00:00\n"));
    EXPECT_FALSE(parseVerifyOutput("verdict pending\n"));
    EXPECT_FALSE(parseVerifyOutput("verdict fine\n"));
    EXPECT_FALSE(parseVerifyOutput("verdict ok\nsomething else\n"));
    const auto unread = parseVerifyOutput("verdict unreadable\n");
    ASSERT_TRUE(unread);
    EXPECT_TRUE(unread->unreadable);
    EXPECT_FALSE(parseVerifyOutput("verdict unreadable\ndate 2021:06:01 12:00:00\n"));
    // A date the application cannot read leaves the verdict without a date.
    const auto undated = parseVerifyOutput("verdict ok\ndate 2021:02:30 12:00:00\n");
    ASSERT_TRUE(undated);
    EXPECT_FALSE(undated->captureDate);
}

} // namespace
} // namespace vantrel
