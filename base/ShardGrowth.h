#pragma once
// When a shard of a hash set split by its hash grows. The shards of such a set fill evenly: grown at one
// load, they would all grow within a few hundred additions of each other, and the whole set would be
// rehashed in one step after all. Each shard grows at a load of its own between one half and three quarters
// instead, so that the shards' growth is spread over a third of the set's doubling; a table of a power of two
// of slots holds as much after its growth as before.

#include <cstddef>

namespace vantrel::ShardGrowth {

// Whether shard `shard` of shardCount, with taken of its capacity slots taken (erased ones included), grows
// before one more is added: when the one more would put it above 1/2 + 1/4 x shard / shardCount.
constexpr bool due(std::size_t taken, std::size_t capacity, std::size_t shard, std::size_t shardCount) {
    return (taken + 1) * 4 * shardCount > capacity * (2 * shardCount + shard);
}

} // namespace vantrel::ShardGrowth
