#include "Vantrel/scan/HitProbeCache.h"

#include "recovery/filesystems/UndeleteNamingState.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace vantrel {

namespace {

constexpr std::string_view lockFileName = ".lock";
// An entry younger than this may belong to an instance that is making it right now.
constexpr std::chrono::seconds staleAfterSeconds{60};
// A file name is at most this long on the file systems of a temporary directory.
constexpr std::size_t maxFileNameBytes = 255;

[[noreturn]] void failWith(int error, const std::filesystem::path& path) {
    throw std::system_error(error, std::generic_category(), path.string());
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The extension after the last full stop; none for a name that starts with its only full stop.
std::string_view extensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
    return name.substr(dot + 1);
}

bool olderThan(const struct stat& info, std::chrono::seconds age) {
    const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    return std::chrono::system_clock::now() - modified > age;
}

// Whether no cache holds the folder's lock; takes the lock (released when fd closes) when so.
bool unheldLock(const std::filesystem::path& folder, const struct stat& info) {
    const auto lockPath = folder / lockFileName;
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT && olderThan(info, staleAfterSeconds);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

} // namespace

HitProbeCache::HitProbeCache(std::filesystem::path temporaryRoot, Bounds bounds, FreeSpace freeSpace)
    : m_root(std::move(temporaryRoot)), m_bounds(bounds), m_freeSpace(std::move(freeSpace)) {}

std::optional<std::uint64_t> HitProbeCache::systemFreeSpace(const std::filesystem::path& path) {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

HitProbeCache::~HitProbeCache() {
    // The cache lives as long as the program: its end is the quit, which leaves no probes behind. A
    // folder of a run that crashed is removed by the next start (removeStaleFolders).
    clear();
}

std::filesystem::path HitProbeCache::ensureDirectory() {
    {
        std::lock_guard lock(m_lock);
        if (m_directory) return *m_directory;
    }
    // Folders and files of runs that ended without clearing go before this run adds its own.
    if (!m_swept.exchange(true)) removeStaleFolders(m_root);
    std::string name(folderPrefix);
    for (char c : Uuid::random().toString()) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto folder = m_root / name;
    // Made and locked under a hidden name, then put in place: another run's sweep never sees the folder
    // before its lock is held (it would take it for a crashed run's and remove it).
    const auto pending = m_root / ("." + name);
    // Private to this user, and never an entry that already exists (mkdir does not follow links).
    if (::mkdir(pending.c_str(), 0700) != 0) failWith(errno, pending);
    const auto lockPath = pending / lockFileName;
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(pending.c_str(), folder.c_str()) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        std::error_code ignored;
        std::filesystem::remove_all(pending, ignored);
        failWith(error, fd < 0 ? lockPath : folder);
    }
    int previousFd = -1;
    {
        std::lock_guard lock(m_lock);
        m_directory = folder;
        previousFd = std::exchange(m_lockFd, fd);
    }
    if (previousFd >= 0) ::close(previousFd);
    return folder;
}

std::string HitProbeCache::probeFileName(const Uuid& id, std::string_view suggestedName) {
    std::string flattened(suggestedName);
    for (char& c : flattened)
        if (c == '/' || c == ':') c = '_';
    // The name comes from a disk: no separators, no "..", no control characters, bounded.
    const std::string safe = UndeleteNamingState::makeSafeFileName(flattened);
    const std::string identity = id.toString();
    const auto extension = extensionOf(safe);
    if (extension.empty()) return identity + ".bin";
    std::string name = identity + "-" + safe;
    if (name.size() <= maxFileNameBytes) return name;
    if (identity.size() + 1 + extension.size() <= maxFileNameBytes) return identity + "." + std::string(extension);
    return identity + ".bin";
}

std::filesystem::path HitProbeCache::adopt(const std::filesystem::path& source, const Uuid& id,
                                           std::string_view suggestedName) {
    const auto folder = ensureDirectory();
    const auto destination = folder / probeFileName(id, suggestedName);
    {
        // Moved in and recorded under the lock that drops take to remove their files: a drop of the hit's
        // earlier file, which has the same name, then never removes this one.
        std::lock_guard lock(m_lock);
        if (source != destination) {
            // rename replaces an earlier file of the hit in one step.
            if (::rename(source.c_str(), destination.c_str()) != 0) failWith(errno, source);
        }
        struct stat info {};
        const std::uint64_t bytes = ::lstat(destination.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
        auto& entry = m_files[id];
        m_bytes = m_bytes - entry.bytes + bytes;
        entry = {destination, bytes, ++m_adoptions};
        m_order.emplace_back(id, entry.adoption);
    }
    enforceBounds();
    return destination;
}

void HitProbeCache::enforceBounds() {
    std::optional<std::filesystem::path> folder;
    {
        std::lock_guard lock(m_lock);
        folder = m_directory;
    }
    if (!folder) return;
    for (;;) {
        std::size_t entries = 0;
        bool overBytes = false;
        {
            std::lock_guard lock(m_lock);
            entries = m_files.size();
            overBytes = m_bytes > m_bounds.maxBytes;
        }
        if (entries <= std::max<std::size_t>(m_bounds.keepNewest, 1)) return;
        if (!overBytes) {
            // Asked outside the lock: the file system's answer may take a while.
            const auto free = m_freeSpace ? m_freeSpace(*folder) : std::nullopt;
            if (!free || *free >= m_bounds.minFreeBytes) return;
        }
        if (dropOldest(entries - 1) == 0) return;
    }
}

std::uint64_t HitProbeCache::dropOldest(std::size_t keep) {
    std::vector<std::filesystem::path> files;
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(m_lock);
        while (m_files.size() > keep && !m_order.empty()) {
            const auto [oldest, adoption] = m_order.front();
            m_order.pop_front();
            const auto found = m_files.find(oldest);
            if (found == m_files.end() || found->second.adoption != adoption) continue;
            files.push_back(found->second.file);
            dropped += found->second.bytes;
            m_bytes -= found->second.bytes;
            m_files.erase(found);
        }
        // Removed before another adoption of the same hit can put a new file under the same name.
        dropFiles(files);
    }
    return dropped;
}

void HitProbeCache::dropFiles(const std::vector<std::filesystem::path>& files) {
    for (const auto& file : files) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
}

std::uint64_t HitProbeCache::cachedBytes() const {
    std::lock_guard lock(m_lock);
    return m_bytes;
}

std::optional<std::filesystem::path> HitProbeCache::cachedFile(const Uuid& id) const {
    std::lock_guard lock(m_lock);
    const auto found = m_files.find(id);
    if (found == m_files.end()) return std::nullopt;
    return found->second.file;
}

std::uint64_t HitProbeCache::adoptionOf(const Uuid& id) const {
    std::lock_guard lock(m_lock);
    const auto found = m_files.find(id);
    return found == m_files.end() ? 0 : found->second.adoption;
}

std::optional<std::uint64_t> HitProbeCache::fileSize(const Uuid& id) const {
    const auto file = cachedFile(id);
    if (!file) return std::nullopt;
    struct stat info {};
    if (::lstat(file->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

void HitProbeCache::clear() {
    std::optional<std::filesystem::path> folder;
    int fd = -1;
    {
        std::lock_guard lock(m_lock);
        m_files.clear();
        m_order.clear();
        m_bytes = 0;
        folder = std::exchange(m_directory, std::nullopt);
        fd = std::exchange(m_lockFd, -1);
    }
    if (folder) {
        std::error_code ignored;
        std::filesystem::remove_all(*folder, ignored);
    }
    if (fd >= 0) ::close(fd);
}

std::size_t HitProbeCache::removeStaleFolders(const std::filesystem::path& root) {
    std::size_t removed = 0;
    std::error_code error;
    std::filesystem::directory_iterator entries(root, error);
    // Bounded: a temporary directory with more entries than this is not searched further.
    constexpr std::size_t maxEntries = 100'000;
    std::size_t seen = 0;
    for (; !error && entries != std::filesystem::directory_iterator() && seen < maxEntries; entries.increment(error), ++seen) {
        const auto path = entries->path();
        const auto name = path.filename().string();
        // A hidden one is a folder being made, or one whose making was cut short: only an old one goes.
        const bool hidden = startsWith(name, ".") && startsWith(name.substr(1), folderPrefix);
        const bool folder = startsWith(name, folderPrefix) || hidden;
        const bool probe = startsWith(name, probePrefix);
        if (!folder && !probe) continue;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || info.st_uid != ::geteuid()) continue;
        std::error_code ignored;
        if (folder && S_ISDIR(info.st_mode) && (!hidden || olderThan(info, staleAfterSeconds)) && unheldLock(path, info)) {
            std::filesystem::remove_all(path, ignored);
            ++removed;
        } else if (probe && S_ISREG(info.st_mode) && olderThan(info, staleAfterSeconds)) {
            std::filesystem::remove(path, ignored);
            ++removed;
        }
    }
    return removed;
}

} // namespace vantrel
