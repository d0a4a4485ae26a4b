#include "core/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace sayloft::core {

std::filesystem::path homeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir)
        return result->pw_dir;
    return "/";
}

std::string expandTilde(const std::string& path) {
    if (path == "~") return homeDir().string();
    if (path.starts_with("~/")) return (homeDir() / path.substr(2)).string();
    return path;
}

std::filesystem::path appSupportDir() {
    return homeDir() / "Library" / "Application Support" / "sayloft";
}
std::filesystem::path logsDir() {
    return homeDir() / "Library" / "Logs" / "sayloft";
}
std::filesystem::path cachesDir() {
    return homeDir() / "Library" / "Caches" / "sayloft";
}

}  // namespace sayloft::core
