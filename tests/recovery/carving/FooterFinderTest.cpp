#include "recovery/carving/FooterFinder.h"

#include "recovery/bytesource/MemoryByteSource.h"
#include "tests/fixtures/SparseByteSource.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace vantrel {
namespace {

std::optional<std::uint64_t> plainSearch(const Bytes& data, const Bytes& needle, std::uint64_t from, std::uint64_t limit) {
    limit = std::min<std::uint64_t>(limit, data.size());
    for (std::uint64_t at = from; at + needle.size() <= limit; ++at)
        if (std::equal(needle.begin(), needle.end(), data.begin() + static_cast<std::ptrdiff_t>(at))) return at;
    return std::nullopt;
}

TEST(FooterFinder, AnswersLikeAPlainSearchForAnyOrderOfQueries) {
    // Short alphabets make footers common and overlapping ("aa" in "aaa").
    std::mt19937_64 random(7);
    Bytes data(300000);
    for (auto& byte : data) byte = static_cast<std::uint8_t>('a' + random() % 3);
    const std::vector<Bytes> needles{{'a', 'b', 'c', 'a'}, {'a', 'a'}, {'c'}, {'b', 'b', 'b', 'b', 'b', 'b', 'b'}};
    MemoryByteSource source(data);
    SourceCandidateReader reader(source);
    FooterFinder finder;
    for (int query = 0; query < 3000; ++query) {
        const Bytes& needle = needles[random() % needles.size()];
        // Mostly forward, as a carve goes, with some jumps back.
        const std::uint64_t from = random() % 8 == 0 ? random() % data.size() : (query * 97) % data.size();
        const std::uint64_t limit = from + random() % 200000;
        ASSERT_EQ(finder.find(reader, needle, from, limit), plainSearch(data, needle, from, limit)) << "query " << query << " needle " << needle.size() << " from " << from << " limit " << limit;
    }
}

TEST(FooterFinder, ReadsARememberedStretchOnlyOnce) {
    const std::uint64_t device = 64 * 1024 * 1024;
    test::SparseByteSource source(device, 0);
    const Bytes footer{'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    source.patch(40 * 1024 * 1024, footer);
    SourceCandidateReader reader(source);
    FooterFinder finder;
    EXPECT_EQ(finder.find(reader, footer, 1000, device), 40u * 1024 * 1024);
    const std::uint64_t firstPass = source.bytesRead();
    EXPECT_LE(firstPass, 40u * 1024 * 1024 + 2 * FooterFinder::chunkBytes);
    // Later candidates before the footer get the same answer without reading.
    EXPECT_EQ(finder.find(reader, footer, 5000, device), 40u * 1024 * 1024);
    EXPECT_EQ(finder.find(reader, footer, 30 * 1024 * 1024, device), 40u * 1024 * 1024);
    EXPECT_EQ(finder.find(reader, footer, 6000, 40 * 1024 * 1024 + 7), std::nullopt);
    EXPECT_EQ(source.bytesRead(), firstPass);
    // Past it, the search goes on from where it stopped.
    EXPECT_EQ(finder.find(reader, footer, 40 * 1024 * 1024 + 1, device), std::nullopt);
    EXPECT_LE(source.bytesRead(), device + 4 * FooterFinder::chunkBytes);
}

TEST(FooterFinder, PassesOnAFailedRead) {
    test::SparseByteSource source(4 * 1024 * 1024, 0);
    source.failReads(1024 * 1024, 1024 * 1024 + 1);
    SourceCandidateReader reader(source);
    FooterFinder finder;
    const Bytes footer{'%', '%', 'E', 'O', 'F'};
    EXPECT_THROW(finder.find(reader, footer, 0, source.length()), ByteSourceError);
    source.patch(2 * 1024 * 1024, footer);
    EXPECT_EQ(finder.find(reader, footer, 1024 * 1024 + 1, source.length()), 2u * 1024 * 1024);
}

} // namespace
} // namespace vantrel
