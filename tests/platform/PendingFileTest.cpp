// New files named only once whole: on a file system with unnamed files (the temporary folder's) and on
// FAT, which has none, where a hidden temporary name stands in.

#include "platform/files/PendingFile.h"

#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

namespace vantrel {
namespace {

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

bool put(const PendingFile& file, std::string_view text) {
    return ::write(file.fd(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The rules every folder keeps: no name before the commit, none after a drop, nothing replaced.
void checkNamingRules(const std::filesystem::path& folder) {
    {
        auto file = PendingFile::create(folder / "kept.png");
        ASSERT_TRUE(file) << std::strerror(errno);
        ASSERT_TRUE(put(*file, "whole"));
        EXPECT_FALSE(namesIn(folder).contains("kept.png")) << "no name while it is written";
        ASSERT_TRUE(file->commit()) << std::strerror(errno);
        EXPECT_FALSE(file->commit()) << "named once";
    }
    EXPECT_EQ(test::readFile(folder / "kept.png"), (Bytes{'w', 'h', 'o', 'l', 'e'}));
    {
        auto dropped = PendingFile::create(folder / "dropped.png");
        ASSERT_TRUE(dropped);
        ASSERT_TRUE(put(*dropped, "half"));
    }
    test::writeFile(folder / "taken.png", {1, 2, 3});
    {
        auto late = PendingFile::create(folder / "taken.png");
        ASSERT_TRUE(late);
        ASSERT_TRUE(put(*late, "other"));
        EXPECT_FALSE(late->commit());
        EXPECT_EQ(errno, EEXIST);
    }
    EXPECT_EQ(test::readFile(folder / "taken.png"), (Bytes{1, 2, 3}));
    EXPECT_EQ(namesIn(folder), (std::set<std::string>{"kept.png", "taken.png"})) << "nothing else is left";
}

TEST(PendingFile, IsNamedOnlyWhenCommittedNeverOverAnythingAndIsTheOwnersAlone) {
    const test::TempDir dir;
    checkNamingRules(dir.path());
    struct stat info {};
    ASSERT_EQ(::stat((dir / "kept.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_EQ(info.st_gid, ::getegid());

    // A link at the name is neither followed nor replaced.
    std::filesystem::create_symlink(dir / "elsewhere.png", dir / "link.png");
    auto linked = PendingFile::create(dir / "link.png");
    ASSERT_TRUE(linked);
    EXPECT_FALSE(linked->commit());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.png"));
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.png"));

    EXPECT_FALSE(PendingFile::create(dir / "missing" / "x.png"));
    EXPECT_EQ(errno, ENOENT);
}

// Makes the kernel answer every unnamed open of this process as a file system without unnamed files
// does (EOPNOTSUPP); everything else passes.
bool refuseUnnamedFiles() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
        // The flags' low half; the unnamed-file bit lies in it.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(PendingFile, WhereUnnamedFilesAreRefusedAHiddenNameStandsInAndGoes) {
    const test::TempDir dir;
    // In a child of its own, which alone has the filter; its failures show in its output.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!refuseUnnamedFiles()) ::_exit(3);
        {
            auto file = PendingFile::create(dir / "seen.png");
            const auto names = namesIn(dir.path());
            if (!file || names.size() != 1 || !names.begin()->starts_with(".seen.png.")) ::_exit(2);
        }
        checkNamingRules(dir.path());
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no filter; 2: no hidden name while pending; 1: a rule failed (above)";
}

TEST(PendingFile, OnAFileSystemWithoutUnnamedFilesAHiddenNameStandsInAndGoes) {
    if (const auto reason = test::LoopDevice::unavailableReason(); !reason.empty()) GTEST_SKIP() << reason;
    if (!test::haveProgram("mkfs.fat")) GTEST_SKIP() << "needs mkfs.fat";
    const test::TempDir dir;
    const auto image = dir / "fat.img";
    test::runOrFail({"truncate", "-s", "4M", image.string()});
    test::runOrFail({"mkfs.fat", image.string()});
    const test::LoopDevice loop(image, 512, false);
    ASSERT_FALSE(loop.path().empty());
    const auto mounted = dir / "mnt";
    std::filesystem::create_directory(mounted);
    if (const auto mount = test::run({"mount", "-t", "vfat", loop.path(), mounted.string()}); mount.exitCode != 0)
        GTEST_SKIP() << "FAT cannot be mounted here: " << mount.output;
    // Unmounted before the loop device goes, whatever fails below.
    const struct Unmount {
        std::filesystem::path folder;
        ~Unmount() { test::run({"umount", folder.string()}); }
    } unmount{mounted};
    {
        auto file = PendingFile::create(mounted / "seen.png");
        ASSERT_TRUE(file);
        const auto names = namesIn(mounted);
        ASSERT_EQ(names.size(), 1u) << "FAT has no unnamed files";
        EXPECT_TRUE(names.begin()->starts_with(".seen.png.")) << *names.begin();
    }
    checkNamingRules(mounted);
}

} // namespace
} // namespace vantrel
