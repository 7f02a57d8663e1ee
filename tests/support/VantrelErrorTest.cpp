#include "support/HelperInstallStatus.h"
#include "support/VantrelError.h"

#include <gtest/gtest.h>

#include <system_error>

namespace vantrel {
namespace {

TEST(VantrelError, BuildsTheRefusedDiskAccessError) {
    const auto bare = VantrelError::diskAccessDeniedError(std::string("/dev/sdb"), std::string());
    EXPECT_EQ(bare.domain, "Vantrel");
    EXPECT_EQ(bare.code, 12);
    EXPECT_EQ(bare.message, "Linux blocked raw disk access. Allow disk access for Vantrel in system settings, then retry.");
    EXPECT_EQ(bare.path, "/dev/sdb");

    const auto named = VantrelError::diskAccessDeniedError(std::nullopt, std::string("/usr/libexec/vantrel/VantrelHelper"));
    EXPECT_EQ(named.message, bare.message + " Helper: /usr/libexec/vantrel/VantrelHelper");
    EXPECT_FALSE(named.path);
    EXPECT_EQ(VantrelError::diskAccessDeniedError(std::string(), std::nullopt).path, "");
}

TEST(VantrelError, RecognisesRefusedDiskAccess) {
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject{"Vantrel", 12, "", std::nullopt}));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject::posix(EACCES, "/dev/sdb")));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject::posix(EPERM)));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject{"other", 3, "Operation NOT PERMITTED here", std::nullopt}));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject{"other", 3, "Grant Full Disk Access", std::nullopt}));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(ErrorObject{"other", 3, "Festplattenvollzugriff fehlt", std::nullopt}));
    EXPECT_FALSE(VantrelError::isDiskAccessDenied(ErrorObject{"Vantrel", 11, "Helper did not respond.", std::nullopt}));
    EXPECT_FALSE(VantrelError::isDiskAccessDenied(ErrorObject::posix(ENOENT)));
    // Code 13 counts only in the POSIX domain.
    EXPECT_FALSE(VantrelError::isDiskAccessDenied(ErrorObject{"VantrelIPC", 13, "x", std::nullopt}));
    EXPECT_TRUE(VantrelError::isDiskAccessDenied(std::system_error(EACCES, std::generic_category(), "open")));
    EXPECT_FALSE(VantrelError::isDiskAccessDenied(std::runtime_error("disk busy")));
}

TEST(HelperInstallStatus, ReadsOnlyTheExactCaseNames) {
    for (const auto status : {HelperInstallStatus::unknown, HelperInstallStatus::notInstalled, HelperInstallStatus::installed,
                              HelperInstallStatus::requiresApproval})
        EXPECT_EQ(HelperInstallStatusName::fromRawValue(HelperInstallStatusName::rawValue(status)), status);
    EXPECT_EQ(HelperInstallStatusName::rawValue(HelperInstallStatus::requiresApproval), "requiresApproval");
    EXPECT_FALSE(HelperInstallStatusName::fromRawValue("Installed"));
    EXPECT_FALSE(HelperInstallStatusName::fromRawValue(""));
}

} // namespace
} // namespace vantrel
