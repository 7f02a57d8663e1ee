#pragma once
// The application's user defaults ("preferredScanMode", "didPromptDiskAccessSetup"). Main thread only.
// Values are texts and Booleans; a key that was never written has no value.

#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual bool contains(std::string_view key) const = 0;
    virtual std::optional<std::string> string(std::string_view key) const = 0;
    // False for a missing key and for anything but a stored true.
    virtual bool boolValue(std::string_view key) const = 0;
    virtual void setString(std::string_view key, const std::string& value) = 0;
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void remove(std::string_view key) = 0;
};

} // namespace vantrel
