#include "recovery/carving/JPEGWalkAhead.h"

#include "tests/fixtures/CarvedHits.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace vantrel {
namespace {

using JPEGScanWalk::Ending;

const std::filesystem::path shippedPhotos = "/usr/share/doc/imagemagick-6-common/html/images";

void put(Bytes& device, std::uint64_t at, const Bytes& bytes) {
    if (device.size() < at + bytes.size()) device.resize(at + bytes.size());
    std::copy(bytes.begin(), bytes.end(), device.begin() + static_cast<std::ptrdiff_t>(at));
}

JPEGScanWalk::Walk walkOver(const Bytes& bytes) {
    const JPEGScanWalk::ByteFeed feed = [&](std::uint64_t position) {
        return position < bytes.size() ? ByteView(bytes).subspan(static_cast<std::size_t>(position)) : ByteView{};
    };
    return JPEGScanWalk::walk(feed, bytes.size());
}

// A card as a phone leaves it: small photos (far below a byte per 12 pixels) on sector starts, one of them
// across the seam of the two windows, the first half of one, one that is not small, and one off a sector start.
class JPEGWalkAheadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(shippedPhotos) || !test::haveProgram("convert"))
            GTEST_SKIP() << "imagemagick-6-doc and ImageMagick are needed";
        small = encoded({"-resize", "160x120!", "-quality", "70"});
        grey = encoded({"-resize", "200x150!", "-colorspace", "gray", "-quality", "40"});
        large = encoded({"-resize", "320x240!", "+noise", "Gaussian", "-quality", "97"});
        ASSERT_LT(small.size(), 12'288u);
        ASSERT_GE(large.size(), 12'288u) << "the large one is not small for its pixels";
        ASSERT_LT(large.size(), 150'000u);
        put(device, 0, small);
        put(device, 16'384, grey);
        put(device, 32'768, Bytes(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(small.size() / 2)));
        put(device, 49'152, large);
        put(device, 200'100, small);  // off a sector start
        put(device, 262'144, grey);
        device.resize(393'216);
    }

    Bytes encoded(const std::vector<std::string>& options) {
        std::vector<std::string> argv{"convert", (shippedPhotos / "examples.jpg").string()};
        argv.insert(argv.end(), options.begin(), options.end());
        const auto out = dir / "out.jpg";
        argv.push_back(out.string());
        test::runOrFail(argv);
        return test::readFile(out);
    }

    // The windows of the device with the seam at `seam`, sharing the carve's 64 bytes.
    JPEGWalkAhead::Windows windows(std::size_t seam) const {
        const ByteView all(device);
        const std::size_t nextFrom = seam - SignatureCarver::windowOverlapBytes;
        return {all.first(seam), 0, all.subspan(nextFrom), nextFrom};
    }

    test::TempDir dir;
    Bytes small, grey, large, device;
};

TEST_F(JPEGWalkAheadTest, OnlyWholeSmallPicturesAtSectorStartsAreWalkedAheadAsTheyWalkAlone) {
    // The seam cuts the second grey picture: its walk goes on in the next window.
    const auto w = windows(262'144 + 1'000);
    EXPECT_EQ(JPEGWalkAhead::pictureStarts(w, 512), (std::vector<std::uint64_t>{0, 16'384, 32'768, 49'152, 262'144}));
    const struct {
        std::uint64_t offset;
        const Bytes* alone;  // the picture walked on its own, or nothing when no walk comes ahead
    } cases[] = {
        {0, &small}, {16'384, &grey}, {262'144, &grey}, {32'768, nullptr}, {49'152, nullptr},
    };
    for (const auto& c : cases) {
        const auto ahead = JPEGWalkAhead::walk(w, c.offset);
        if (!c.alone) {
            EXPECT_FALSE(ahead) << c.offset;
            continue;
        }
        ASSERT_TRUE(ahead) << c.offset;
        EXPECT_EQ(*ahead, walkOver(*c.alone)) << c.offset;
        EXPECT_EQ(ahead->end, c.alone->size()) << c.offset;
    }
    // A window that ends inside a picture, with no next window, gives no walk of it.
    const JPEGWalkAhead::Windows cut{ByteView(device).first(16'384 + grey.size() / 2), 0, {}, 0};
    EXPECT_FALSE(JPEGWalkAhead::walk(cut, 16'384));
}

TEST(JPEGWalkAhead, AWalkAnswersForEveryLimitAtOrPastItsEndOnlyWhenWhole) {
    const JPEGScanWalk::Walk whole{Ending::whole, 5'000, true, 10, 10};
    const JPEGScanWalk::Walk cut{Ending::cut, 5'000, true, 3, 10};
    const struct {
        JPEGScanWalk::Walk walk;
        std::uint64_t limit;
        bool answers;
    } cases[] = {
        {whole, 5'000, true}, {whole, 1'000'000, true}, {whole, 4'999, false}, {cut, 5'000, false}, {cut, 9'000, false},
    };
    for (const auto& c : cases) EXPECT_EQ(JPEGWalkAhead::answers(c.walk, c.limit), c.answers) << c.limit;
}

// Providers as the carve may meet them: one that walks every picture ahead, one that has none, and one whose
// walks claim ends past every length (which no carve may take).
class ScriptedWalks final : public JPEGWalkAhead::Provider {
public:
    enum class Kind { honest, empty, pastEveryEnd };
    explicit ScriptedWalks(Kind kind) : m_kind(kind) {}
    void windowBegins(const JPEGWalkAhead::Windows& windows) override {
        ++begun;
        // The next window's bytes stay until the carve begins it, where they were, or drops it.
        if (m_heldNext) {
            const bool kept = windows.current.data() == m_heldNextAt &&
                              std::equal(windows.current.begin(), windows.current.end(), m_heldNextBytes.begin(), m_heldNextBytes.end());
            if (!kept) ++nextLost;
        }
        m_heldNext = !windows.next.empty();
        m_heldNextAt = windows.next.data();
        m_heldNextBytes.assign(windows.next.begin(), windows.next.end());
        for (const std::uint64_t offset : JPEGWalkAhead::pictureStarts(windows, 512)) {
            auto walk = JPEGWalkAhead::walk(windows, offset);
            if (walk && m_kind == Kind::pastEveryEnd) walk->end = UINT64_MAX;
            if (walk && m_kind != Kind::empty) m_walks[offset] = *walk;
        }
    }
    std::optional<JPEGScanWalk::Walk> walked(std::uint64_t offset) override {
        ++asked;
        const auto found = m_walks.find(offset);
        if (found == m_walks.end()) return std::nullopt;
        ++answered;
        return found->second;
    }
    void windowEnds() override {
        ++ended;
        m_walks.clear();
    }
    void nextDropped() override {
        if (m_heldNext && !std::equal(m_heldNextBytes.begin(), m_heldNextBytes.end(), m_heldNextAt)) ++nextLost;
        m_heldNext = false;
    }
    bool holdsNext() const { return m_heldNext; }
    int begun = 0, ended = 0, asked = 0, answered = 0, nextLost = 0;

private:
    Kind m_kind;
    std::map<std::uint64_t, JPEGScanWalk::Walk> m_walks;
    bool m_heldNext = false;
    const std::uint8_t* m_heldNextAt = nullptr;
    Bytes m_heldNextBytes;
};

// Whatever the walks ahead answer, the carve finds what it finds alone. Whole or cancelled in the
// middle, every window that began ends, and the next window's bytes stay where they were until the carve
// begins that window or tells the provider that it goes.
TEST_F(JPEGWalkAheadTest, TheCarveFindsTheSameHitsWithWalksAheadAndTakesOnlyThoseThatAreItsOwn) {
    using Answers = ScriptedWalks::Kind;
    RecoveryFilters filters;
    filters.allowedKinds = {RecoveredFileKind::jpeg};
    // Windows of 128 KiB: pictures lie across their seams too.
    constexpr std::int64_t windowBytes = 128 * 1024;
    const auto alone = test::carvedHits(device, filters, windowBytes);
    ASSERT_GE(alone.size(), 4u);
    const std::pair<Answers, bool> rows[] = {{Answers::honest, false}, {Answers::empty, false}, {Answers::pastEveryEnd, false}, {Answers::honest, true}};
    for (const auto& [kind, cancelled] : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + (cancelled ? ", cancelled once the second window began" : ""));
        ScriptedWalks provider(kind);
        const auto hits = test::carvedHits(device, filters, windowBytes, &provider, [&] { return cancelled && provider.begun >= 2; });
        EXPECT_EQ(provider.begun, provider.ended) << "every window that began ended";
        EXPECT_EQ(provider.nextLost, 0) << "a next window's bytes changed before it was begun or dropped";
        EXPECT_FALSE(provider.holdsNext()) << "the carve ended without dropping the next window";
        EXPECT_GE(provider.begun, 2);
        if (cancelled) continue;
        EXPECT_EQ(hits, alone);
        EXPECT_GT(provider.asked, 0);
        if (kind == Answers::honest) {
            EXPECT_GT(provider.answered, 0);
        }
    }
}

} // namespace
} // namespace vantrel
