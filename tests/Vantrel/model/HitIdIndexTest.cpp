// The index of arrival numbers by identity, against a plain map through growth, erasure and reuse.

#include "Vantrel/model/AppModel.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace vantrel {
namespace {

// Identities made by hand, as a catalog may hold them: all in one table (same last byte), differing in a
// single byte or in the low bits only.
Uuid handMade(std::uint32_t number) {
    Uuid id;
    id.bytes[3] = static_cast<std::uint8_t>(number >> 8);
    id.bytes[7] = static_cast<std::uint8_t>(number);
    id.bytes[11] = static_cast<std::uint8_t>(number >> 16);
    return id;
}

TEST(HitIdIndex, AgreesWithAMapThroughGrowthErasureAndReuseOfErasedPlaces) {
    HitIdIndex index;
    std::map<Uuid, std::uint64_t> reference;
    std::vector<Uuid> known;
    std::mt19937_64 random(30);
    std::uint64_t sequence = 0;
    auto check = [&] {
        for (const auto& id : known) {
            const auto found = reference.find(id);
            const auto answer = index.find(id);
            ASSERT_EQ(answer.has_value(), found != reference.end());
            if (answer) {
                ASSERT_EQ(*answer, found->second);
            }
            ASSERT_EQ(index.contains(id), answer.has_value());
        }
    };
    for (int round = 0; round < 6; ++round) {
        // Half random identities, half made by hand; some of them already in.
        for (int i = 0; i < 3'000; ++i) {
            const Uuid id = i % 2 ? Uuid::random() : handMade(static_cast<std::uint32_t>(random() % 5'000));
            const bool fresh = !reference.contains(id);
            // Asking for an identity's memory changes nothing, an empty index's included.
            index.prefetch(id);
            EXPECT_EQ(index.insert(id, sequence), fresh);
            if (fresh) {
                reference.emplace(id, sequence);
                known.push_back(id);
            }
            ++sequence;
        }
        check();
        // Erase about a third, then put some of them back with new numbers.
        for (std::size_t i = 0; i < known.size(); i += 3) {
            index.erase(known[i]);
            reference.erase(known[i]);
        }
        index.erase(Uuid::random());  // not in: nothing changes
        for (std::size_t i = 0; i < known.size(); i += 9) {
            EXPECT_TRUE(index.insert(known[i], sequence));
            reference[known[i]] = sequence++;
        }
        check();
    }
    index.clear();
    index.prefetch(known.front());
    for (const auto& id : known) EXPECT_FALSE(index.contains(id));
    EXPECT_TRUE(index.insert(known.front(), 7));
    EXPECT_EQ(index.find(known.front()), 7u);
}

} // namespace
} // namespace vantrel
