#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "model/FirmwareLayout.h"

namespace quorvel::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

testing::AssertionResult holdsOnlyTheImage(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& file,
                                           size_t image) {
    if (file.size() < image || flash.size() < image)
        return testing::AssertionFailure()
               << "image of " << image << " bytes, file " << file.size() << ", flash " << flash.size();
    const auto differs = std::mismatch(flash.begin(), flash.begin() + static_cast<long>(image), file.begin());
    if (differs.first != flash.begin() + static_cast<long>(image))
        return testing::AssertionFailure() << "flash differs from the file at " << (differs.first - flash.begin());
    const auto written =
        std::find_if(flash.begin() + static_cast<long>(image), flash.end(), [](uint8_t b) { return b != 0xFF; });
    if (written != flash.end())
        return testing::AssertionFailure() << "flash written past the image at " << (written - flash.begin());
    return testing::AssertionSuccess();
}

ScopedPreferences::ScopedPreferences()
    : prefs_(std::make_shared<MemoryPreferences>()), previous_(setPreferences(prefs_)) {}
ScopedPreferences::~ScopedPreferences() { setPreferences(previous_); }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (previous_) ::setenv(name_.c_str(), previous_->c_str(), 1);
    else ::unsetenv(name_.c_str());
}

std::string capturedStdout(const std::function<void()>& action) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    try {
        action();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace quorvel::test
