// What the helper-access sheet and the disk-access button show for each helper and access state, and
// the scan-mode sheet's offered and starting modes.

#include "Vantrel/sheets/HelperAccessLogic.h"
#include "Vantrel/sheets/ScanModeLogic.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using namespace HelperAccessLogic;
using Runtime = AppModel::HelperRuntimeState;
using Access = AppModel::RawDiskAccessState;
using Buttons = std::vector<HelperButton>;

State state(HelperInstallStatus status, Runtime runtime = Runtime::unknown, Access access = Access::unknown) {
    return {status, runtime, access};
}

const QString approvalGuidance = helperGuidance(state(HelperInstallStatus::requiresApproval));
const QString retryGuidance = helperGuidance(state(HelperInstallStatus::unknown));

TEST(HelperAccessLogic, AHelperRunningBesideTheProgramIsNamedAndNothingAsksForAccess) {
    for (const auto route : {HelperRoute::spawnedAsRoot, HelperRoute::spawnedWithPkexec}) {
        State working{HelperInstallStatus::notInstalled, Runtime::reachable, Access::unknown, route};
        EXPECT_TRUE(helperIsReady(working));
        EXPECT_EQ(helperStatusText(working), "Helper running beside Vantrel (root)");
        EXPECT_EQ(summaryText(working), "Helper running beside Vantrel (root).");
        EXPECT_FALSE(summaryIsWarning(working));
        EXPECT_TRUE(diskAccessReady(working)) << "root reads disks: no explanation, no buttons";
        EXPECT_EQ(diskAccessStatusText(working), "Ready");
        EXPECT_FALSE(removeEnabled(working)) << "no service to remove";
        working.access = Access::denied;
        EXPECT_FALSE(diskAccessReady(working));
        EXPECT_EQ(diskAccessStatusText(working), "Not allowed yet");
    }
    // A helper answering on a socket of its own (only root's is taken) with no service installed.
    const State ownSocket{HelperInstallStatus::notInstalled, Runtime::reachable, Access::unknown, HelperRoute::serviceSocket};
    EXPECT_EQ(helperStatusText(ownSocket), "Helper answering on its socket (root)");
    EXPECT_EQ(diskAccessStatusText(ownSocket), "Ready");
    const State asUser{HelperInstallStatus::notInstalled, Runtime::reachable, Access::unknown, HelperRoute::spawnedAsUser};
    EXPECT_EQ(helperStatusText(asUser), "Helper running beside Vantrel (without root)");
    EXPECT_FALSE(diskAccessReady(asUser));
    // Before it answered, a spawnable helper is no working one.
    const State notYet{HelperInstallStatus::notInstalled, Runtime::unknown, Access::unknown, HelperRoute::none};
    EXPECT_FALSE(helperIsReady(notYet));
    EXPECT_EQ(helperStatusText(notYet), "Not installed");
}

TEST(HelperAccessLogic, AHelperThatIsNotRegisteredOffersInstallAndTheCommands) {
    for (const auto status : {HelperInstallStatus::unknown, HelperInstallStatus::notInstalled}) {
        const auto s = state(status, Runtime::reachable, Access::granted);
        EXPECT_FALSE(helperIsReady(s));
        EXPECT_EQ(helperButtons(s), (Buttons{HelperButton::install, HelperButton::showCommands}));
        EXPECT_EQ(diskAccessStatusText(s), QStringLiteral("Waiting for helper"));
        EXPECT_FALSE(removeEnabled(s));
        EXPECT_FALSE(offersRecheck(s));
    }
    EXPECT_EQ(helperStatusText(state(HelperInstallStatus::unknown)), QStringLiteral("Unknown"));
    EXPECT_EQ(helperGuidance(state(HelperInstallStatus::unknown)), retryGuidance);
    const auto notInstalled = state(HelperInstallStatus::notInstalled);
    EXPECT_EQ(helperStatusText(notInstalled), QStringLiteral("Not installed"));
    // Not installed reads like needing approval: the same summary and guidance.
    EXPECT_EQ(summaryText(notInstalled), summaryText(state(HelperInstallStatus::requiresApproval)));
    EXPECT_EQ(helperGuidance(notInstalled), approvalGuidance);
    EXPECT_NE(approvalGuidance, retryGuidance);
    EXPECT_TRUE(approvalGuidance.contains(QStringLiteral("io.tessik.vantrel.helper.socket")));
}

TEST(HelperAccessLogic, ARegistrationAwaitingApprovalOffersOnlyTheCommandsAndCanBeRemoved) {
    const auto s = state(HelperInstallStatus::requiresApproval);
    EXPECT_EQ(helperStatusText(s), QStringLiteral("Needs approval"));
    EXPECT_EQ(helperButtons(s), Buttons{HelperButton::showCommands});
    EXPECT_TRUE(removeEnabled(s));
    EXPECT_FALSE(summaryIsWarning(s));
}

TEST(HelperAccessLogic, AnInstalledHelperIsStartingAnsweringOrNotResponding) {
    const auto starting = state(HelperInstallStatus::installed, Runtime::unknown);
    EXPECT_EQ(helperStatusText(starting), QStringLiteral("Starting…"));
    EXPECT_FALSE(helperIsReady(starting));
    EXPECT_FALSE(helperNotRunning(starting));
    EXPECT_EQ(helperButtons(starting), (Buttons{HelperButton::install, HelperButton::showCommands}));
    EXPECT_EQ(diskAccessStatusText(starting), QStringLiteral("Waiting for helper"));
    EXPECT_EQ(helperGuidance(starting), retryGuidance);

    const auto silent = state(HelperInstallStatus::installed, Runtime::unreachable, Access::granted);
    EXPECT_EQ(helperStatusText(silent), QStringLiteral("Not responding"));
    EXPECT_TRUE(helperNotRunning(silent));
    EXPECT_EQ(helperButtons(silent), (Buttons{HelperButton::repair, HelperButton::showCommands}));
    EXPECT_TRUE(summaryIsWarning(silent));
    EXPECT_TRUE(summaryText(silent).startsWith(QStringLiteral("The helper is installed but not running.")));
    EXPECT_TRUE(opensDetailsOnAppear(silent));
    EXPECT_FALSE(diskAccessReady(silent));
}

TEST(HelperAccessLogic, AReadyHelperShowsTheAccessCheck) {
    const auto checking = state(HelperInstallStatus::installed, Runtime::reachable, Access::unknown);
    EXPECT_EQ(helperStatusText(checking), QStringLiteral("Installed"));
    EXPECT_TRUE(helperIsReady(checking));
    EXPECT_EQ(diskAccessStatusText(checking), QStringLiteral("Checking…"));
    EXPECT_TRUE(offersRecheck(checking));
    EXPECT_FALSE(opensDetailsOnAppear(checking));

    const auto denied = state(HelperInstallStatus::installed, Runtime::reachable, Access::denied);
    EXPECT_EQ(diskAccessStatusText(denied), QStringLiteral("Not allowed yet"));
    EXPECT_TRUE(summaryIsWarning(denied));
    EXPECT_TRUE(summaryText(denied).startsWith(QStringLiteral("Linux blocked raw disk access.")));
    EXPECT_TRUE(opensDetailsOnAppear(denied));

    const auto granted = state(HelperInstallStatus::installed, Runtime::reachable, Access::granted);
    EXPECT_TRUE(diskAccessReady(granted));
    EXPECT_EQ(diskAccessStatusText(granted), QStringLiteral("Ready"));
    EXPECT_EQ(summaryText(granted), QStringLiteral("Vantrel needs one-time access to attached disks so it can read deleted files."));
    EXPECT_FALSE(summaryIsWarning(granted));
    EXPECT_TRUE(removeEnabled(granted));
}

TEST(HelperAccessLogic, TheSummaryRulesApplyInTheirOrder) {
    // Not running wins over a denied check; approval wins over a denied check.
    EXPECT_EQ(summaryText(state(HelperInstallStatus::installed, Runtime::unreachable, Access::denied)),
              summaryText(state(HelperInstallStatus::installed, Runtime::unreachable)));
    EXPECT_EQ(summaryText(state(HelperInstallStatus::requiresApproval, Runtime::unknown, Access::denied)),
              summaryText(state(HelperInstallStatus::requiresApproval)));
    // A denied check colours the summary although an earlier rule gives its text.
    EXPECT_TRUE(summaryIsWarning(state(HelperInstallStatus::requiresApproval, Runtime::unknown, Access::denied)));
}

TEST(HelperAccessLogic, MarkersAndTheToolbarButton) {
    EXPECT_EQ(markerSymbol(true), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(markerSymbol(false), QStringLiteral("exclamationmark.triangle.fill"));
    EXPECT_EQ(toolbarSymbol(AppModel::DiskAccessAttention::none), QStringLiteral("checkmark.circle"));
    EXPECT_FALSE(toolbarIsWarning(AppModel::DiskAccessAttention::none));
    for (const auto attention : {AppModel::DiskAccessAttention::helper, AppModel::DiskAccessAttention::diskAccess}) {
        EXPECT_EQ(toolbarSymbol(attention), QStringLiteral("exclamationmark.triangle.fill"));
        EXPECT_TRUE(toolbarIsWarning(attention));
    }
    EXPECT_EQ(loggingChangeLine(true), QStringLiteral("Logging enabled by user"));
    EXPECT_EQ(loggingChangeLine(false), QStringLiteral("Logging disabled by user"));
}

ExternalVolume volumeWith(const char* fileSystem) {
    ExternalVolume volume;
    volume.name = "CARD";
    volume.bsdName = "sdb";
    volume.fileSystemName = fileSystem;
    return volume;
}

TEST(ScanModeLogic, TheQuickScanIsOfferedAndPreselectedOnlyForFatVolumes) {
    const auto fat = volumeWith("exFAT");
    const auto other = volumeWith("ext4");
    EXPECT_EQ(ScanModeLogic::availableModes(fat), (std::vector{ScanMode::standard, ScanMode::quickUndelete}));
    EXPECT_EQ(ScanModeLogic::availableModes(other), std::vector{ScanMode::standard});
    EXPECT_EQ(ScanModeLogic::availableModes(std::nullopt), std::vector{ScanMode::standard});

    EXPECT_EQ(ScanModeLogic::initialMode(ScanMode::quickUndelete, fat), ScanMode::quickUndelete);
    EXPECT_EQ(ScanModeLogic::initialMode(ScanMode::standard, fat), ScanMode::standard);
    EXPECT_EQ(ScanModeLogic::initialMode(ScanMode::quickUndelete, other), ScanMode::standard);
    EXPECT_EQ(ScanModeLogic::initialMode(ScanMode::quickUndelete, std::nullopt), ScanMode::standard);
}

TEST(ScanModeLogic, EachModeHasItsTitleAndDescription) {
    EXPECT_EQ(ScanModeLogic::title(ScanMode::standard), QStringLiteral("Standard"));
    EXPECT_EQ(ScanModeLogic::title(ScanMode::quickUndelete), QStringLiteral("Quick (deleted files only)"));
    EXPECT_TRUE(ScanModeLogic::description(ScanMode::quickUndelete).startsWith(QStringLiteral("Faster:")));
    EXPECT_TRUE(ScanModeLogic::description(ScanMode::standard).startsWith(QStringLiteral("Looks for deleted files")));
}

} // namespace
} // namespace vantrel
