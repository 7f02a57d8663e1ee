#include "Vantrel/effects/QtSettingsStore.h"

#include <QSettings>
#include <QString>

namespace vantrel {

namespace {

QString qtKey(std::string_view key) {
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}

} // namespace

QtSettingsStore::QtSettingsStore()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vantrel"),
                                             QStringLiteral("Vantrel"))) {}

QtSettingsStore::QtSettingsStore(const std::string& iniFile)
    : m_settings(std::make_unique<QSettings>(QString::fromStdString(iniFile), QSettings::IniFormat)) {}

QtSettingsStore::~QtSettingsStore() = default;

bool QtSettingsStore::contains(std::string_view key) const {
    return m_settings->contains(qtKey(key));
}

std::optional<std::string> QtSettingsStore::string(std::string_view key) const {
    const QVariant value = m_settings->value(qtKey(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

bool QtSettingsStore::boolValue(std::string_view key) const {
    const QVariant value = m_settings->value(qtKey(key));
    return value.isValid() && value.toBool();
}

void QtSettingsStore::setString(std::string_view key, const std::string& value) {
    m_settings->setValue(qtKey(key), QString::fromStdString(value));
}

void QtSettingsStore::setBool(std::string_view key, bool value) {
    m_settings->setValue(qtKey(key), value);
}

void QtSettingsStore::remove(std::string_view key) {
    m_settings->remove(qtKey(key));
}

} // namespace vantrel
