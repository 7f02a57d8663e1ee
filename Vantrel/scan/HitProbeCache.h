#pragma once
// The bytes of hits already fetched from the device, one file per hit in a private folder under the
// temporary directory: a quality-pass probe (the leading part of a hit) or, for a small hit, all of
// it. Checks, previews and recoveries read a cached file instead of asking the helper again; a
// cached file may hold fewer bytes than its hit, and its size says how many.
//
// The folder ("Vantrel-Probes-" and a fresh identity) is made with mode 0700 on first use, after the
// stale folders of earlier runs were removed, and holds a lock file for the cache's life, so that
// removeStaleFolders of another instance leaves it alone.
//
// The cache is bounded: by the bytes it holds, and by the free space it leaves in its folder's file
// system. Adopting a file drops the oldest entries (never the newest few, which are being checked)
// until both bounds hold again; a dropped hit is simply no longer cached, and its bytes are fetched again when needed.
// Any thread: the lock guards the folder and the map, and is never held across file-system work.

#include "recovery/model/Uuid.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

struct ProbeCacheBounds {
    // The bytes of all cached files together: room for about forty probes cut at their cap.
    std::uint64_t maxBytes = 512ULL << 20;
    // The free space left in the folder's file system.
    std::uint64_t minFreeBytes = 256ULL << 20;
    // The newest entries kept whatever the bounds say: the probes being checked right now.
    std::size_t keepNewest = 8;
};

class HitProbeCache {
public:
    static constexpr std::string_view folderPrefix = "Vantrel-Probes-";
    static constexpr std::string_view probePrefix = "Vantrel-probe-tmp-";

    using Bounds = ProbeCacheBounds;
    // The free bytes of the file system a path lies on; nothing when it cannot be read.
    using FreeSpace = std::function<std::optional<std::uint64_t>(const std::filesystem::path&)>;
    static std::optional<std::uint64_t> systemFreeSpace(const std::filesystem::path& path);

    // Folders are made under temporaryRoot (the user's temporary directory by default).
    explicit HitProbeCache(std::filesystem::path temporaryRoot = std::filesystem::temp_directory_path(),
                           Bounds bounds = {}, FreeSpace freeSpace = systemFreeSpace);
    // Deletes the folder (clear).
    ~HitProbeCache();
    HitProbeCache(const HitProbeCache&) = delete;
    HitProbeCache& operator=(const HitProbeCache&) = delete;

    const std::filesystem::path& temporaryRoot() const { return m_root; }
    // The cache folder, made on first use. Throws std::system_error when it cannot be made.
    std::filesystem::path ensureDirectory();
    // The file name of a hit's probe: "<id>-<name>" when the suggested name, made safe, has an
    // extension, else "<id>.bin". A pure function of its arguments.
    static std::string probeFileName(const Uuid& id, std::string_view suggestedName);
    // Moves a freshly fetched file into the folder as the hit's entry, replacing an earlier one, and
    // returns its new place; then drops the oldest entries beyond the bounds. Throws
    // std::system_error; the source stays where it was then.
    std::filesystem::path adopt(const std::filesystem::path& source, const Uuid& id, std::string_view suggestedName);
    // The hit's cached file, if any.
    std::optional<std::filesystem::path> cachedFile(const Uuid& id) const;
    // Which adoption of the hit's probe the cache holds (0 when none): a probe dropped and fetched again
    // under the same name is another one.
    std::uint64_t adoptionOf(const Uuid& id) const;
    // The size of the hit's cached file; nothing without an entry or when the file is gone.
    std::optional<std::uint64_t> fileSize(const Uuid& id) const;
    // Forgets every entry and deletes the folder; errors are dropped.
    void clear();
    // Drops the oldest entries, files and all, until at most keep remain; returns how many bytes went.
    std::uint64_t dropOldest(std::size_t keep);
    // The bytes of all cached files, as adopted.
    std::uint64_t cachedBytes() const;

    // Removes, under root, the probe folders and probe files of this user that no running cache
    // holds: folders whose lock nobody holds (or that have no lock file and are older than a minute),
    // and probe files older than a minute. Symbolic links and other users' entries are left alone.
    // Returns how many entries were removed.
    static std::size_t removeStaleFolders(const std::filesystem::path& root);

private:
    struct Entry {
        std::filesystem::path file;
        std::uint64_t bytes = 0;
        std::uint64_t adoption = 0;  // its place in the adoption order
    };
    // Drops the oldest entries but the newest while a bound is broken.
    void enforceBounds();
    void dropFiles(const std::vector<std::filesystem::path>& files);

    std::filesystem::path m_root;
    Bounds m_bounds;
    FreeSpace m_freeSpace;
    mutable std::mutex m_lock;
    std::optional<std::filesystem::path> m_directory;
    int m_lockFd = -1;
    std::atomic<bool> m_swept{false};  // the stale entries of earlier runs were removed
    std::map<Uuid, Entry> m_files;
    // Adoption order, oldest first: each hit with the number of its adoption; a hit adopted again later
    // appears again with a higher number, and its older place is skipped.
    std::deque<std::pair<Uuid, std::uint64_t>> m_order;
    std::uint64_t m_adoptions = 0;
    std::uint64_t m_bytes = 0;
};

} // namespace vantrel
