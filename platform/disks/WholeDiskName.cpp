#include "platform/disks/WholeDiskName.h"

#include <array>
#include <cctype>

namespace vantrel {

namespace {

// Kernel names are short; this also keeps a hostile text from becoming a long sysfs path.
constexpr std::size_t maxDeviceNameBytes = 64;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string wholeDiskFromShape(std::string_view name) {
    std::size_t digitsStart = name.size();
    while (digitsStart > 0 && isDigit(name[digitsStart - 1])) --digitsStart;
    if (digitsStart == name.size() || digitsStart == 0) return std::string(name);
    // mmcblk0p1, nvme0n1p2, loop3p1: the partition number follows a "p" that follows the disk's digit.
    if (digitsStart >= 2 && name[digitsStart - 1] == 'p' && isDigit(name[digitsStart - 2]))
        return std::string(name.substr(0, digitsStart - 1));
    // sdb1, hda2, vdc3, xvda1: the disk's name is letters only, so the digits are the partition number.
    static constexpr std::array<std::string_view, 4> letterDiskPrefixes = {"sd", "hd", "vd", "xvd"};
    const auto letters = name.substr(0, digitsStart);
    for (const auto prefix : letterDiskPrefixes) {
        if (letters.size() > prefix.size() && letters.substr(0, prefix.size()) == prefix) return std::string(letters);
    }
    return std::string(name);
}

} // namespace

bool isPlausibleDeviceName(std::string_view name) {
    if (name.empty() || name.size() > maxDeviceNameBytes || name == "." || name == "..") return false;
    for (const char c : name) {
        if (c == '/' || std::iscntrl(static_cast<unsigned char>(c)) || c == ' ') return false;
    }
    return true;
}

std::string wholeDiskName(std::string_view nameOrPath, const std::filesystem::path& sysfsRoot) {
    std::string_view name = nameOrPath;
    if (name.substr(0, 5) == "/dev/") name.remove_prefix(5);
    if (!isPlausibleDeviceName(name)) return std::string(nameOrPath);
    std::error_code error;
    const auto entry = sysfsRoot / "class" / "block" / std::string(name);
    if (std::filesystem::exists(entry, error)) {
        if (!std::filesystem::exists(entry / "partition", error)) return std::string(name);
        const auto resolved = std::filesystem::canonical(entry, error);
        if (!error) {
            const auto parent = resolved.parent_path().filename().string();
            if (isPlausibleDeviceName(parent)) return parent;
        }
    }
    return wholeDiskFromShape(name);
}

} // namespace vantrel
