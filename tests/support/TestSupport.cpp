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

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> firmwareImage(size_t size, const std::string& signature,
                                   const std::string& version, size_t versionOffset) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + 3) & 0x7F) | 0x80;
    if (!version.empty()) {
        std::copy(version.begin(), version.end(), image.begin() + static_cast<long>(versionOffset));
        image[versionOffset + version.size()] = 0;
    }
    const size_t at = size / 1024 == layout::firmwareLargeSize / 1024 ? layout::firmwareLargeSignatureOffset
                                                                       : layout::firmwareSmallSignatureOffset;
    if (at + signature.size() <= size) std::copy(signature.begin(), signature.end(), image.begin() + static_cast<long>(at));
    return image;
}

std::vector<uint8_t> loaderImage(const std::string& version, const std::string& signature, size_t size) {
    std::vector<uint8_t> image(size, 0xA5);
    std::copy(version.begin(), version.end(), image.begin() + 16);
    image[16 + version.size()] = 0;
    if (size >= layout::loaderSignatureOffset + signature.size())
        std::copy(signature.begin(), signature.end(), image.begin() + layout::loaderSignatureOffset);
    return image;
}

testing::AssertionResult holdsOnlyTheImage(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& file,
                                           size_t image) {
    if (file.size() < image || flash.size() < image)
        return testing::AssertionFailure() << "image of " << image << " bytes, file " << file.size() << ", flash "
                                           << flash.size();
    const auto differs = std::mismatch(flash.begin(), flash.begin() + static_cast<long>(image), file.begin());
    if (differs.first != flash.begin() + static_cast<long>(image))
        return testing::AssertionFailure() << "flash differs from the file at " << (differs.first - flash.begin());
    const auto written = std::find_if(flash.begin() + static_cast<long>(image), flash.end(),
                                      [](uint8_t b) { return b != 0xFF; });
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
