#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app_context.hpp"
#include "capture/capture_coordinator.hpp"
#include "commands.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/queue.hpp"
#include "core/time_format.hpp"
#include "platform/notifications.hpp"
#include "platform/user_defaults.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;
using capture::CaptureCoordinator;
using capture::CaptureStateStore;
using settings::Settings;

namespace {

// A first run gets a settings file that watches a demo folder, so dropping a recording there
// shows the whole flow. An existing file (even a broken one) is never replaced here.
void ensureSettingsFile(Settings& store) {
    std::error_code ec;
    if (fs::exists(store.configPath(), ec)) return;
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
}

struct CaptureRuntime {
    Settings& settings = Settings::shared();
    CaptureStateStore& store = CaptureStateStore::shared();
    platform::JsonFileDefaults defaults;
    platform::LogOnlyNotifications notifications;
    CaptureCoordinator coordinator{
        CaptureCoordinator::Dependencies{[this] { return settings.enabledWatchedFolders(); }, store,
                                         commandClock(), defaults, notifications}};
};

int runDaemon() {
    // Signals are taken by one thread with sigwait, so block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    installCaptureLog();
    ensureSettingsFile(Settings::shared());
    core::log("launch", "sayloft daemon starting (settings {})", Settings::defaultPath().string());

    core::RunLoop mainQueue;
    auto runtime = std::make_unique<CaptureRuntime>();
    capture::VoiceMemosKeeper keeper;
    if (runtime->settings.settings().keepVoiceMemosRunning.value_or(false)) keeper.start();
    runtime->coordinator.setOnNewCapture([](const capture::FolderWatcher::NewCapture& c) {
        core::log("capture", "captured {} from {}", c.canonicalId,
                  capture::printableName(c.sourceURL.string()));
    });
    runtime->coordinator.start();

    std::thread signalWaiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        core::log("launch", "received {}, stopping", received == SIGINT ? "SIGINT" : "SIGTERM");
        mainQueue.quit();
    });
    mainQueue.run();
    signalWaiter.join();
    runtime->coordinator.stop();
    runtime.reset();  // waits for the coordinator's queue to finish
    if (auto log = core::LogConfig::captureLog()) log->flush();
    return 0;
}

int pollOnce() {
    installCaptureLog();
    CaptureRuntime runtime;
    for (auto& c : runtime.coordinator.runOnce())
        std::cout << c.canonicalId << '\t' << c.sourceURL.string() << '\n';
    std::cout.flush();
    return 0;
}

int importExisting(const std::string& since) {
    installCaptureLog();
    std::optional<core::TimePoint> sinceDate;
    if (!since.empty()) {
        sinceDate = core::parseLocal(since, "yyyy-MM-dd");
        if (!sinceDate) {
            std::cerr << "--since takes a date as YYYY-MM-DD, not \"" << since << "\"\n";
            return 2;
        }
    }
    auto folders = Settings::shared().watchedFolders();
    settings::WatchedFolder voiceMemos;
    bool found = false;
    for (auto& f : folders) {
        if (f.id == settings::kVoiceMemosFolderId) voiceMemos = f, found = true;
    }
    if (!found) {
        voiceMemos.id = settings::kVoiceMemosFolderId;
        voiceMemos.displayName = "Voice Memos";
        voiceMemos.normaliser = settings::WatchedFolder::Normaliser::voiceMemos;
    }
    try {
        auto result = capture::CaptureImport::queueExisting(sinceDate, voiceMemos,
                                                            CaptureStateStore::shared());
        std::cout << result.text() << '\n';
        return 0;
    } catch (const capture::CaptureImport::Unreadable& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}

int printStatus() {
    for (auto& folder : Settings::shared().watchedFolders()) {
        auto state = capture::CaptureAccess::check(capture::folderURL(folder),
                                                   folder.effectiveExtensions(), folder.enabled);
        std::cout << '[' << folder.displayName << "] " << state.summary(folder.displayName) << '\n';
    }
    for (auto& line : statusLines()) std::cout << line << '\n';
    return 0;
}

}  // namespace

void addCaptureCommands(CLI::App& app) {
    app.add_flag("--virtual-clock", globalOptions().virtualClock)->group("");

    app.add_subcommand("run", "Run the capture daemon until SIGINT or SIGTERM")->callback([] {
        exitCode() = runDaemon();
    });
    app.add_subcommand("poll",
                       "Look at the enabled watched folders once; print each new capture as "
                       "<capture id><TAB><source path>")
        ->callback([] { exitCode() = pollOnce(); });

    auto* import =
        app.add_subcommand("import", "Send the recordings already in the Voice Memos folder again");
    static std::string since;
    import->add_option("--since", since, "Only recordings from this day on (YYYY-MM-DD)");
    import->callback([] { exitCode() = importExisting(since);
});

app.add_subcommand("status", "Show each watched folder's access state")->callback([] {
    exitCode() = printStatus();
});
}  // namespace sayloft::cli

}  // namespace sayloft::cli
