// File-type groups, the filter summary and the sidebar's rules over the filter.

#include "Vantrel/model/FileTypeGroup.h"
#include "Vantrel/model/FilterSidebarLogic.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using FilterSidebarLogic::GroupSelection;
using K = RecoveredFileKind;

RecoveryFilters filtersOf(RecoveredFileKindSet kinds, std::uint64_t bytes, std::optional<std::int64_t> width,
                          std::optional<std::int64_t> height) {
    return {std::move(kinds), bytes, width, height};
}

TEST(FileTypeGroup, GroupsListTheirKindsAndCrwStandsForTheCanonRaws) {
    EXPECT_EQ(FileTypeGroups::kinds(FileTypeGroup::images).size(), 12u);
    EXPECT_EQ(FileTypeGroups::kinds(FileTypeGroup::audio).size(), 5u);
    const auto canon = FileTypeGroups::kindsCovered(K::crw);
    EXPECT_EQ(RecoveredFileKindSet(canon.begin(), canon.end()), (RecoveredFileKindSet{K::crw, K::cr2, K::cr3}));
    EXPECT_EQ(FileTypeGroups::kindsCovered(K::nef), std::vector<K>{K::nef});
    EXPECT_FALSE(FileTypeGroups::fromRawValue("Images"));
    EXPECT_EQ(FileTypeGroups::fromRawValue("archives"), FileTypeGroup::archives);
    EXPECT_FALSE(FileTypeGroups::footnote(FileTypeGroup::video));
    EXPECT_EQ(FileTypeGroups::title(FileTypeGroup::documents), "Documents");
    // Every kind but unknown belongs to exactly one group.
    std::size_t covered = 0;
    for (const auto group : FileTypeGroups::allCases())
        for (const auto listed : FileTypeGroups::kinds(group)) covered += FileTypeGroups::kindsCovered(listed).size();
    EXPECT_EQ(covered, recoveredFileKindCount - 1);
}

TEST(FileTypeGroup, TheSummaryNamesEnabledGroupsAndTheSizeLimits) {
    EXPECT_EQ(FileTypeGroups::enabledSummary(RecoveryFilters::defaults()),
              QString("Scan: Images, Documents, Video · Min. 8 KB, Min. 800×600"));
    EXPECT_EQ(FileTypeGroups::enabledSummary(filtersOf({}, 0, std::nullopt, std::nullopt)), QString("Scan: No file types · All sizes"));
    EXPECT_EQ(FileTypeGroups::enabledSummary(filtersOf({K::cr2}, 0, std::nullopt, std::nullopt)), QString("Scan: Images · All sizes"));
}

TEST(FileTypeGroup, TheSizeSummaryCountsOnlyLimitsThatNarrow) {
    EXPECT_EQ(FileTypeGroups::sizeSummary(4096, 0, std::nullopt), "All sizes");
    EXPECT_EQ(FileTypeGroups::sizeSummary(0, 1024, std::nullopt), "Min. width 1024");
    EXPECT_EQ(FileTypeGroups::sizeSummary(0, std::nullopt, 768), "Min. height 768");
    EXPECT_EQ(FileTypeGroups::sizeSummary(10'000, std::nullopt, std::nullopt), "Min. 10 KB");
    EXPECT_EQ(FileTypeGroups::sizeSummary(1, 10, 20), "Min. 1 byte, Min. 10×20");
    // The largest minimum is shown, not wrapped into a negative count.
    EXPECT_EQ(FileTypeGroups::sizeSummary(UINT64_MAX, std::nullopt, std::nullopt).left(5), "Min. ");
    EXPECT_FALSE(FileTypeGroups::sizeSummary(UINT64_MAX, std::nullopt, std::nullopt).contains('-'));
}

TEST(FilterSidebarLogic, GroupStatesOfTheDefaultFilter) {
    const auto& filters = RecoveryFilters::defaults();
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::images), GroupSelection::all);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::documents), GroupSelection::all);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::video), GroupSelection::all);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::audio), GroupSelection::none);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::archives), GroupSelection::none);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filtersOf({K::cr2}, 0, {}, {}), FileTypeGroup::images), GroupSelection::none);
}

TEST(FilterSidebarLogic, GroupCheckboxTurnsAllOnOrAllOff) {
    auto filters = RecoveryFilters::defaults();
    filters = FilterSidebarLogic::toggledGroup(filters, FileTypeGroup::audio);
    for (const auto kind : {K::mp3, K::m4a, K::wav, K::flac, K::ogg}) EXPECT_TRUE(filters.allowedKinds.contains(kind));
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::audio), GroupSelection::all);
    filters = FilterSidebarLogic::toggledGroup(filters, FileTypeGroup::audio);
    for (const auto kind : {K::mp3, K::m4a, K::wav, K::flac, K::ogg}) EXPECT_FALSE(filters.allowedKinds.contains(kind));

    filters = FilterSidebarLogic::withKind(RecoveryFilters::defaults(), K::jpeg, false);
    filters.allowedKinds.erase(K::cr3);
    EXPECT_EQ(FilterSidebarLogic::groupSelection(filters, FileTypeGroup::images), GroupSelection::some);
    EXPECT_EQ(FilterSidebarLogic::groupCheckboxSymbol(GroupSelection::some), "minus.square.fill");
    filters = FilterSidebarLogic::toggledGroup(filters, FileTypeGroup::images);
    EXPECT_TRUE(filters.allowedKinds.contains(K::jpeg));
    EXPECT_TRUE(filters.allowedKinds.contains(K::cr3));
    EXPECT_EQ(filters.minimumByteSize, RecoveryFilters::defaults().minimumByteSize);
}

TEST(FilterSidebarLogic, TheCanonRawSwitchMovesAllThreeKinds) {
    const auto off = FilterSidebarLogic::withKind(RecoveryFilters::defaults(), K::crw, false);
    for (const auto kind : {K::crw, K::cr2, K::cr3}) EXPECT_FALSE(off.allowedKinds.contains(kind));
    EXPECT_FALSE(FilterSidebarLogic::isKindOn(filtersOf({K::crw, K::cr2}, 0, {}, {}), K::crw));
    EXPECT_EQ(FilterSidebarLogic::kindLabel(K::cr3), "CRW (Canon RAW)");
    EXPECT_EQ(FilterSidebarLogic::kindLabel(K::webp), "WebP");
}

TEST(FilterSidebarLogic, SizeFieldsParseWhatTheUserTypes) {
    const std::optional<std::optional<std::int64_t>> cleared(std::in_place);
    EXPECT_EQ(FilterSidebarLogic::parseMinimumSide("0"), cleared);
    EXPECT_EQ(FilterSidebarLogic::parseMinimumSide("-5"), cleared);
    EXPECT_EQ(FilterSidebarLogic::parseMinimumSide("640"), std::optional<std::optional<std::int64_t>>(640));
    EXPECT_FALSE(FilterSidebarLogic::parseMinimumSide("wide"));
    EXPECT_EQ(FilterSidebarLogic::sideText(std::nullopt), "0");
    EXPECT_EQ(FilterSidebarLogic::parseMinimumByteSize("8192"), 8192u);
    EXPECT_EQ(FilterSidebarLogic::parseMinimumByteSize("18446744073709551615"), UINT64_MAX);
    EXPECT_FALSE(FilterSidebarLogic::parseMinimumByteSize("18446744073709551616"));
    EXPECT_FALSE(FilterSidebarLogic::parseMinimumByteSize("-1"));
    EXPECT_FALSE(FilterSidebarLogic::parseMinimumByteSize(""));
}

TEST(FilterSidebarLogic, TheDisclosureOpensAndClosesAGroup) {
    std::set<FileTypeGroup> expanded{FileTypeGroup::images};
    FilterSidebarLogic::toggleExpanded(expanded, FileTypeGroup::audio);
    FilterSidebarLogic::toggleExpanded(expanded, FileTypeGroup::images);
    EXPECT_EQ(expanded, (std::set<FileTypeGroup>{FileTypeGroup::audio}));
}

} // namespace
} // namespace vantrel
