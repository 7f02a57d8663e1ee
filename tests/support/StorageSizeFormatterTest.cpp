#include "support/log/StorageSizeFormatter.h"

#include <gtest/gtest.h>

#include <limits>

namespace vantrel {
namespace {

TEST(StorageSizeFormatter, BinaryUnitsWithAtMostOneDecimal) {
    const std::vector<std::pair<std::uint64_t, std::string>> table = {
        {0, "0 MB"},
        {524288, "0.5 MB"},
        {1048575, "1 MB"},
        {1048576, "1 MB"},
        {67108864, "64 MB"},
        {104857, "0.1 MB"},
        {52428, "0 MB"},             // 0.049999 MB
        {52429, "0.1 MB"},           // 0.050001 MB rounds up
        {1073741823, "1024 MB"},     // just under 1 GiB: the unit is chosen before rounding
        {1073741824, "1 GB"},
        {1610612736, "1.5 GB"},
        {32010928128, "29.8 GB"},
        {1099511627775, "1024 GB"},
        {1099511627776, "1 TB"},
        {2199023255552, "2 TB"},
        {std::numeric_limits<std::uint64_t>::max(), "16777216 TB"},
    };
    for (const auto& [bytes, text] : table) EXPECT_EQ(StorageSizeFormatter::format(bytes), text) << bytes;
}

TEST(StorageSizeFormatter, SignedCountsClampAtZero) {
    EXPECT_EQ(StorageSizeFormatter::format(std::int64_t{-5}), "0 MB");
    EXPECT_EQ(StorageSizeFormatter::format(std::numeric_limits<std::int64_t>::min()), "0 MB");
    EXPECT_EQ(StorageSizeFormatter::format(std::int64_t{1610612736}), "1.5 GB");
    EXPECT_EQ(StorageSizeFormatter::format(std::numeric_limits<std::int64_t>::max()), "8388608 TB");
    // Plain int and unsigned counts pick the overload of their signedness.
    EXPECT_EQ(StorageSizeFormatter::format(-5), "0 MB");
    EXPECT_EQ(StorageSizeFormatter::format(524288u), "0.5 MB");
}

} // namespace
} // namespace vantrel
