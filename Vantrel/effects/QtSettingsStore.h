#pragma once
// User defaults in QSettings (~/.config/Vantrel/Vantrel.conf for the running program).

#include "Vantrel/effects/SettingsStore.h"

#include <memory>

class QSettings;

namespace vantrel {

class QtSettingsStore final : public SettingsStore {
public:
    // The application's own settings.
    QtSettingsStore();
    // Settings in the given INI file (tests).
    explicit QtSettingsStore(const std::string& iniFile);
    ~QtSettingsStore() override;

    bool contains(std::string_view key) const override;
    std::optional<std::string> string(std::string_view key) const override;
    bool boolValue(std::string_view key) const override;
    void setString(std::string_view key, const std::string& value) override;
    void setBool(std::string_view key, bool value) override;
    void remove(std::string_view key) override;

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace vantrel
