// Small helpers shared by the tests: temporary folders, file writing,
// firmware and loader images, scoped process-wide replacements.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emu/SampleFiles.h"
#include "support/MemoryPreferences.h"

namespace quorvel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> bytesOf(const std::string& text);

// The image builders and the writer are the emulator's: tests and the
// emulator's sample files share one layout.
using emu::firmwareImage;
using emu::loaderImage;
inline void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    emu::writeBytes(path, bytes);
}

// Whether `flash` holds the first `image` bytes of `file` and nothing past
// them (erased, 0xFF).
testing::AssertionResult holdsOnlyTheImage(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& file,
                                           size_t image);

// Installs in-memory preferences for the scope of the object.
class ScopedPreferences {
public:
    ScopedPreferences();
    ~ScopedPreferences();
    MemoryPreferences& operator*() { return *prefs_; }
    MemoryPreferences* operator->() { return prefs_.get(); }

private:
    std::shared_ptr<MemoryPreferences> prefs_;
    std::shared_ptr<Preferences> previous_;
};

// Sets an environment variable for the scope of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// What `action` writes to standard output. The capture ends even when
// `action` throws, so that the failure is reported and later tests can capture.
std::string capturedStdout(const std::function<void()>& action);

}  // namespace quorvel::test
