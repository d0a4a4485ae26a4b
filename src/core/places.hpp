#pragma once

#include <filesystem>
#include <string>

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
}  // namespace legacy

}  // namespace sayloft::core
