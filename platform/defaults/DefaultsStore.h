#pragma once
// A program's user defaults for code without Qt: one small JSON object in a file under the user's
// configuration folder ($XDG_CONFIG_HOME/vantrel/, else ~/.config/vantrel/). Every read goes to the file,
// so a value another process wrote is seen at once; every write replaces the file whole.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

class DefaultsStore {
public:
    // A store file larger than this is treated as empty: defaults are a handful of small values.
    static constexpr std::size_t maxFileBytes = 256 * 1024;

    explicit DefaultsStore(std::filesystem::path file);

    // The store of the running program: <configuration folder>/vantrel/<program name>.json.
    static DefaultsStore& standard();
    // The configuration folder of this user: $XDG_CONFIG_HOME when it is an absolute path, else
    // $HOME/.config, else the home folder from the password database; empty when none is known.
    static std::filesystem::path configurationFolder();

    const std::filesystem::path& file() const { return m_file; }

    // Whether any value is stored under the key.
    bool contains(std::string_view key) const;
    // The value under the key, when there is one.
    std::optional<nlohmann::json> value(std::string_view key) const;
    // The key's value read as a Boolean: true, a non-zero number, or the text "true", "yes" or "1" (any
    // letter case) is true; anything else, and no value, is false.
    bool boolValue(std::string_view key) const;

    // Stores the value (creating the folder with mode 0700). False when the file cannot be written.
    bool setValue(std::string_view key, const nlohmann::json& value);
    bool setBool(std::string_view key, bool value) { return setValue(key, nlohmann::json(value)); }
    bool remove(std::string_view key);

private:
    nlohmann::json load() const;
    bool save(const nlohmann::json& object) const;

    std::filesystem::path m_file;
    // Serialises read-modify-write within this process; across processes the last rename wins.
    mutable std::mutex m_mutex;
};

} // namespace vantrel
