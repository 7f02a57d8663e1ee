#include "platform/defaults/DefaultsStore.h"

#include "platform/files/SmallFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace vantrel {

namespace {

// Only the owner reads a program's settings.
constexpr mode_t storeFileMode = 0600;

std::string programName() {
    // GNU's short invocation name (the last component of argv[0]); a fixed name when it is unusable.
    const std::string name = program_invocation_short_name ? program_invocation_short_name : "";
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return "vantrel";
    return name;
}

} // namespace

DefaultsStore::DefaultsStore(std::filesystem::path file) : m_file(std::move(file)) {}

std::filesystem::path DefaultsStore::configurationFolder() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return std::filesystem::path(home) / ".config";
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16 * 1024, '\0');
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return std::filesystem::path(found->pw_dir) / ".config";
    return {};
}

DefaultsStore& DefaultsStore::standard() {
    static DefaultsStore store([] {
        const auto folder = configurationFolder();
        return folder.empty() ? std::filesystem::path() : folder / "vantrel" / (programName() + ".json");
    }());
    return store;
}

nlohmann::json DefaultsStore::load() const {
    if (m_file.empty()) return nlohmann::json::object();
    const auto text = SmallFile::readRegular(m_file, maxFileBytes);
    if (!text) return nlohmann::json::object();
    auto parsed = nlohmann::json::parse(*text, nullptr, false);
    return parsed.is_object() ? parsed : nlohmann::json::object();
}

bool DefaultsStore::save(const nlohmann::json& object) const {
    if (m_file.empty()) return false;
    std::error_code error;
    const auto folder = m_file.parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error) return false;
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
    const std::string text = object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    return SmallFile::writeAtomically(m_file, text, storeFileMode);
}

bool DefaultsStore::contains(std::string_view key) const { return value(key).has_value(); }

std::optional<nlohmann::json> DefaultsStore::value(std::string_view key) const {
    std::lock_guard lock(m_mutex);
    const auto object = load();
    const auto found = object.find(std::string(key));
    if (found == object.end() || found->is_null()) return std::nullopt;
    return *found;
}

bool DefaultsStore::boolValue(std::string_view key) const {
    const auto stored = value(key);
    if (!stored) return false;
    if (stored->is_boolean()) return stored->get<bool>();
    if (stored->is_number_integer()) return stored->get<std::int64_t>() != 0;
    if (stored->is_number_unsigned()) return stored->get<std::uint64_t>() != 0;
    if (stored->is_number_float()) return stored->get<double>() != 0.0;
    if (stored->is_string()) {
        std::string text = stored->get<std::string>();
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text == "true" || text == "yes" || text == "1";
    }
    return false;
}

bool DefaultsStore::setValue(std::string_view key, const nlohmann::json& stored) {
    std::lock_guard lock(m_mutex);
    auto object = load();
    object[std::string(key)] = stored;
    return save(object);
}

bool DefaultsStore::remove(std::string_view key) {
    std::lock_guard lock(m_mutex);
    auto object = load();
    object.erase(std::string(key));
    return save(object);
}

} // namespace vantrel
