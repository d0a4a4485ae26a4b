#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"

namespace sayloft::test {

// Polls `condition` until it holds or `seconds` of real time pass; its last answer. For waits on
// other processes and threads, never for a delay the product defines.
template <class F>
bool eventually(F condition, double seconds = 60) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// A fresh temporary folder, removed with everything in it on destruction.
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

// HOME and every XDG base directory (runtime dir included, mode 0700) inside `home`, for a child
// process that must never touch the user's real places.
std::vector<std::pair<std::string, std::string>> homeEnv(
    const std::filesystem::path& home, std::vector<std::pair<std::string, std::string>> extra = {});

// Points HOME and the XDG base directories at a temporary folder for the life of the object,
// restoring them afterwards.
class TempHome {
  public:
    TempHome();
    ~TempHome();
    const std::filesystem::path& path() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> previous_;
};

// Collects every log line while alive; stderr is silenced meanwhile.
class LogCollector {
  public:
    LogCollector();
    ~LogCollector();
    std::vector<std::string> lines() const;
    size_t count(const std::string& needle) const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }

  private:
    struct Impl;
    Impl* impl_;
};

// Runs a program (no shell) with extra environment variables; waits for it. stdin is /dev/null.
struct RunResult {
    int exitCode = -1;  // -1 when it died of a signal
    std::string out;
    std::string err;
};
RunResult run(const std::vector<std::string>& argv,
              const std::vector<std::pair<std::string, std::string>>& env = {});

// Starts a program in the background (no shell) with extra environment variables; stdin is
// /dev/null, stdout and stderr are appended to `logFile`. Throws when it cannot start.
pid_t spawnBackground(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
                      const std::vector<std::pair<std::string, std::string>>& env = {});
// Waits for a child; its exit status, or 128 + the signal that ended it.
int waitExit(pid_t pid);

// A binary of this build: SAYLOFT_BINARY_DIR + relative path.
std::filesystem::path buildPath(const std::string& relative);

void writeFile(const std::filesystem::path& path, const std::string& bytes);

// The content of a settings file with every key a settings file must have, filing into `vault`
// and watching nothing; tests add what they need.
core::Json settingsFor(const std::filesystem::path& vault, const std::string& name = "V");
// One watched-folder entry with the normaliser "none".
core::Json watchedFolder(const std::string& id, const std::filesystem::path& path,
                         const std::string& displayName, bool enabled = true);
std::string readFile(const std::filesystem::path& path);
// How often `needle` occurs in `text` (overlapping occurrences count).
size_t countIn(const std::string& text, const std::string& needle);

}  // namespace sayloft::test
