#include "app_context.hpp"

#include <filesystem>
#include <iostream>

#include "core/log.hpp"
#include "core/paths.hpp"
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
