#include "recovery/engine/ScanMode.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

TEST(ScanMode, StoresExactlyTheCaseNames) {
    ASSERT_EQ(ScanModeName::allCases().size(), 2u);
    EXPECT_EQ(ScanModeName::allCases()[0], ScanMode::standard);
    EXPECT_EQ(ScanModeName::allCases()[1], ScanMode::quickUndelete);
    for (const ScanMode mode : ScanModeName::allCases())
        EXPECT_EQ(ScanModeName::fromRawValue(ScanModeName::rawValue(mode)), mode);
    EXPECT_EQ(ScanModeName::rawValue(ScanMode::quickUndelete), "quickUndelete");
    EXPECT_EQ(ScanModeName::fromRawValue("quickundelete"), std::nullopt);
    EXPECT_EQ(ScanModeName::fromRawValue("Standard"), std::nullopt);
    EXPECT_EQ(ScanModeName::fromRawValue(""), std::nullopt);
}

} // namespace
} // namespace vantrel
