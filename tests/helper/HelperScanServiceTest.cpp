#include "VantrelHelper/DeviceAccess.h"
#include "VantrelHelper/HelperHitConversion.h"
#include "VantrelHelper/HelperScanService.h"
#include "support/VantrelError.h"
#include "tests/fixtures/TestSupport.h"

#include "HelperHarness.h"

#include <gtest/gtest.h>

#include <future>

namespace vantrel {
namespace {

TEST(HelperScanService, BuildsTheScanFiltersFromTheRequest) {
    const auto unknownOnly = HelperScanService::filtersFor(-5, 0, -1, {"JPEG", "nope"});
    EXPECT_EQ(unknownOnly.allowedKinds, RecoveryFilters::defaults().allowedKinds);
    EXPECT_EQ(unknownOnly.minimumByteSize, 0u);
    EXPECT_FALSE(unknownOnly.minimumImageWidth);
    EXPECT_FALSE(unknownOnly.minimumImageHeight);

    const auto jpegOnly = HelperScanService::filtersFor(4096, 800, 600, {"jpeg", "nope"});
    EXPECT_EQ(jpegOnly.allowedKinds, RecoveredFileKindSet{RecoveredFileKind::jpeg});
    EXPECT_EQ(jpegOnly.minimumByteSize, 4096u);
    EXPECT_EQ(jpegOnly.minimumImageWidth, 800);
    EXPECT_EQ(jpegOnly.minimumImageHeight, 600);

    EXPECT_EQ(HelperScanService::modeFor("quickUndelete"), ScanMode::quickUndelete);
    EXPECT_EQ(HelperScanService::modeFor("QuickUndelete"), ScanMode::standard);
    EXPECT_EQ(HelperScanService::modeFor(""), ScanMode::standard);
}

TEST(HelperScanService, LogsProgressEveryFivePercentAndEveryHundred) {
    int lastLogged = -1;
    std::vector<int> logged;
    for (const std::uint64_t percent : {0, 3, 4, 9, 13, 14, 100, 100}) {
        if (const auto value = HelperScanService::percentageToLog({percent * 10, 1000, 0, 0}, lastLogged)) logged.push_back(*value);
    }
    EXPECT_EQ(logged, (std::vector<int>{4, 9, 14, 100, 100}));
    int fresh = -1;
    EXPECT_FALSE(HelperScanService::percentageToLog({0, 0, 0, 0}, fresh)) << "an empty device is at 0 percent";
    EXPECT_EQ(HelperScanService::percentageToLog({2000, 1000, 0, 0}, fresh), 100) << "capped at 100";
}

TEST(HelperScanService, FlattensAHitIntoItsTransferRecord) {
    RecoveredHit hit;
    hit.kind = RecoveredFileKind::cr2;
    hit.byteOffset = UINT64_MAX - 1;
    hit.byteLength = 77;
    hit.suggestedName = "IMG_0001.CR2";
    hit.source = HitSource::fatUndelete;
    hit.clusterReallocated = true;
    auto record = HelperHitConversion::record(hit);
    EXPECT_EQ(record, HelperHitDTO("cr2", UINT64_MAX - 1, 77, "IMG_0001.CR2", std::nullopt, 0, 0, "fatUndelete", false, true, 0, 0, ""));

    hit.dimensions = ImageDimensions{640, 480};
    hit.reconstructedPath = "/DCIM";
    hit.clusterHint = ClusterAllocationHint{9, 1048576, DetectedFileSystem::fat32};
    record = HelperHitConversion::record(hit);
    EXPECT_EQ(record.width, 640);
    EXPECT_EQ(record.height, 480);
    EXPECT_EQ(record.reconstructedPath, "/DCIM");
    EXPECT_EQ(record.firstCluster, 9u);
    EXPECT_EQ(record.partitionOffset, 1048576u);
    EXPECT_EQ(record.fileSystem, "fat32");
}

// The remount's answer when this process holds no record of the disks: it mounted nothing, and says so.
TEST(HelperScanService, ARemountThatMountsNothingIsAnErrorThatSaysWhy) {
    struct Case {
        std::vector<std::string> names;
        std::optional<ErrorObject> answer;
        std::vector<std::string> lines;
    };
    const std::string nothing = "Nothing to mount: this helper did not unmount sdz, sdz1 (it may have been started again "
                                "since, or the disk was mounted back already).";
    const Case cases[] = {
        {{}, std::nullopt, {}},
        {{"", "sdz", "sdz1"},
         ErrorObject{std::string(VantrelError::domain), VantrelError::nothingToRemount, nothing, std::nullopt},
         {"Remounting 2 disk(s)…", nothing}},
        {{"../etc", "sdz"},
         ErrorObject{std::string(VantrelError::domain), 16, "Could not remount: ../etc (not a device name)", std::nullopt},
         {"Remounting 2 disk(s)…", "Could not remount: ../etc (not a device name)"}},
    };
    for (const Case& c : cases) {
        test::RecordingClient client;
        HelperScanService service([](auto&&...) {}, {});
        service.setClient(&client);
        std::promise<std::optional<ErrorObject>> answered;
        service.remountDisksWithBsdNames(c.names, [&](std::optional<ErrorObject> error) { answered.set_value(std::move(error)); });
        EXPECT_EQ(answered.get_future().get(), c.answer) << c.names.size();
        EXPECT_EQ(client.lines(), c.lines);
        service.setClient(nullptr);
    }
}

TEST(HelperScanService, AQuitThatIsDeclinedAnswersWhy) {
    for (const bool declined : {false, true}) {
        int asked = 0;
        HelperScanService service([](auto&&...) {}, [&]() -> std::optional<std::string> {
            ++asked;
            if (declined) return "other programs are connected";
            return std::nullopt;
        });
        std::optional<ErrorObject> answer;
        service.quitForRelaunch([&](std::optional<ErrorObject> error) { answer = std::move(error); });
        EXPECT_EQ(asked, 1);
        if (!declined) {
            EXPECT_FALSE(answer);
            continue;
        }
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->code, VantrelError::quitRefused);
        EXPECT_EQ(answer->message, "other programs are connected");
    }
}

// A service whose connection closes just as a queued scan starts.
class ClosingAtStart : public HelperScanService {
public:
    using HelperScanService::HelperScanService;

protected:
    void scanStarting() override { connectionClosed(); }
};

TEST(HelperScanService, AScanThatStartsAsTheConnectionClosesIsCancelled) {
    test::TempDir dir;
    const auto image = dir / "card.img";
    test::writeFile(image, test::randomBytes(4096, 1));
    DeviceAccess::configure({true, {}, ""});
    std::promise<bool> cancelled;
    ClosingAtStart service(
        [&](ByteSource&, ScanMode, const RecoveryFilters&, const std::function<bool()>& shouldCancel,
            const std::function<void(const ScanProgress&)>&, const std::function<void(const RecoveredHit&)>&, VolumeCache&) {
            cancelled.set_value(shouldCancel());
        },
        {});
    service.startScanWithPath(image, 0, 0, 0, {}, "standard", [](std::optional<ErrorObject>) {});
    auto answer = cancelled.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(answer.get()) << "the scan would run on for nobody";
    DeviceAccess::configure({});
}

} // namespace
} // namespace vantrel
