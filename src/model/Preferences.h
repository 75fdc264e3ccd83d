// The per-user preference store through which chosen paths and versions
// travel between the window, the checks and later runs.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace quorvel {

class Preferences {
public:
    virtual ~Preferences() = default;
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void remove(const std::string& key) = 0;
    // Writes what is pending to disk at once.
    virtual void sync() = 0;
};

// QSettings under $XDG_CONFIG_HOME/Quorvel/<application>.conf.
class QtPreferences : public Preferences {
public:
    explicit QtPreferences(std::string application);
    ~QtPreferences() override;
    std::optional<std::string> string(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void remove(const std::string& key) override;
    void sync() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process's store: QtPreferences named after the running program unless
// a test or a program installs another.
Preferences& preferences();
std::shared_ptr<Preferences> setPreferences(std::shared_ptr<Preferences> replacement);

}  // namespace quorvel
