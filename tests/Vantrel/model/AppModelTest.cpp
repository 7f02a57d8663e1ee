// The model's state, its change signals, the unsaved-catalog question and the model's lifetime with
// flows still waiting.

#include "AppModelHarness.h"

#include "Vantrel/async/Awaitables.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vantrel {
namespace {

using test::AppModelHarness;
using test::makeHit;
using test::spawnRecorded;
using Field = AppModel::Field;

struct FieldLog {
    std::vector<Field> fields;
    explicit FieldLog(AppModel& model) {
        QObject::connect(&model, &AppModel::fieldChanged, [this](Field field) { fields.push_back(field); });
    }
};

ExternalVolume volume(std::string name) {
    ExternalVolume result;
    result.name = name;
    result.bsdName = "sd" + name;
    return result;
}

// A flow that waits for the helper's ping answer.
Task<std::string> pingHelper(AppModel* model) {
    auto start = [model](CallbackResumer<std::string> resume) {
        model->effects().helper->ping([resume](std::string answer) { resume(std::move(answer)); },
                                     [resume](ErrorObject error) { resume.fail(std::runtime_error(error.message)); });
    };
    auto answer = co_await fromCallback<std::string>(start);
    model->setStatusMessage(QString::fromStdString(answer));
    co_return answer;
}

TEST(AppModel, StartsWithTheInitialValueOfEveryField) {
    AppModelHarness harness;
    const AppModel& model = *harness.model;
    EXPECT_FALSE(model.selectedVolume());
    EXPECT_EQ(model.filters(), RecoveryFilters::defaults());
    EXPECT_TRUE(model.hits().empty());
    EXPECT_EQ(model.displayedCount(), 0u);
    EXPECT_TRUE(model.selectedHitIDs().empty());
    EXPECT_TRUE(model.isDefaultResultsQuery());
    EXPECT_EQ(model.progress(), ScanProgress{});
    EXPECT_FALSE(model.isScanning() || model.isRecovering() || model.qualityPassStarted() || model.isQualityPassRunning());
    EXPECT_FALSE(model.scanThroughputMBps());
    EXPECT_TRUE(model.statusMessage().isEmpty());
    EXPECT_FALSE(model.lastFinishedScanMode());
    EXPECT_EQ(model.helperStatus(), HelperInstallStatus::unknown);
    EXPECT_EQ(model.helperRuntimeState(), AppModel::HelperRuntimeState::unknown);
    EXPECT_FALSE(model.showHelperSheet() || model.showHelpSheet() || model.showScanModeSheet() || model.showScanSettingsSheet());
    EXPECT_EQ(model.fullDiskAccessState(), AppModel::RawDiskAccessState::unknown);
    EXPECT_FALSE(model.errorMessage());
    EXPECT_FALSE(model.catalogDirty() || model.showUnsavedCatalogPrompt());
    const auto& plain = model.plainState();
    EXPECT_FALSE(plain.reopenDiskAccessAfterSettings || plain.integrityPumpRunning || plain.waitingToTerminate || plain.fdaProbeInFlight);
    EXPECT_FALSE(plain.activeRawDevicePath || plain.catalogURL || plain.scanRateLastDate || plain.scanRateEMA);
    EXPECT_TRUE(plain.disksPendingRemount.empty() && plain.pendingIntegrityIDs.empty());
    EXPECT_EQ(plain.scanRateLastBytes, 0u);
    EXPECT_EQ(plain.quickLookGeneration, 0);
    EXPECT_FALSE(model.cancelFlag()->isSet());
    EXPECT_FALSE(model.volumeMonitor());
    // Construction talks to nobody.
    EXPECT_TRUE(harness.helper->calledSelectors().empty());
    EXPECT_EQ(harness.registrar->statusReads, 0);
}

TEST(AppModel, EachChangeOfAPublishedFieldIsSignalledOnce) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    FieldLog log(model);
    model.setIsScanning(true);
    model.setIsScanning(true);
    model.setStatusMessage("Scanning…");
    model.setErrorMessage(QString("Broken"));
    model.setErrorMessage(std::nullopt);
    model.setResultsSort(ResultsSort::name);
    model.setResultsSort(ResultsSort::name);
    EXPECT_EQ(log.fields, (std::vector<Field>{Field::isScanning, Field::statusMessage, Field::errorMessage, Field::errorMessage,
                                              Field::displayedHits, Field::resultsSort}));
}

TEST(AppModel, CancelFlagsAreSetOnceAndReplacedPerScan) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    const auto first = model.cancelFlag();
    first->set();
    first->set();
    EXPECT_TRUE(first->isSet());
    model.replaceCancelFlag();
    EXPECT_FALSE(model.cancelFlag()->isSet());
    EXPECT_TRUE(first->isSet());
    std::thread other([flag = model.cancelFlag()] { flag->set(); });
    other.join();
    EXPECT_TRUE(model.cancelFlag()->isSet());
}

TEST(AppModel, NoQuestionIsAskedWithoutUnsavedHits) {
    AppModelHarness harness;
    auto outcome = spawnRecorded(harness.model->tasks(), harness.model->confirmDiscardHitsIfNeeded());
    harness.executor->runUntilIdle();
    EXPECT_EQ(outcome->value, true);
    EXPECT_FALSE(harness.model->showUnsavedCatalogPrompt());
}

TEST(AppModel, TheUnsavedCatalogQuestionWaitsForItsAnswer) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(makeHit("a", 1));
    model.setCatalogDirty(true);
    for (const auto& [decision, proceeds] : std::vector<std::pair<AppModel::CatalogDecision, bool>>{
             {AppModel::CatalogDecision::discard, true}, {AppModel::CatalogDecision::save, true}, {AppModel::CatalogDecision::cancel, false}}) {
        auto outcome = spawnRecorded(model.tasks(), model.confirmDiscardHitsIfNeeded());
        harness.executor->runUntilIdle();
        EXPECT_TRUE(model.showUnsavedCatalogPrompt());
        EXPECT_FALSE(outcome->finished());
        EXPECT_TRUE(model.resolveCatalogDecision(decision));
        harness.executor->runUntilIdle();
        EXPECT_EQ(outcome->value, proceeds);
        EXPECT_FALSE(model.showUnsavedCatalogPrompt());
    }
    EXPECT_FALSE(model.resolveCatalogDecision(AppModel::CatalogDecision::save));
}

TEST(AppModel, ANewQuestionCancelsTheOldOneAndKeepsThePromptOpen) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.appendHit(makeHit("a", 1));
    model.setCatalogDirty(true);
    auto first = spawnRecorded(model.tasks(), model.confirmDiscardHitsIfNeeded());
    harness.executor->runUntilIdle();
    auto second = spawnRecorded(model.tasks(), model.confirmDiscardHitsIfNeeded());
    harness.executor->runUntilIdle();
    EXPECT_EQ(first->value, false);
    EXPECT_FALSE(second->finished());
    EXPECT_TRUE(model.showUnsavedCatalogPrompt());
    model.resolveCatalogDecision(AppModel::CatalogDecision::discard);
    harness.executor->runUntilIdle();
    EXPECT_EQ(second->value, true);
}

TEST(AppModel, SelectingAnotherVolumeAsksFirstAndResetsTheResults) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    model.setSelectedVolume(volume("a"));
    model.appendHit(makeHit("hit", 1));
    model.setCatalogDirty(true);
    model.setStatusMessage("Recovered 18 file(s).");

    auto kept = spawnRecorded(model.tasks(), model.selectVolume(volume("b")));
    harness.executor->runUntilIdle();
    model.resolveCatalogDecision(AppModel::CatalogDecision::cancel);
    harness.executor->runUntilIdle();
    EXPECT_TRUE(kept->finished());
    EXPECT_EQ(model.selectedVolume()->name, "a");
    EXPECT_EQ(model.hits().size(), 1u);
    EXPECT_EQ(model.statusMessage(), "Recovered 18 file(s).") << "still about the selected disk";

    // The selected volume again: nothing to ask, nothing lost.
    auto same = spawnRecorded(model.tasks(), model.selectVolume(volume("a")));
    harness.executor->runUntilIdle();
    EXPECT_TRUE(same->finished());
    EXPECT_EQ(model.hits().size(), 1u);
    EXPECT_FALSE(model.showUnsavedCatalogPrompt());

    auto switched = spawnRecorded(model.tasks(), model.selectVolume(volume("b")));
    harness.executor->runUntilIdle();
    model.resolveCatalogDecision(AppModel::CatalogDecision::discard);
    harness.executor->runUntilIdle();
    EXPECT_EQ(model.selectedVolume()->name, "b");
    EXPECT_TRUE(model.hits().empty());
    EXPECT_TRUE(model.hasSelectedVolume());
    EXPECT_EQ(model.statusMessage(), "") << "the last line was about the other disk's results";
}

TEST(AppModel, FlowsStillWaitingWhenTheModelGoesResumeNothing) {
    AppModelHarness harness;
    AppModel* model = harness.model.get();
    model->appendHit(makeHit("a", 1));
    model->setCatalogDirty(true);
    auto question = spawnRecorded(model->tasks(), model->confirmDiscardHitsIfNeeded());
    auto ping = spawnRecorded(model->tasks(), pingHelper(model));
    harness.executor->runUntilIdle();
    auto call = harness.helper->takeCall(HelperProtocolSelector::ping);
    ASSERT_TRUE(call);
    EXPECT_EQ(model->tasks().activeCount(), 2u);

    harness.model.reset();
    // The helper answers late, from its own thread; nothing may touch the model that is gone.
    std::thread reader([&] { call->stringReply("pong"); });
    reader.join();
    harness.executor->runUntilIdle();
    EXPECT_FALSE(question->finished());
    EXPECT_FALSE(ping->finished());
}

TEST(AppModel, AHelperAnswerReachesTheFlowOnTheMainThread) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    auto ping = spawnRecorded(model.tasks(), pingHelper(&model));
    harness.executor->runUntilIdle();
    auto call = harness.helper->takeCall(HelperProtocolSelector::ping);
    ASSERT_TRUE(call);
    std::thread reader([&] { call->stringReply("pong"); });
    reader.join();
    EXPECT_TRUE(model.statusMessage().isEmpty());  // not yet: the answer waits for the main thread
    harness.executor->runUntilIdle();
    EXPECT_EQ(ping->value, "pong");
    EXPECT_EQ(model.statusMessage(), "pong");
}

TEST(AppModel, TheDiskAccessButtonPointsAtWhatNeedsAttention) {
    AppModelHarness harness;
    AppModel& model = *harness.model;
    EXPECT_EQ(model.diskAccessAttention(), AppModel::DiskAccessAttention::helper);
    model.setHelperStatus(HelperInstallStatus::installed);
    EXPECT_EQ(model.diskAccessAttention(), AppModel::DiskAccessAttention::none);
    model.setFullDiskAccessState(AppModel::RawDiskAccessState::denied);
    EXPECT_EQ(model.diskAccessAttention(), AppModel::DiskAccessAttention::diskAccess);
    model.setHelperRuntimeState(AppModel::HelperRuntimeState::unreachable);
    EXPECT_EQ(model.diskAccessAttention(), AppModel::DiskAccessAttention::helper);
    EXPECT_EQ(AppModel::diskAccessTitle(AppModel::DiskAccessAttention::helper), "Disk Access Required");
    EXPECT_EQ(AppModel::diskAccessTitle(AppModel::DiskAccessAttention::none), "Disk Access");
}

} // namespace
} // namespace vantrel
