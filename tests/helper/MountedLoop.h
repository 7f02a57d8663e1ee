#pragma once
// A loop device over a fresh image with a file system, mounted in a temporary folder, and taken down
// again at the end. Needs root.

#include "platform/disks/MountTable.h"
#include "tests/fixtures/LoopDevice.h"
#include "tests/fixtures/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace vantrel::test {

inline std::optional<MountEntry> mountAt(const std::filesystem::path& target) {
    const auto table = MountTable::read();
    if (!table) return std::nullopt;
    for (const auto& entry : *table)
        if (entry.target == target) return entry;
    return std::nullopt;
}

inline bool canMakeLoopDevices() { return LoopDevice::unavailableReason().empty() && haveProgram("mkfs.ext4"); }

// An image formatted as ext4 (for a loop device's member initialiser).
inline const std::filesystem::path& formattedExt4(const std::filesystem::path& image) {
    runOrFail({"mkfs.ext4", "-q", "-F", image.string()});
    return image;
}

class MountedLoop {
public:
    static constexpr std::uint64_t imageBytes = 16 * 1024 * 1024;

    // An ext4 image of bytes (sparse) in dir, mounted at target (dir/mnt when none is given).
    explicit MountedLoop(const TempDir& dir, std::filesystem::path target = {}, std::uint64_t bytes = imageBytes)
        : m_target(target.empty() ? dir / "mnt" : std::move(target)), m_loop(formattedExt4(sizedImage(dir, bytes)), 512, false) {
        if (m_loop.path().empty()) ADD_FAILURE() << "losetup could not attach " << (dir / "disk.img");
        std::filesystem::create_directories(m_target);
        runOrFail({"mount", "-t", "ext4", device(), m_target.string()});
        writeFile(m_target / "kept.txt", randomBytes(100, 9));
    }
    // Unmounted before the loop device is detached.
    ~MountedLoop() {
        for (const auto& extra : m_extraTargets)
            if (mountAt(extra)) run({"umount", extra.string()});
        if (mountAt(m_target)) run({"umount", m_target.string()});
    }
    MountedLoop(const MountedLoop&) = delete;
    MountedLoop& operator=(const MountedLoop&) = delete;

    const std::string& device() const { return m_loop.path(); }
    std::string name() const { return std::filesystem::path(device()).filename().string(); }
    const std::filesystem::path& target() const { return m_target; }
    // Bind-mounts a folder of the volume at target; unmounted at the end too.
    void bind(const std::filesystem::path& folder, const std::filesystem::path& target) {
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(target);
        runOrFail({"mount", "--bind", folder.string(), target.string()});
        m_extraTargets.push_back(target);
    }

private:
    static std::filesystem::path sizedImage(const TempDir& dir, std::uint64_t bytes) {
        const auto image = dir / "disk.img";
        writeFile(image, {});
        std::filesystem::resize_file(image, bytes);
        return image;
    }

    std::filesystem::path m_target;
    LoopDevice m_loop;
    std::vector<std::filesystem::path> m_extraTargets;
};

} // namespace vantrel::test
