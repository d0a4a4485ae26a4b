#include "app_context.hpp"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;

// A first run gets a settings file that watches a demo folder, so dropping a recording there
// shows the whole flow. An existing file (even a broken one) is never replaced here.
bool ensureSettingsFile() {
    auto& store = settings::Settings::shared();
    std::error_code ec;
    if (fs::exists(store.configPath(), ec)) return false;
    auto& s = store.settings();
    const std::string demo = "~/sayloft-demo";
    s.vaultPath = demo + "/Vault";
    s.vaultName = "Vault";
    s.watchedFoldersRaw = std::vector{
        settings::WatchedFolder::generic(demo + "/Recordings", std::string("Demo recordings"))};
    fs::create_directories(core::expandTilde(demo + "/Recordings"), ec);
    fs::create_directories(core::expandTilde(demo + "/Vault"), ec);
    store.save();
    std::cerr << "Created " << store.configPath().string() << " watching "
              << core::expandTilde(demo + "/Recordings") << "\n";
    return true;
}

fs::path daemonPidPath() {
    return core::runtimeDir() / "sayloft.pid";
}

void writeDaemonPid() {
    try {
        core::writeAtomically(daemonPidPath(), std::to_string(::getpid()) + "\n");
    } catch (const std::exception& e) {
        core::log("launch", "cannot record the daemon's pid: {}", e.what());
    }
}

void removeDaemonPid() {
    std::error_code ec;
    fs::remove(daemonPidPath(), ec);
}

std::optional<pid_t> runningDaemon() {
    auto text = core::readFile(daemonPidPath());
    if (!text) return std::nullopt;
    pid_t pid = 0;
    try {
        pid = std::stoi(*text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (pid <= 1 || pid == ::getpid()) return std::nullopt;
    // Only a `sayloft run` of ours: a stale pid may belong to any program by now.
    auto cmdline = core::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (!cmdline) return std::nullopt;
    std::vector<std::string> args;
    for (size_t start = 0; start < cmdline->size();) {
        auto end = cmdline->find('\0', start);
        if (end == std::string::npos) end = cmdline->size();
        args.push_back(cmdline->substr(start, end - start));
        start = end + 1;
    }
    if (args.size() < 2 || fs::path(args[0]).filename() != "sayloft" || args[1] != "run")
        return std::nullopt;
    return pid;
}

bool askDaemonToReload() {
    auto pid = runningDaemon();
    if (!pid || ::kill(*pid, SIGHUP) != 0) return false;
    std::cerr << "The running daemon (pid " << *pid << ") applies the change now.\n";
    return true;
}

GlobalOptions& globalOptions() {
    static GlobalOptions options;
    return options;
}

core::Clock& commandClock() {
    if (globalOptions().timeScale != 1 && !globalOptions().virtualClock) {
        static core::ScaledClock scaled(globalOptions().timeScale);
        return scaled;
    }
    if (!globalOptions().virtualClock) return core::systemClock();
    static core::ManualClock clock(core::SystemClock::now());
    clock.setAutoAdvance(true);
    return clock;
}

void installCaptureLog() {
    if (!core::LogConfig::captureLog())
        core::LogConfig::installCaptureLog(
            std::make_shared<core::CaptureLogWriter>(core::defaultCaptureLogPath()));
}

}  // namespace sayloft::cli
