#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include <sys/types.h>

#include "core/clock.hpp"

namespace sayloft::cli {

// Options every command shares.
struct GlobalOptions {
    // Product delays (size samples, ticks) pass instantly: for scripted runs and tests.
    bool virtualClock = false;
    // Every product delay runs this many times faster (end-to-end runs); 1 is real time.
    double timeScale = 1;
};
GlobalOptions& globalOptions();

// The clock the commands use: the system clock, a self-advancing one with --virtual-clock, or
// a sped-up one with --time-scale.
core::Clock& commandClock();

// A first run gets a settings file that watches a demo folder (~/sayloft-demo/Recordings, filed
// into ~/sayloft-demo/Vault). An existing file, even a broken one, is never replaced. Returns
// whether it was created.
bool ensureSettingsFile();

// The running daemon leaves its process id here, so that commands that change the settings can
// ask it to apply them (SIGHUP).
std::filesystem::path daemonPidPath();
void writeDaemonPid();
void removeDaemonPid();
// The process id of this user's running `sayloft run`, if one runs.
std::optional<pid_t> runningDaemon();
// Sends SIGHUP to a running `sayloft run` of this user and says so on stderr; false when none.
bool askDaemonToReload();

// Installs the capture log below the home folder for this process.
void installCaptureLog();

}  // namespace sayloft::cli
