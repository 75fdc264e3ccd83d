#include "model/Preferences.h"

#include <QSettings>
#include <QString>

#include "model/DataFolder.h"

namespace quorvel {

struct QtPreferences::Impl {
    explicit Impl(const std::string& application)
        : settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvel"),
                   QString::fromStdString(application)) {}
    mutable std::mutex mutex;  // QSettings is reentrant, not thread-safe
    QSettings settings;
};

QtPreferences::QtPreferences(std::string application)
    : impl_(std::make_unique<Impl>(application)) {}
QtPreferences::~QtPreferences() = default;

std::optional<std::string> QtPreferences::string(const std::string& key) const {
    std::lock_guard lock(impl_->mutex);
    const QVariant value = impl_->settings.value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
}

void QtPreferences::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(impl_->mutex);
    impl_->settings.setValue(QString::fromStdString(key), QString::fromStdString(value));
}

void QtPreferences::remove(const std::string& key) {
    std::lock_guard lock(impl_->mutex);
    impl_->settings.remove(QString::fromStdString(key));
}

void QtPreferences::sync() {
    std::lock_guard lock(impl_->mutex);
    impl_->settings.sync();
}

std::optional<std::string> MemoryPreferences::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void MemoryPreferences::setString(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    values_[key] = value;
}

void MemoryPreferences::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

namespace {
std::mutex preferencesMutex;
std::shared_ptr<Preferences>& current() {
    static std::shared_ptr<Preferences> p;
    return p;
}
}  // namespace

Preferences& preferences() {
    std::lock_guard lock(preferencesMutex);
    auto& p = current();
    if (!p) p = std::make_shared<QtPreferences>(executableName());
    return *p;
}

std::shared_ptr<Preferences> setPreferences(std::shared_ptr<Preferences> replacement) {
    std::lock_guard lock(preferencesMutex);
    auto previous = current();
    current() = std::move(replacement);
    return previous;
}

}  // namespace quorvel
