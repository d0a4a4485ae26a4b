#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Where sayloft keeps its files. This is the one module that builds paths below the home folder;
// everything else asks it. The XDG base directory variables are honoured, with their defaults.
namespace sayloft::core {

// The user's home folder: $HOME, else the password database entry.
std::filesystem::path homeDir();
// Expands a leading "~" or "~/" to the home folder; other paths are returned unchanged.
std::string expandTilde(const std::string& path);

// $XDG_CONFIG_HOME/sayloft (~/.config/sayloft): settings.json.
std::filesystem::path configDir();
// $XDG_STATE_HOME/sayloft (~/.local/state/sayloft): capture state, user defaults, capture log.
std::filesystem::path stateDir();
// $XDG_DATA_HOME/sayloft (~/.local/share/sayloft): the file secret store, recording work folders.
std::filesystem::path dataDir();
// $XDG_CACHE_HOME/sayloft (~/.cache/sayloft): caches that may be thrown away.
std::filesystem::path cacheDir();
// $XDG_RUNTIME_DIR/sayloft: the engine's lock, control socket and pid. Without a runtime dir (or
// with one that is not a private, owned folder), a private folder below the cache directory.
// Created with mode 0700 when missing.
std::filesystem::path runtimeDir();

// The base directories themselves (without "sayloft"), for other programs' places.
std::filesystem::path xdgConfigHome();
std::filesystem::path xdgStateHome();
std::filesystem::path xdgDataHome();
std::filesystem::path xdgCacheHome();

// The macOS-shaped layout of earlier versions, read only by the migration.
namespace legacy {
std::filesystem::path appSupportDir();  // ~/Library/Application Support/sayloft
std::filesystem::path logsDir();        // ~/Library/Logs/sayloft
std::filesystem::path cachesDir();      // ~/Library/Caches/sayloft
std::filesystem::path defaultsFile();   // ~/Library/Preferences/sayloft.defaults.json
// Obsidian's iCloud folder in a home synced from a Mac (a vault search root).
std::filesystem::path
obsidianCloudDir();  // ~/Library/Mobile Documents/iCloud~md~obsidian/Documents
}  // namespace legacy

// The predecessor application's places, read only by its migration: the home-relative ones of a
// home synced from a Mac and their XDG counterparts.
namespace predecessor {
std::filesystem::path settingsFile();     // ~/.fennick.json
std::filesystem::path xdgSettingsFile();  // $XDG_CONFIG_HOME/fennick/settings.json
std::filesystem::path scanCacheFile();    // ~/.fennick-cache.json
std::filesystem::path xdgCacheDir();      // $XDG_CACHE_HOME/fennick
std::filesystem::path supportDir();       // ~/Library/Application Support/Fennick
std::filesystem::path xdgSupportDir();    // $XDG_DATA_HOME/fennick
std::filesystem::path logsDir();          // ~/Library/Logs/Fennick
std::filesystem::path xdgLogsDir();       // $XDG_STATE_HOME/fennick
std::filesystem::path defaultsFile();     // $XDG_CONFIG_HOME/fennick/defaults.json
std::filesystem::path secretsFile();      // $XDG_DATA_HOME/fennick/secrets.json (mode 0600)
}  // namespace predecessor

// Other programs' places that sayloft reads.
// Obsidian's vault registry: the native, Flatpak and Snap installs, in this order.
std::vector<std::filesystem::path> obsidianRegistryFiles();
// Per-user programs: ~/.local/bin.
std::filesystem::path userBinDir();
// $XDG_CONFIG_HOME/autostart: desktop entries started at login.
std::filesystem::path autostartDir();
// The folder a new vault goes into by default: ~/Documents.
std::filesystem::path documentsDir();

}  // namespace sayloft::core
