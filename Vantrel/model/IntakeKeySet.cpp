#include "Vantrel/model/IntakeKeySet.h"

#include "Vantrel/model/ProbeTable.h"
#include "base/ShardGrowth.h"

namespace vantrel {

std::uint64_t IntakeKeySet::hashOf(std::uint64_t byteOffset, RecoveredFileKind kind) {
    // Offsets are mostly multiples of a sector or a cluster: mixed so that every bit counts.
    std::uint64_t mixed = byteOffset ^ (static_cast<std::uint64_t>(kind) << 56) ^ static_cast<std::uint64_t>(kind);
    mixed ^= mixed >> 33;
    mixed *= 0xFF51AFD7ED558CCDULL;
    mixed ^= mixed >> 33;
    mixed *= 0xC4CEB9FE1A85EC53ULL;
    mixed ^= mixed >> 33;
    return mixed;
}

void IntakeKeySet::rehash(Shard& shard) {
    ProbeTable::rehash(
        shard.entries, shard.used, [](const Slot& slot) { return slot.kind < erasedSlot; },
        [](const Slot& slot) { return slot.kind == emptySlot; },
        [](const Slot& slot, std::size_t mask) { return hashOf(slot.byteOffset, static_cast<RecoveredFileKind>(slot.kind)) & mask; });
    shard.erased = 0;
}

bool IntakeKeySet::contains(std::uint64_t byteOffset, RecoveredFileKind kind) const {
    const std::uint64_t hash = hashOf(byteOffset, kind);
    const Shard& shard = m_shards[hash >> 58];
    if (shard.entries.empty()) return false;
    const std::size_t mask = shard.entries.size() - 1;
    // The table always keeps empty entries, so the probe ends.
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = shard.entries[at];
        if (slot.kind == emptySlot) return false;
        if (slot.kind == static_cast<std::uint8_t>(kind) && slot.byteOffset == byteOffset) return true;
    }
}

void IntakeKeySet::prefetch(std::uint64_t byteOffset, RecoveredFileKind kind) const {
    const std::uint64_t hash = hashOf(byteOffset, kind);
    const Shard& shard = m_shards[hash >> 58];
    if (!shard.entries.empty()) __builtin_prefetch(&shard.entries[hash & (shard.entries.size() - 1)]);
}

bool IntakeKeySet::insert(std::uint64_t byteOffset, RecoveredFileKind kind) {
    const std::uint64_t hash = hashOf(byteOffset, kind);
    Shard& shard = m_shards[hash >> 58];
    // Taken entries, erased ones included, stay under the shard's own load (at most three quarters).
    if (ShardGrowth::due(shard.used + shard.erased, shard.entries.size(), hash >> 58, shardCount)) rehash(shard);
    const std::size_t mask = shard.entries.size() - 1;
    Slot* reusable = nullptr;
    std::size_t at = hash & mask;
    for (;; at = (at + 1) & mask) {
        Slot& slot = shard.entries[at];
        if (slot.kind == emptySlot) break;
        if (slot.kind == erasedSlot) {
            if (!reusable) reusable = &slot;
        } else if (slot.kind == static_cast<std::uint8_t>(kind) && slot.byteOffset == byteOffset) {
            return false;
        }
    }
    Slot& target = reusable ? *reusable : shard.entries[at];
    if (reusable) --shard.erased;
    target = Slot{byteOffset, static_cast<std::uint8_t>(kind)};
    ++shard.used;
    ++m_size;
    return true;
}

void IntakeKeySet::erase(std::uint64_t byteOffset, RecoveredFileKind kind) {
    const std::uint64_t hash = hashOf(byteOffset, kind);
    Shard& shard = m_shards[hash >> 58];
    if (shard.entries.empty()) return;
    const std::size_t mask = shard.entries.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        Slot& slot = shard.entries[at];
        if (slot.kind == emptySlot) return;
        if (slot.kind == static_cast<std::uint8_t>(kind) && slot.byteOffset == byteOffset) {
            slot.kind = erasedSlot;
            --shard.used;
            ++shard.erased;
            --m_size;
            return;
        }
    }
}

void IntakeKeySet::clear() {
    for (auto& shard : m_shards) shard = Shard{};
    m_size = 0;
}

} // namespace vantrel
