#pragma once
// The kernel's table of mounts as /proc/self/mountinfo lists it (proc(5)): one line per mount,
//   36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
//   (1)(2) (3)  (4)   (5)     (6)      (7)     (8) (9)    (10)      (11)
// (1) mount id, (2) parent id, (3) major:minor of the device, (4) root of the mount inside its file
// system, (5) mount point, (6) per-mount options, (7) zero or more optional fields, (8) a lone "-",
// (9) file-system type, (10) mount source, (11) per-superblock options. Paths escape blank, tab, line
// feed and backslash as a backslash and three octal digits.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

struct MountEntry {
    std::uint32_t mountId = 0;
    std::uint32_t parentId = 0;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::string root;           // the mounted folder inside the file system ("/" for a whole one)
    std::string target;         // the mount point
    std::string mountOptions;   // per-mount options, such as rw,nosuid,relatime
    std::string fileSystemType; // such as vfat, exfat, ext4
    std::string source;         // such as /dev/sdb1, or a name for pseudo file systems
    std::string superOptions;   // per-superblock options, such as rw,fmask=0022

    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

namespace MountTable {

// The table is refused past these: the kernel's own table is far smaller on any real system.
constexpr std::size_t maxTableBytes = 8 * 1024 * 1024;
constexpr std::size_t maxEntries = 65536;

// Parses the text of a mountinfo file; a malformed line is skipped.
std::vector<MountEntry> parse(std::string_view text);
// Parses one line; nothing when it is malformed.
std::optional<MountEntry> parseLine(std::string_view line);
// Reads and parses the file (default: this process's view); nothing when it cannot be read.
std::optional<std::vector<MountEntry>> read(const std::filesystem::path& path = "/proc/self/mountinfo");

// Undoes the octal escapes of a mountinfo path field (\040 → blank); other bytes stay as they are.
std::string unescape(std::string_view field);

} // namespace MountTable
} // namespace vantrel
