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

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> bytesOf(const std::string& text);

// A firmware image of `size` bytes: filler, the version text with its NUL
// at `versionOffset`, and the signature 40 bytes before the end of the
// 64 or 128 KiB image.
std::vector<uint8_t> firmwareImage(size_t size, const std::string& signature,
                                   const std::string& version, size_t versionOffset = 0x100);
// A 4096-byte loader with its version text and signature.
std::vector<uint8_t> loaderImage(const std::string& version = "UsbFlV v01.2",
                                 const std::string& signature = "eISP", size_t size = 4096);

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
