#pragma once
// The device offset and kind of every hit taken in, so that a repeat the helper sends is dropped. The
// pairs sit in open-addressed tables (linear probing), one of 64 picked by the hash, each one array:
// adding a pair allocates nothing of its own, and growing the set rehashes a 64th of it at a time, the
// shards at loads of their own (ShardGrowth), so never all in one step.

#include "recovery/model/RecoveredFileKind.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

class IntakeKeySet {
public:
    // Adds the pair; false, changing nothing, when it is there already.
    bool insert(std::uint64_t byteOffset, RecoveredFileKind kind);
    bool contains(std::uint64_t byteOffset, RecoveredFileKind kind) const;
    // Asks for the memory where the pair's probe starts, for an insert some steps later.
    void prefetch(std::uint64_t byteOffset, RecoveredFileKind kind) const;
    void erase(std::uint64_t byteOffset, RecoveredFileKind kind);
    void clear();
    std::size_t size() const { return m_size; }

private:
    static constexpr std::size_t shardCount = 64;
    // A slot's kind byte also tells an empty slot and an erased one, which keeps a probe going past it.
    static constexpr std::uint8_t emptySlot = 0xFF;
    static constexpr std::uint8_t erasedSlot = 0xFE;
    static_assert(recoveredFileKindCount < erasedSlot);
    struct Slot {
        std::uint64_t byteOffset = 0;
        std::uint8_t kind = emptySlot;
    };
    struct Shard {
        std::vector<Slot> entries;  // a power of two of them, or none
        std::size_t used = 0;
        std::size_t erased = 0;
    };

    static std::uint64_t hashOf(std::uint64_t byteOffset, RecoveredFileKind kind);
    static void rehash(Shard& shard);

    std::array<Shard, shardCount> m_shards;
    std::size_t m_size = 0;
};

} // namespace vantrel
