#include "model/DataFolder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quorvel {

std::string executablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::string executableName() {
    auto name = std::filesystem::path(executablePath()).filename().string();
    return name.empty() ? std::string("Quorvel") : name;
}

std::string dataFolder() {
    if (const char* env = std::getenv("QUORVEL_DATA_DIR"); env && *env)
        return std::filesystem::path(env).lexically_normal().string();
    auto folder = std::filesystem::path(executablePath()).parent_path();
    return (folder / ".." / "share" / "quorvel").lexically_normal().string();
}

}  // namespace quorvel
