#pragma once
// Names for undeleted files: a file's own name when it is worth keeping and not yet used in this
// state, else a numbered name such as recovered_00001.jpg. Names come from disks, so they are made
// safe to use as a file name in a user's folder first.

#include "recovery/model/RecoveredFileKind.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// A set of names compared with ASCII letter case folded, as the names handed out are kept. Their bytes
// lie in large blocks, their entries in open-addressed tables (linear probing), one of 64 picked by the
// hash: adding a name allocates nothing of its own, and growing the set rehashes a 64th of it at a time,
// the shards at loads of their own (ShardGrowth), so never all in one step.
class FoldedNameSet {
public:
    // Adds the name; false, changing nothing, when a name equal to it with case folded is there already.
    bool insert(std::string_view name);
    bool contains(std::string_view name) const;
    std::size_t size() const { return m_size; }

private:
    static constexpr std::size_t shardCount = 64;
    static constexpr std::size_t blockBytes = std::size_t{1} << 16;
    // A stored name: where its folded bytes are, and its hash's low half (most mismatches stop there).
    struct Slot {
        const char* bytes = nullptr;  // none: an empty slot
        std::uint32_t length = 0;
        std::uint32_t hashLow = 0;
    };
    struct Shard {
        std::vector<Slot> entries;  // a power of two of them, or none
        std::size_t used = 0;
    };

    static std::uint64_t foldedHash(std::string_view name);
    static bool sameFolded(const Slot& slot, std::string_view name);
    const char* keep(std::string_view name);
    static void grow(Shard& shard);

    std::array<Shard, shardCount> m_shards;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    std::size_t m_blockUsed = blockBytes;  // bytes taken of the last block
    std::size_t m_size = 0;
};

struct UndeleteNamingState {
    // A file name is at most this long on the file systems we write to.
    static constexpr std::size_t maxNameBytes = 255;

    std::int64_t serial = 0;     // number of the last numbered name handed out
    FoldedNameSet usedNames;     // every name handed out, ASCII letter case folded

    // Whether a name is too generic or mangled to keep (FILE0001.JPG, PHOTO~1.JPG, empty).
    static bool isWeakName(std::string_view name);
    // The trimmed name is not empty and not weak.
    static bool isUsableUndeleteName(std::string_view name);
    // Without trailing spaces and full stops.
    static std::string trimTrailingDotsAndSpaces(std::string_view name);
    // Separators and control characters become "_", invalid UTF-8 bytes too; "." and ".." become
    // empty; the result is cut to maxNameBytes on a character boundary, keeping a short extension.
    static std::string makeSafeFileName(std::string_view name);

    // The preferred name (made safe and trimmed) when it is not weak and not handed out yet, else numberedName.
    std::string suggestedName(std::string_view preferred, RecoveredFileKind kind);
    // name becomes suggestedName(name, kind), in place: a name kept as it is is not copied. True when it changed.
    bool rename(std::string& name, RecoveredFileKind kind);
    // "recovered_", the next serial with at least five digits, ".", the kind's extension; a serial whose
    // name was handed out already is passed over.
    std::string numberedName(RecoveredFileKind kind);

private:
    // suggestedName's answer, as a view into preferred, into safe (the preferred name made safe, when
    // that changed it) or into numbered.
    std::string_view claim(std::string_view preferred, RecoveredFileKind kind, std::string& safe, std::string& numbered);
};

} // namespace vantrel
