// The results query as pure functions: vocabularies, the status filter, and every order's key,
// direction, missing values and tie-breaks.

#include "AppModelHarness.h"

#include "Vantrel/model/AppModel.h"
#include "Vantrel/model/ResultsQuery.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using K = RecoveredFileKind;

using test::makeHit;

std::vector<std::string> names(const std::vector<RecoveredHit>& hits) {
    std::vector<std::string> result;
    for (const auto& hit : hits) result.push_back(hit.suggestedName);
    return result;
}

std::vector<RecoveredHit> sorted(const std::vector<RecoveredHit>& hits, ResultsSort sort) {
    return AppModel::filteredAndSortedHits(hits, ResultsIntegrityFilter::all, std::nullopt, std::nullopt, sort);
}

RecoveredHit withDimensions(RecoveredHit hit, std::optional<ImageDimensions> dimensions) {
    hit.dimensions = dimensions;
    return hit;
}

RecoveredHit atOffset(RecoveredHit hit, std::uint64_t offset, std::optional<std::int64_t> captureSeconds) {
    hit.byteOffset = offset;
    if (captureSeconds) hit.captureDate = std::chrono::system_clock::from_time_t(*captureSeconds);
    return hit;
}

TEST(ResultsVocabulary, StringsAreTheCaseNamesExactly) {
    EXPECT_EQ(ResultsSortName::fromRawValue("captureDateAscending"), ResultsSort::captureDateAscending);
    EXPECT_EQ(static_cast<int>(*ResultsSortName::fromRawValue("captureDateAscending")), 11);
    EXPECT_FALSE(ResultsSortName::fromRawValue("Discovery"));
    EXPECT_FALSE(ResultsSortName::fromRawValue("size"));
    for (const auto sort : ResultsSortName::allCases()) EXPECT_EQ(ResultsSortName::fromRawValue(ResultsSortName::rawValue(sort)), sort);

    EXPECT_FALSE(ResultsIntegrityFilterName::fromRawValue("broken"));
    EXPECT_EQ(ResultsIntegrityFilterName::fromRawValue("failed"), ResultsIntegrityFilter::failed);
    std::vector<QString> titles;
    for (const auto filter : ResultsIntegrityFilterName::allCases()) titles.push_back(ResultsIntegrityFilterName::title(filter));
    EXPECT_EQ(titles, (std::vector<QString>{"All statuses", "OK", "Suspect", "Broken", "Queued…", "Not checked"}));
}

TEST(ResultsVocabulary, EachFilterLetsThroughItsOwnIntegrityOnly) {
    using F = ResultsIntegrityFilter;
    using I = HitIntegrity;
    EXPECT_TRUE(ResultsIntegrityFilterName::matches(F::pending, I::pending));
    EXPECT_FALSE(ResultsIntegrityFilterName::matches(F::skipped, I::pending));
    for (const auto integrity : {I::pending, I::ok, I::suspect, I::failed, I::skipped})
        EXPECT_TRUE(ResultsIntegrityFilterName::matches(F::all, integrity));
    const std::vector<RecoveredHit> hits{makeHit("a", 1, RecoveredFileKind::jpeg, I::failed), makeHit("b", 1, RecoveredFileKind::jpeg, I::ok),
                                         makeHit("c", 1, RecoveredFileKind::jpeg, I::failed)};
    EXPECT_EQ(names(AppModel::filteredAndSortedHits(hits, F::failed, std::nullopt, std::nullopt, ResultsSort::discovery)),
              (std::vector<std::string>{"a", "c"}));
}

TEST(ResultsOrders, TheDefaultQueryKeepsTheInputAsItIs) {
    const std::vector<RecoveredHit> hits{makeHit("b", 5), makeHit("a", 9), makeHit("c", 1)};
    EXPECT_EQ(AppModel::filteredAndSortedHits(hits, ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::discovery), hits);
    EXPECT_TRUE(AppModel::isDefaultQuery(ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::discovery));
    EXPECT_FALSE(AppModel::isDefaultQuery(ResultsIntegrityFilter::all, HitDate{}, std::nullopt, ResultsSort::discovery));
    EXPECT_FALSE(AppModel::isDefaultQuery(ResultsIntegrityFilter::ok, std::nullopt, std::nullopt, ResultsSort::discovery));
    EXPECT_FALSE(AppModel::isDefaultQuery(ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::name));
}

TEST(ResultsOrders, EqualSizesKeepArrivalOrderInBothDirections) {
    const std::vector<RecoveredHit> hits{makeHit("first", 10), makeHit("big", 30), makeHit("second", 10), makeHit("small", 5)};
    EXPECT_EQ(names(sorted(hits, ResultsSort::sizeDescending)), (std::vector<std::string>{"big", "first", "second", "small"}));
    EXPECT_EQ(names(sorted(hits, ResultsSort::sizeAscending)), (std::vector<std::string>{"small", "first", "second", "big"}));
}

TEST(ResultsOrders, NamesCompareWithoutCaseAndDigitByDigit) {
    const std::vector<RecoveredHit> hits{makeHit("IMG_2.jpg", 1), makeHit("img_10.jpg", 1), makeHit("Beta", 1), makeHit("alpha", 1),
                                         makeHit("ALPHA", 1)};
    EXPECT_EQ(names(sorted(hits, ResultsSort::name)), (std::vector<std::string>{"alpha", "ALPHA", "Beta", "img_10.jpg", "IMG_2.jpg"}));
    EXPECT_EQ(names(sorted(hits, ResultsSort::nameDescending)),
              (std::vector<std::string>{"IMG_2.jpg", "img_10.jpg", "Beta", "alpha", "ALPHA"}));
}

TEST(ResultsOrders, CanonRawKindsShareOneLabelAndKeepTheirOrder) {
    const std::vector<RecoveredHit> hits{makeHit("cr3", 1, K::cr3), makeHit("png", 1, K::png), makeHit("crw", 1, K::crw),
                                         makeHit("cr2", 1, K::cr2), makeHit("arw", 1, K::arw)};
    EXPECT_EQ(listLabel(K::cr2), "CRW");
    EXPECT_EQ(names(sorted(hits, ResultsSort::type)), (std::vector<std::string>{"arw", "cr3", "crw", "cr2", "png"}));
    EXPECT_EQ(names(sorted(hits, ResultsSort::typeDescending)), (std::vector<std::string>{"png", "cr3", "crw", "cr2", "arw"}));
}

TEST(ResultsOrders, IntegrityGroupsComeOkSuspectPendingSkippedFailed) {
    using I = HitIntegrity;
    const std::vector<RecoveredHit> hits{makeHit("f", 1, RecoveredFileKind::jpeg, I::failed), makeHit("p1", 1, RecoveredFileKind::jpeg, I::pending),
                                         makeHit("s", 1, RecoveredFileKind::jpeg, I::skipped), makeHit("o", 1, RecoveredFileKind::jpeg, I::ok),
                                         makeHit("p2", 1, RecoveredFileKind::jpeg, I::pending), makeHit("u", 1, RecoveredFileKind::jpeg, I::suspect)};
    EXPECT_EQ(names(sorted(hits, ResultsSort::integrity)), (std::vector<std::string>{"o", "u", "p1", "p2", "s", "f"}));
}

TEST(ResultsOrders, PicturesWithoutAreaGoFirstAscendingAndLastDescendingBySize) {
    const std::vector<RecoveredHit> hits{
        withDimensions(makeHit("area 100", 50), ImageDimensions{10, 10}),
        withDimensions(makeHit("none 30", 30), std::nullopt),
        withDimensions(makeHit("zero side 10", 10), ImageDimensions{0, 500}),
        withDimensions(makeHit("area 100 big", 90), ImageDimensions{20, 5}),
        withDimensions(makeHit("huge", 1), ImageDimensions{INT64_MAX, INT64_MAX}),
        withDimensions(makeHit("none 20", 20), std::nullopt),
    };
    EXPECT_EQ(names(sorted(hits, ResultsSort::dimensionsAscending)),
              (std::vector<std::string>{"zero side 10", "none 20", "none 30", "area 100", "area 100 big", "huge"}));
    EXPECT_EQ(names(sorted(hits, ResultsSort::dimensionsDescending)),
              (std::vector<std::string>{"huge", "area 100 big", "area 100", "none 30", "none 20", "zero side 10"}));
    EXPECT_EQ(ResultsOrder::pixelCount(hits[4]), UINT64_MAX);  // a product beyond 64 bits does not wrap
}

TEST(ResultsOrders, MissingCaptureDatesGoLastAndTiesGoByOffset) {
    const std::vector<RecoveredHit> hits{
        atOffset(makeHit("no date 900", 1), 900, std::nullopt), atOffset(makeHit("noon 500", 1), 500, 1'700'000'000),
        atOffset(makeHit("later", 1), 100, 1'700'003'600),     atOffset(makeHit("noon 200", 1), 200, 1'700'000'000),
        atOffset(makeHit("no date 50", 1), 50, std::nullopt),
    };
    EXPECT_EQ(names(sorted(hits, ResultsSort::captureDateDescending)),
              (std::vector<std::string>{"later", "noon 200", "noon 500", "no date 50", "no date 900"}));
    EXPECT_EQ(names(sorted(hits, ResultsSort::captureDateAscending)),
              (std::vector<std::string>{"noon 200", "noon 500", "later", "no date 50", "no date 900"}));
}

TEST(ResultsOrders, DateBoundsDropHitsWithoutADate) {
    const auto noon = std::chrono::system_clock::from_time_t(1'700'000'000);
    const std::vector<RecoveredHit> hits{atOffset(makeHit("dated", 1), 0, 1'700'000'000), makeHit("undated", 1)};
    EXPECT_EQ(names(AppModel::filteredAndSortedHits(hits, ResultsIntegrityFilter::all, std::nullopt, std::nullopt, ResultsSort::discovery)),
              (std::vector<std::string>{"dated", "undated"}));
    EXPECT_EQ(names(AppModel::filteredAndSortedHits(hits, ResultsIntegrityFilter::all, noon, std::nullopt, ResultsSort::discovery)),
              (std::vector<std::string>{"dated"}));
    EXPECT_EQ(names(AppModel::filteredAndSortedHits(hits, ResultsIntegrityFilter::all, std::nullopt, noon, ResultsSort::discovery)),
              (std::vector<std::string>{"dated"}));
    EXPECT_FALSE(AppModel::hitMatchesResultsFilter(hits[1], ResultsIntegrityFilter::all, noon, noon));
    EXPECT_FALSE(AppModel::hitMatchesResultsFilter(hits[0], ResultsIntegrityFilter::ok, std::nullopt, std::nullopt));
}

TEST(ResultsOrders, SortingKeptKeysGivesTheTotalOrderForEveryOrder) {
    // Wide values (sizes past 4 GiB, dates over centuries, offsets past 2^40), many ties, names sharing
    // long prefixes and names longer than the packed words; narrow values, whose two words an order packs
    // into one; a card's names, which differ in few bits, with offsets growing as a scan finds them; one
    // name for every hit. Each list sorted on one thread and on three, by scratches kept from list to list
    // (longer lists leave longer arrays behind).
    const NameCollator collator;
    const ResultsOrder::TypeRanks ranks(collator);
    const std::vector<std::string> mixedStems{"recovered_", "IMG_", "a very long name that runs past the packed words ", "Ärger "};
    struct Case {
        std::size_t count;
        bool wide;
        std::vector<std::string> stems;
        std::size_t numbers;  // how many numbers follow a stem
        bool offsetsInArrivalOrder;
    };
    const std::vector<Case> cases{{3000, true, mixedStems, 40, false},
                                  {40'000, true, mixedStems, 533, false},
                                  {5000, false, mixedStems, 66, false},
                                  {20'000, false, {"IMG_"}, 10'000, true},
                                  {300, false, {"same"}, 1, true}};
    ResultsOrder::SortScratch oneLane, threeLanes;
    threeLanes.lanes = 3;
    for (const auto& [count, wide, stems, numbers, offsetsInArrivalOrder] : cases) {
        SCOPED_TRACE(std::to_string(count) + " hits named " + stems.front() + "…, " + (wide ? "wide values" : "narrow values"));
        std::mt19937_64 random(11);
        std::vector<RecoveredHit> hits;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string number = numbers > 1 ? std::to_string(random() % numbers) : "";
            RecoveredHit hit = makeHit(stems[random() % stems.size()] + number + (random() % 2 ? ".jpg" : ".JPG"),
                                       random() % 3 ? random() % 50 : (wide ? random() >> (random() % 64) : random() % 100'000),
                                       FileKind::allKinds()[random() % FileKind::allKinds().size()]);
            hit.integrity = static_cast<HitIntegrity>(random() % 5);
            if (offsetsInArrivalOrder)
                hit.byteOffset = i * 4096 + random() % 3;
            else
                hit.byteOffset = random() % 2 ? random() % 8 : (wide ? random() >> 20 : random() % 100'000);
            if (random() % 3) hit.dimensions = ImageDimensions{static_cast<std::int64_t>(random() % 5000) - 10, static_cast<std::int64_t>(random() % 4000)};
            if (random() % 3)
                hit.captureDate = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(random() % 2) * 3'000'000'000 -
                                                                        static_cast<std::time_t>(random() % 4));
            hits.push_back(hit);
        }
        std::vector<std::string> eagerKeys;
        ChunkedArray<ResultsOrder::HitKeys> keys;
        for (const auto& hit : hits) {
            eagerKeys.push_back(collator.sortKey(hit.suggestedName));
            keys.push_back(ResultsOrder::keysOf(hit, ranks));
        }
        // The kept keys are made in two goes, the second on threads, as a list sorted by name after a scan is.
        NameKeys nameKeys;
        const auto nameAt = [&](std::size_t position) -> std::string_view { return hits[position].suggestedName; };
        nameKeys.makeUpTo(count / 3, nameAt, collator, 1);
        nameKeys.makeUpTo(count, nameAt, collator, 3);
        ASSERT_EQ(nameKeys.madeCount(), count);
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(nameKeys[i].text(), eagerKeys[i]) << "key of " << hits[i].suggestedName;
        for (const auto sort : ResultsSortName::allCases()) {
            SCOPED_TRACE(std::string(ResultsSortName::rawValue(sort)));
            std::vector<ResultsOrder::Entry> entries;
            for (std::size_t i = 0; i < hits.size(); ++i) entries.push_back({&hits[i], eagerKeys[i], i});
            std::sort(entries.begin(), entries.end(),
                      [&](const ResultsOrder::Entry& a, const ResultsOrder::Entry& b) { return ResultsOrder::before(sort, a, b, ranks); });
            for (auto* scratch : {&oneLane, &threeLanes}) {
                SCOPED_TRACE(scratch->lanes == 0 ? "one lane" : "three lanes");
                const auto& positions = ResultsOrder::sortedPositions(sort, keys, nameKeys.keys(), *scratch);
                ASSERT_EQ(positions.size(), entries.size());
                for (std::size_t row = 0; row < entries.size(); ++row) ASSERT_EQ(positions[row], entries[row].position) << "row " << row;
            }
        }
    }
}

TEST(ResultsOrders, GatheredBitsKeepTheirOrder) {
    std::mt19937_64 random(5);
    const auto byBit = [](std::uint64_t word, std::uint64_t mask) {
        std::uint64_t gathered = 0;
        for (int bit = 63; bit >= 0; --bit)
            if (mask >> bit & 1) gathered = gathered << 1 | (word >> bit & 1);
        return gathered;
    };
    for (const std::uint64_t mask : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 63, std::uint64_t{0x767018435e3f7f3f}})
        for (int i = 0; i < 100; ++i) {
            const std::uint64_t word = random();
            EXPECT_EQ(ResultsOrder::gatherBits(word, mask), byBit(word, mask));
        }
    for (int i = 0; i < 10'000; ++i) {
        const std::uint64_t word = random(), mask = random() & random();
        ASSERT_EQ(ResultsOrder::gatherBits(word, mask), byBit(word, mask)) << std::hex << word << " " << mask;
    }
}

// The kept keys live in blocks: appending, erasing inside, shrinking and growing across block
// boundaries keep every value in its place, as a vector would.
TEST(ResultsOrders, KeptKeysStayInPlaceAcrossTheirBlocks) {
    ChunkedArray<std::string, 2> chunked;  // blocks of four
    std::vector<std::string> expected;
    const auto same = [&] {
        ASSERT_EQ(chunked.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(chunked[i], expected[i]) << "at " << i;
        std::vector<std::string> visited;
        chunked.forEachRun([&](const std::string* run, std::size_t count) {
            ASSERT_GT(count, 0u);
            ASSERT_LE(count, 4u);
            visited.insert(visited.end(), run, run + count);
        });
        ASSERT_EQ(visited, expected);
    };
    for (int i = 0; i < 11; ++i) {
        chunked.push_back("hit " + std::to_string(i) + std::string(40, 'x'));  // past the short-string buffer
        expected.push_back(chunked.back());
    }
    same();
    for (const std::size_t at : {9u, 3u, 0u, 7u}) {  // the last but one, inside, the first, the last
        chunked.erase(at);
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at));
        same();
    }
    chunked.resize(5);
    expected.resize(5);
    same();
    chunked.resize(9);  // grows with empty values, none left over from before the shrink
    expected.resize(9);
    same();
    chunked[8] = "last";
    expected[8] = "last";
    same();
    chunked.clear();
    expected.clear();
    same();
    chunked.push_back("again");
    expected.push_back("again");
    same();
}

} // namespace
} // namespace vantrel
