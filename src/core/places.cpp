#include "core/places.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

namespace sayloft::core {

namespace fs = std::filesystem;

fs::path homeDir() {
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

namespace {

// An XDG variable counts only when it holds an absolute path.
fs::path xdgOr(const char* variable, const fs::path& belowHome) {
    if (const char* value = std::getenv(variable); value && *value == '/') return value;
    return homeDir() / belowHome;
}

bool isPrivateOwnedDir(const fs::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

}  // namespace

fs::path xdgConfigHome() {
    return xdgOr("XDG_CONFIG_HOME", ".config");
}
fs::path xdgStateHome() {
    return xdgOr("XDG_STATE_HOME", ".local/state");
}
fs::path xdgDataHome() {
    return xdgOr("XDG_DATA_HOME", ".local/share");
}
fs::path xdgCacheHome() {
    return xdgOr("XDG_CACHE_HOME", ".cache");
}

fs::path configDir() {
    return xdgConfigHome() / "sayloft";
}
fs::path stateDir() {
    return xdgStateHome() / "sayloft";
}
fs::path dataDir() {
    return xdgDataHome() / "sayloft";
}
fs::path cacheDir() {
    return xdgCacheHome() / "sayloft";
}

fs::path runtimeDir() {
    fs::path dir;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && isPrivateOwnedDir(runtime)) {
        dir = fs::path(runtime) / "sayloft";
    } else {
        dir = cacheDir() / ("runtime-" + std::to_string(::getuid()));
    }
    std::error_code ec;
    fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return dir;
    ::chmod(dir.c_str(), 0700);
    return dir;
}

namespace legacy {
fs::path appSupportDir() {
    return homeDir() / "Library" / "Application Support" / "sayloft";
}
fs::path logsDir() {
    return homeDir() / "Library" / "Logs" / "sayloft";
}
fs::path cachesDir() {
    return homeDir() / "Library" / "Caches" / "sayloft";
}
fs::path defaultsFile() {
    return homeDir() / "Library" / "Preferences" / "sayloft.defaults.json";
}
fs::path obsidianCloudDir() {
    return homeDir() / "Library" / "Mobile Documents" / "iCloud~md~obsidian" / "Documents";
}
}  // namespace legacy

namespace predecessor {
fs::path settingsFile() {
    return homeDir() / ".fennick.json";
}
fs::path xdgSettingsFile() {
    return xdgConfigHome() / "fennick" / "settings.json";
}
fs::path scanCacheFile() {
    return homeDir() / ".fennick-cache.json";
}
fs::path xdgCacheDir() {
    return xdgCacheHome() / "fennick";
}
fs::path supportDir() {
    return homeDir() / "Library" / "Application Support" / "Fennick";
}
fs::path xdgSupportDir() {
    return xdgDataHome() / "fennick";
}
fs::path logsDir() {
    return homeDir() / "Library" / "Logs" / "Fennick";
}
fs::path xdgLogsDir() {
    return xdgStateHome() / "fennick";
}
fs::path defaultsFile() {
    return xdgConfigHome() / "fennick" / "defaults.json";
}
fs::path secretsFile() {
    return xdgDataHome() / "fennick" / "secrets.json";
}
}  // namespace predecessor

std::vector<fs::path> obsidianRegistryFiles() {
    const fs::path home = homeDir();
    return {
        xdgConfigHome() / "obsidian" / "obsidian.json",
        home / ".var" / "app" / "md.obsidian.Obsidian" / "config" / "obsidian" / "obsidian.json",
        home / "snap" / "obsidian" / "current" / ".config" / "obsidian" / "obsidian.json"};
}
fs::path userBinDir() {
    return homeDir() / ".local" / "bin";
}
fs::path autostartDir() {
    return xdgConfigHome() / "autostart";
}
fs::path documentsDir() {
    return homeDir() / "Documents";
}

}  // namespace sayloft::core
