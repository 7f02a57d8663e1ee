#include "platform/disks/DiskInventoryUdev.h"

#include "platform/files/SmallFile.h"

#include <charconv>
#include <libudev.h>
#include <memory>
#include <sys/sysmacros.h>

namespace vantrel {

namespace {

bool onSystemRoots(const DiskInventoryRoots& roots) {
    const DiskInventoryRoots system;
    return roots.sysfs == system.sysfs && roots.udevData == system.udevData;
}

// Lines "E:KEY=value" of a record file carry the properties.
std::map<std::string, std::string> fromRecord(std::string_view text) {
    std::map<std::string, std::string> properties;
    while (!text.empty() && properties.size() < maxUdevProperties) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const auto equals = line.find('=');
        if (line.substr(0, 2) != "E:" || equals == std::string_view::npos) continue;
        properties[std::string(line.substr(2, equals - 2))] = std::string(line.substr(equals + 1));
    }
    return properties;
}

std::map<std::string, std::string> throughLibudev(unsigned major, unsigned minor) {
    std::map<std::string, std::string> properties;
    const std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
    if (!context) return properties;
    const std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
        udev_device_new_from_devnum(context.get(), 'b', makedev(major, minor)), udev_device_unref);
    if (!device) return properties;
    std::size_t bytes = 0;
    for (udev_list_entry* entry = udev_device_get_properties_list_entry(device.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        const char* name = udev_list_entry_get_name(entry);
        const char* value = udev_list_entry_get_value(entry);
        if (!name) continue;
        const std::string_view text = value ? value : "";
        bytes += std::char_traits<char>::length(name) + text.size();
        if (properties.size() >= maxUdevProperties || bytes > maxUdevRecordBytes) break;
        properties[name] = std::string(text);
    }
    return properties;
}

} // namespace

std::map<std::string, std::string> udevDatabaseProperties(unsigned major, unsigned minor, const DiskInventoryRoots& roots) {
    if (major == 0 && minor == 0) return {};
    if (onSystemRoots(roots)) return throughLibudev(major, minor);
    const auto record = SmallFile::readRegular(roots.udevData / ("b" + std::to_string(major) + ":" + std::to_string(minor)),
                                               maxUdevRecordBytes);
    return record ? fromRecord(*record) : std::map<std::string, std::string>{};
}

std::map<std::string, std::string> udevDatabaseProperties(std::string_view majorMinor, const DiskInventoryRoots& roots) {
    const auto colon = majorMinor.find(':');
    if (colon == std::string_view::npos) return {};
    unsigned major = 0;
    unsigned minor = 0;
    const auto parse = [](std::string_view digits, unsigned& value) {
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return !digits.empty() && error == std::errc() && end == digits.data() + digits.size();
    };
    if (!parse(majorMinor.substr(0, colon), major) || !parse(majorMinor.substr(colon + 1), minor)) return {};
    return udevDatabaseProperties(major, minor, roots);
}

} // namespace vantrel
