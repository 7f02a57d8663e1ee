// The helper client's calls against a scripted helper in virtual time: who wins between reply,
// connection error and time limit, the reachability retries, the quit request, the access check's
// reply rules, the scan completion, and records turned into hits.

#include "Vantrel/helper/CallError.h"
#include "Vantrel/helper/HelperXPCClient.h"

#include "TaskTesting.h"

#include <gtest/gtest.h>

#include <deque>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// A helper that answers only when the test says so, and counts what was asked of it.
class ScriptedHelper final : public HelperClient {
public:
    std::deque<StringReply> pings;
    std::deque<Failure> pingFailures;
    std::deque<std::pair<AccessReply, Failure>> accessChecks;
    std::deque<std::pair<ErrorReply, Failure>> scans;
    std::deque<EmptyReply> quits;
    std::vector<std::string> scanArguments;
    int invalidations = 0;
    // When set, every ping fails at once with this error (a helper that is not there).
    std::optional<ErrorObject> refuse;

    void ping(StringReply reply, Failure failed) override {
        if (refuse) return failed(*refuse);
        pings.push_back(std::move(reply));
        pingFailures.push_back(std::move(failed));
    }
    void probeDeviceWithPath(const std::string&, LengthReply reply, Failure) override { reply(4096, std::nullopt); }
    void checkRawDiskAccessWithPath(const std::string&, AccessReply reply, Failure failed) override {
        accessChecks.emplace_back(std::move(reply), std::move(failed));
    }
    void startScanWithPath(const std::string& path, std::int64_t minimumByteSize, std::int64_t width, std::int64_t height,
                           const std::vector<std::string>& kinds, const std::string& mode, ErrorReply reply,
                           Failure failed) override {
        scanArguments = {path, std::to_string(minimumByteSize), std::to_string(width), std::to_string(height),
                         std::to_string(kinds.size()), mode};
        scans.emplace_back(std::move(reply), std::move(failed));
    }
    void cancelScan() override {}
    void extractHitWithPath(const std::string&, std::int64_t, std::int64_t, const std::string&, UniqueFd, const std::string&,
                            std::int64_t, std::int64_t, const std::string&, std::int64_t, std::int64_t, ErrorReply,
                            Failure) override {}
    void copyDeviceWithSourcePath(const std::string&, const std::string&, UniqueFd, ErrorReply, Failure) override {}
    void remountDisksWithBsdNames(const std::vector<std::string>&, ErrorReply reply, Failure) override { reply(std::nullopt); }
    void quitForRelaunch(EmptyReply reply, Failure) override { quits.push_back(std::move(reply)); }
    void identifyDeviceWithPath(const std::string&, IdentityReply, Failure failed) override { failed(ErrorObject::posix(ENOSYS)); }
    void setCallbackReceiver(std::shared_ptr<VantrelHelperClient> installed) override { receiver = std::move(installed); }
    void invalidate() override { ++invalidations; }

    std::shared_ptr<VantrelHelperClient> receiver;
};

struct ClientHarness : test::TaskHarness {
    std::shared_ptr<ScriptedHelper> helper = std::make_shared<ScriptedHelper>();
    HelperXPCClient client{helper};
};

const ErrorObject& callErrorOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CallError& thrown) {
        static ErrorObject copy;
        copy = thrown.error();
        return copy;
    }
}

TEST(HelperXPCClient, APingReplyBeatsTheTimerAndALateReplyChangesNothing) {
    ClientHarness h;
    auto first = test::spawnRecorded(*h.scope, h.client.ping(2.0));
    h.executor->runReady();
    ASSERT_EQ(h.helper->pings.size(), 1u);
    h.helper->pings.front()("pong");
    h.executor->runUntilIdle();
    EXPECT_TRUE(first->value);
    EXPECT_EQ(h.executor->pendingTimerCount(), 0u) << "the reply cancels the timer";

    auto second = test::spawnRecorded(*h.scope, h.client.ping(2.0));
    h.executor->runReady();
    h.executor->advanceBy(2s);
    ASSERT_TRUE(second->error);
    const auto error = callErrorOf(second->error);
    EXPECT_EQ(error.domain, "Vantrel");
    EXPECT_EQ(error.code, 11);
    EXPECT_EQ(error.message, "Helper did not respond. Remove and reinstall it, approve system services, then try again.");
    // The late reply and a late connection error find nobody waiting.
    h.helper->pings.back()("pong");
    h.helper->pingFailures.back()(ErrorObject{"VantrelIPC", 1, "gone", std::nullopt});
    h.executor->runUntilIdle();
    EXPECT_FALSE(second->value);
}

TEST(HelperXPCClient, AConnectionErrorIsThrownAsReceived) {
    ClientHarness h;
    h.helper->refuse = ErrorObject{"VantrelIPC", 2, "connect failed", std::string("/run/vantrel/helper.sock")};
    auto outcome = test::spawnRecorded(*h.scope, h.client.ping(2.0));
    h.executor->runUntilIdle();
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(callErrorOf(outcome->error), *h.helper->refuse);
    EXPECT_EQ(h.executor->elapsed(), 0ns);
}

TEST(HelperXPCClient, EnsureReachableMakesAtLeastOneAttemptEachOnAFreshConnection) {
    for (int attempts : {0, -3, 1}) {
        ClientHarness h;
        h.helper->refuse = ErrorObject{"VantrelIPC", 2, "connect failed", std::nullopt};
        auto outcome = test::spawnRecorded(*h.scope, h.client.ensureReachable(attempts, 2.0, 400'000'000));
        h.executor->runUntilIdle();
        ASSERT_TRUE(outcome->error) << attempts;
        EXPECT_EQ(h.helper->invalidations, 1) << attempts;
        EXPECT_EQ(h.executor->elapsed(), 0ns) << "no sleep after the last attempt";
    }
}

TEST(HelperXPCClient, EnsureReachableAgainstASilentHelperSleepsBetweenAttemptsAndThrowsTheTimeOut) {
    ClientHarness h;
    auto outcome = test::spawnRecorded(*h.scope, h.client.ensureReachable(2, 2.0, 400'000'000));
    h.executor->runUntilIdle();
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(callErrorOf(outcome->error).code, 11);
    EXPECT_EQ(h.helper->pings.size(), 2u);
    EXPECT_EQ(h.helper->invalidations, 2);
    EXPECT_EQ(h.executor->elapsed(), 4400ms);
}

TEST(HelperXPCClient, EnsureReachableReturnsAtTheFirstAnswer) {
    ClientHarness h;
    auto outcome = test::spawnRecorded(*h.scope, h.client.ensureReachable(4, 4.0, 400'000'000));
    h.executor->advanceBy(4s);   // the first attempt times out
    h.executor->advanceBy(400ms);
    ASSERT_EQ(h.helper->pings.size(), 2u);
    h.helper->pings.back()("pong");
    h.executor->runUntilIdle();
    EXPECT_TRUE(outcome->value);
    EXPECT_EQ(h.helper->pings.size(), 2u);
}

TEST(HelperXPCClient, TheAccessCheckLetsGrantedWinOverAnErrorAndThrowsOnlyARefusalWithAnError) {
    const ErrorObject refused{"Vantrel", 12, "blocked", std::string("/dev/sdb")};
    struct Case {
        bool granted;
        std::optional<ErrorObject> error;
        std::optional<bool> expected;  // none: throws the error
    };
    for (const auto& c : {Case{true, refused, true}, Case{false, std::nullopt, false}, Case{false, refused, std::nullopt}}) {
        ClientHarness h;
        auto outcome = test::spawnRecorded(*h.scope, h.client.checkRawDiskAccess("/dev/sdb", 4.0));
        h.executor->runReady();
        ASSERT_EQ(h.helper->accessChecks.size(), 1u);
        h.helper->accessChecks.front().first(c.granted, c.error);
        h.executor->runUntilIdle();
        if (c.expected) {
            ASSERT_TRUE(outcome->value);
            EXPECT_EQ(*outcome->value, *c.expected);
        } else {
            ASSERT_TRUE(outcome->error);
            EXPECT_EQ(callErrorOf(outcome->error), refused);
        }
    }
    ClientHarness silent;
    auto outcome = test::spawnRecorded(*silent.scope, silent.client.checkRawDiskAccess("/dev/sdb", 4.0));
    silent.executor->runUntilIdle();
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(callErrorOf(outcome->error).message,
              "Helper did not respond to the disk-access check. Remove and reinstall the helper, then try Recheck.");
}

TEST(HelperXPCClient, AQuitRequestNeverFailsAndAlwaysDropsTheConnectionThenSettles) {
    ClientHarness silent;
    auto outcome = test::spawnRecorded(*silent.scope, silent.client.quitForRelaunch(2.0));
    silent.executor->runUntilIdle();
    EXPECT_TRUE(outcome->value);
    EXPECT_EQ(silent.executor->elapsed(), 2300ms);
    EXPECT_GE(silent.helper->invalidations, 1);

    ClientHarness quick;
    auto answered = test::spawnRecorded(*quick.scope, quick.client.quitForRelaunch(2.0));
    quick.executor->runReady();
    ASSERT_EQ(quick.helper->quits.size(), 1u);
    quick.helper->quits.front()();
    quick.executor->runUntilIdle();
    EXPECT_TRUE(answered->value);
    EXPECT_EQ(quick.executor->elapsed(), 300ms);
    EXPECT_EQ(quick.helper->invalidations, 1);
}

TEST(HelperXPCClient, AScanCompletesOnceWithTheFirstOfConnectionErrorAndReply) {
    ClientHarness h;
    RecoveryFilters filters;
    filters.allowedKinds = {RecoveredFileKind::jpeg, RecoveredFileKind::png};
    filters.minimumByteSize = ~std::uint64_t{0};
    filters.minimumImageWidth = 640;
    int calls = 0;
    std::optional<ErrorObject> seen;
    h.client.startScan("/dev/sdb", filters, ScanMode::quickUndelete, [&](std::optional<ErrorObject> error) {
        ++calls;
        seen = std::move(error);
    });
    EXPECT_EQ(h.helper->scanArguments,
              (std::vector<std::string>{"/dev/sdb", "9223372036854775807", "640", "0", "2", "quickUndelete"}));
    h.helper->scans.front().second(ErrorObject{"VantrelIPC", 3, "interrupted", std::nullopt});
    h.helper->scans.front().first(std::nullopt);
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->message, "interrupted");
}

TEST(HelperXPCClient, CallbacksReachTheInstalledHandlers) {
    ClientHarness h;
    std::vector<std::string> seen;
    h.client.setOnLog([&](std::string line) { seen.push_back("log:" + line); });
    h.client.setOnProgress([&](ScanProgress progress) { seen.push_back("progress:" + std::to_string(progress.bytesScanned)); });
    h.client.setOnHit([&](RecoveredHit hit) { seen.push_back("hit:" + hit.suggestedName); });
    ASSERT_TRUE(h.helper->receiver);
    h.helper->receiver->helperDidLog("Opening device");
    h.helper->receiver->helperDidUpdateProgressWithBytesScanned(-1, 10, 0, 0);
    h.helper->receiver->helperDidFindHit(HelperHitDTO("jpeg", 0, 1, "a.jpg", std::nullopt, 0, 0, "signatureCarve", false,
                                                      false, 0, 0, ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"log:Opening device", "progress:18446744073709551615", "hit:a.jpg"}));
}

TEST(HelperXPCClient, HitsThatComeTogetherReachTheHandlerOfManyInOneCallInTheirOrder) {
    ClientHarness h;
    ASSERT_TRUE(h.helper->receiver);
    std::vector<HelperHitDTO> records;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
        records.emplace_back("jpeg", 0, 1, name, std::nullopt, 0, 0, "signatureCarve", false, false, 0, 0, "");
    // Without a handler of many, the handler of one takes them one at a time.
    std::vector<std::string> one;
    h.client.setOnHit([&](RecoveredHit hit) { one.push_back(hit.suggestedName); });
    h.helper->receiver->helperDidFindHits(records);
    EXPECT_EQ(one, (std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}));

    std::vector<std::vector<std::string>> calls;
    h.client.setOnHits([&](std::vector<RecoveredHit> hits) {
        std::vector<std::string> names;
        for (const auto& hit : hits) names.push_back(hit.suggestedName);
        calls.push_back(std::move(names));
    });
    h.helper->receiver->helperDidFindHits(records);
    h.helper->receiver->helperDidFindHit(records[1]);
    using Calls = std::vector<std::vector<std::string>>;
    EXPECT_EQ(calls, (Calls{{"a.jpg", "b.jpg", "c.jpg"}, {"b.jpg"}}));
    EXPECT_EQ(one.size(), 3u) << "the handler of one gets nothing once a handler of many is set";
}

TEST(HitFromTransferRecord, KeepsWhatTheRecordCarriesAndFallsBackOnUnknownNames) {
    const HelperHitDTO record("nope", 512, 2048, "IMG_0001.JPG", std::string("/DCIM/100CANON"), 640, 0, "elsewhere", true,
                              false, 1, 0, "fat32");
    const auto hit = hitFromTransferRecord(record);
    EXPECT_EQ(hit.kind, RecoveredFileKind::unknown);
    EXPECT_EQ(hit.source, HitSource::signatureCarve);
    EXPECT_EQ(hit.byteOffset, 512u);
    EXPECT_EQ(hit.byteLength, 2048u);
    EXPECT_EQ(hit.reconstructedPath, "/DCIM/100CANON");
    EXPECT_FALSE(hit.dimensions) << "a side of 0 means no dimensions";
    EXPECT_FALSE(hit.clusterHint) << "cluster 1 is no data cluster";
    EXPECT_TRUE(hit.isFragmented);
    EXPECT_EQ(hit.integrity, HitIntegrity::pending);
    EXPECT_FALSE(hit.captureDate);

    const HelperHitDTO undeleted("jpeg", 0, 10, "a.jpg", std::nullopt, 640, 480, "exfatUndelete", false, true, 2, 1048576,
                                 "unknown");
    const auto first = hitFromTransferRecord(undeleted);
    const auto second = hitFromTransferRecord(undeleted);
    EXPECT_NE(first.id, second.id) << "each record gets a fresh identity";
    EXPECT_EQ(first.integrity, HitIntegrity::suspect) << "its clusters were reused";
    ASSERT_TRUE(first.clusterHint);
    EXPECT_EQ(first.clusterHint->fileSystem, DetectedFileSystem::unknown);
    EXPECT_EQ(first.clusterHint->partitionOffset, 1048576u);
    EXPECT_EQ(first.dimensions, (ImageDimensions{640, 480}));

    const HelperHitDTO noFileSystem("jpeg", 0, 10, "a.jpg", std::nullopt, 0, 0, "fatUndelete", false, false, 5, 0, "");
    EXPECT_FALSE(hitFromTransferRecord(noFileSystem).clusterHint);
}

TEST(SecondsText, WritesWholeSecondsWithOneDecimal) {
    EXPECT_EQ(secondsText(2.0), "2.0");
    EXPECT_EQ(secondsText(0.4), "0.4");
    EXPECT_EQ(secondsText(180), "180.0");
}

} // namespace
} // namespace vantrel
