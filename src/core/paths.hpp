#pragma once

#include <filesystem>
#include <string>

namespace sayloft::core {

// The user's home folder: $HOME, else the password database entry.
std::filesystem::path homeDir();
// Expands a leading "~" or "~/" to the home folder; other paths are returned unchanged.
std::string expandTilde(const std::string& path);
// "Library/Application Support/sayloft" below the home folder.
std::filesystem::path appSupportDir();
// "Library/Logs/sayloft" below the home folder.
std::filesystem::path logsDir();
// "Library/Caches/sayloft" below the home folder.
std::filesystem::path cachesDir();

}  // namespace sayloft::core
