#include "model/Preferences.h"

#include <QSettings>
#include <QString>

#include "model/DataFolder.h"
#include "model/Replaceable.h"

namespace quorvel {

struct QtPreferences::Impl {
    explicit Impl(const std::string& application)
        : settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quorvel"),
                   QString::fromStdString(application)) {}
    mutable std::mutex mutex;  // QSettings is reentrant, not thread-safe
    QSettings settings;
};

QtPreferences::QtPreferences(std::string application) : impl_(std::make_unique<Impl>(application)) {}
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

namespace {
Replaceable<std::shared_ptr<Preferences>>& seam() {
    static Replaceable<std::shared_ptr<Preferences>> s(
        []() -> std::shared_ptr<Preferences> { return std::make_shared<QtPreferences>(executableName()); });
    return s;
}
}  // namespace

// The seam keeps the store alive until it is replaced.
Preferences& preferences() { return *seam().get(); }

std::shared_ptr<Preferences> setPreferences(std::shared_ptr<Preferences> replacement) {
    return seam().replace(std::move(replacement));
}

}  // namespace quorvel
