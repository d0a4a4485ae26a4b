#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app_context.hpp"
#include "capture/after_transcript_command.hpp"
#include "capture/capture_coordinator.hpp"
#include "capture/capture_pipeline.hpp"
#include "capture/capture_retry.hpp"
#include "capture/capture_status.hpp"
#include "capture/transcript_notifier.hpp"
#include "commands.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/queue.hpp"
#include "core/time_format.hpp"
#include "platform/linux/freedesktop_notifications.hpp"
#include "platform/linux/scheme_handler.hpp"
#include "platform/user_defaults.hpp"
#include "service/keychain.hpp"
#include "service/wendrel_client.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;
using capture::CaptureCoordinator;
using capture::CapturePipeline;
using capture::CaptureStateStore;
using settings::Settings;

namespace {

// Blocks SIGINT and SIGTERM in every thread started after it, and turns them into a stop
// request (and a callback) on a thread of its own.
class SignalStop {
  public:
    // With `onReload`, SIGHUP calls it (and is otherwise ignored) instead of ending the process.
    explicit SignalStop(std::function<void(int)> onSignal = {},
                        std::function<void()> onReload = {}) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        if (onReload) sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        waiter_ = std::thread([this, onSignal, onReload] {
            for (;;) {
                int received = 0;
                sigwait(&signals_, &received);
                if (closing_) return;  // woken by the destructor, not by the user
                if (received == SIGHUP) {
                    onReload();
                    continue;
                }
                stop_.request_stop();
                if (onSignal) onSignal(received);
                return;
            }
        });
    }
    ~SignalStop() {
        closing_ = true;
        pthread_kill(waiter_.native_handle(), SIGTERM);  // wakes the waiter if nothing came
        waiter_.join();
    }
    std::stop_token token() const { return stop_.get_token(); }

  private:
    sigset_t signals_;
    std::atomic<bool> closing_{false};
    std::stop_source stop_;
    std::thread waiter_;
};

// Everything the capture commands share, created in launch order.
struct CaptureRuntime {
    Settings& settings = Settings::shared();
    // On the command's clock, so that pauses before a capture is tried again follow it.
    CaptureStateStore store{CaptureStateStore::defaultStorePath(),
                            CaptureStateStore::defaultLegacyPath(), commandClock()};
    core::Clock& clock = commandClock();
    platform::JsonFileDefaults defaults;
    platform::FreedesktopNotifications notifications;
    service::Keychain& keychain = service::Keychain::shared();
    capture::AfterTranscriptCommand afterTranscript{
        [this] {
            auto lock = settings.lock();
            return capture::AfterTranscriptCommand::Settings{
                settings.afterTranscriptCommand().value_or(""), settings.settings().vaultPath};
        },
        clock};
    CaptureCoordinator coordinator{
        CaptureCoordinator::Dependencies{[this] { return settings.enabledWatchedFolders(); }, store,
                                         clock, defaults, notifications}};
    CapturePipeline pipeline{{settings, keychain, clock, defaults, &coordinator, &afterTranscript}};

    ~CaptureRuntime() {
        pipeline.shutdown();
        afterTranscript.stop();
    }
};

int runDaemon() {
    core::RunLoop mainQueue;
    std::function<void()> applySettings;  // set once everything runs
    SignalStop stopper(
        [&](int received) {
            core::log("launch", "received {}, stopping", received == SIGINT ? "SIGINT" : "SIGTERM");
            mainQueue.quit();
        },
        [&] {
            mainQueue.async([&] {
                if (applySettings) applySettings();
            });
        });

    installCaptureLog();
    ensureSettingsFile();
    core::log("launch", "sayloft daemon starting (settings {})", Settings::defaultPath().string());

    auto runtime = std::make_unique<CaptureRuntime>();
    capture::notifySettingsProblemOnce(runtime->settings, runtime->defaults,
                                       runtime->notifications);
    capture::VoiceMemosKeeper keeper;
    if (runtime->settings.settings().keepVoiceMemosRunning.value_or(false)) keeper.start();
    capture::CaptureRetry::retryWatermark(runtime->defaults, runtime->clock);

    capture::TranscriptNotifier notifier(
        {runtime->settings, runtime->notifications, runtime->clock, mainQueue,
         &platform::hasSchemeHandler, [](const std::string& target) {
             try {
                 platform::openWithDefaultApplication(target);
             } catch (const std::exception& e) {
                 core::log("notifications", "could not open {}: {}", target, e.what());
             }
         }});
    notifier.install(runtime->pipeline);

    capture::CaptureStatus status(
        [&] {
            auto lock = runtime->settings.lock();
            return runtime->settings.settings().vaultPath;
        },
        runtime->clock, mainQueue);
    runtime->coordinator.setOnPoll([&](int n) { status.recordPoll(n); });
    runtime->coordinator.setOnVoiceMemosAccess(
        [&](const capture::CaptureAccess::State& s) { status.updateAccess(s); });
    status.start();

    if (runtime->settings.enabledWatchedFolders().empty()) {
        core::log("capture pipeline", "no folder enabled; capture stays off");
    }
    runtime->pipeline.start();

    // The command line changes the settings file and sends SIGHUP: read it again and apply the
    // capture settings, as saving in a settings window would.
    applySettings = [&] {
        if (!runtime->settings.reload()) {
            core::log("launch", "settings not applied: {} does not read as settings",
                      runtime->settings.configPath().string());
            return;
        }
        if (runtime->settings.settings().keepVoiceMemosRunning.value_or(false)) {
            keeper.start();
        } else {
            keeper.stop();
        }
        if (runtime->settings.enabledWatchedFolders().empty()) {
            runtime->pipeline.stop();
        } else {
            runtime->pipeline.start();
            runtime->coordinator.reload();
        }
        core::log("launch", "capture settings applied");
    };
    writeDaemonPid();

    mainQueue.run();
    removeDaemonPid();
    runtime->pipeline.stop();
    status.stop();
    runtime.reset();  // cancels capture tasks (they resume next start) and joins everything
    if (auto log = core::LogConfig::captureLog()) log->flush();
    return 0;
}

int pollOnce() {
    SignalStop stopper;
    installCaptureLog();
    CaptureRuntime runtime;
    for (auto& c : runtime.coordinator.runOnce()) {
        std::cout << c.canonicalId << '\t' << c.sourceURL.string() << '\n' << std::flush;
        runtime.pipeline.handle(c);
    }
    runtime.pipeline.waitUntilIdle();
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
    settings::WatchedFolder voiceMemos;
    voiceMemos.id = settings::kVoiceMemosFolderId;
    voiceMemos.displayName = "Voice Memos";
    voiceMemos.normaliser = settings::WatchedFolder::Normaliser::voiceMemos;
    for (auto& f : Settings::shared().watchedFolders())
        if (f.id == settings::kVoiceMemosFolderId) voiceMemos = f;
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

int retryPending() {
    SignalStop stopper;
    installCaptureLog();
    CaptureRuntime runtime;
    // Files that failed before their note are taken again first, so that their notes join the
    // retry below.
    auto notYet = runtime.store.pending();
    if (!notYet.empty()) {
        for (auto& line : capture::notYetNotedLines(notYet, runtime.clock.now()))
            std::cout << line << '\n';
        runtime.coordinator.setOnNewCapture(
            [&](const capture::FolderWatcher::NewCapture& c) { runtime.pipeline.handle(c); });
        runtime.coordinator.setIdFilter(
            [&](const std::string& id) { return runtime.pipeline.idUsable(id); });
        auto taken = runtime.coordinator.retryNotYetNoted();
        runtime.pipeline.waitUntilIdle();
        runtime.store.save();
        std::cout << "Taken again: " << taken.size() << " file" << (taken.size() == 1 ? "" : "s")
                  << " not yet noted\n";
    }
    capture::CaptureRetry retry(runtime.pipeline, runtime.defaults, runtime.clock);
    retry.run(
        [](const capture::CaptureRetry::Progress& p) {
            std::cout << p.text() << '\n' << std::flush;
        },
        stopper.token());
    // The uploaded captures are followed to their transcripts; an interruption leaves them to
    // the daemon, which resumes them at its next start.
    std::stop_callback cancel(stopper.token(), [&] { runtime.pipeline.shutdown(); });
    runtime.pipeline.waitUntilIdle();
    return 0;
}

int syncFromService() {
    SignalStop stopper;
    installCaptureLog();
    auto& settings = Settings::shared();
    service::WendrelClient client(service::resolveBaseURL(settings.wendrelBaseURL().value_or("")),
                                  service::Keychain::shared(), commandClock());
    vault::InboxWriter inbox(settings.settings().vaultPath, commandClock());
    capture::BackfillSync sync(client, inbox, commandClock());
    bool failed = false;
    sync.run(
        [&](const capture::BackfillSync::Progress& p) {
            failed = p.kind == capture::BackfillSync::Progress::Kind::failed;
            std::cout << p.text() << '\n' << std::flush;
        },
        stopper.token());
    return failed ? 1 : 0;
}

int sendTestNotification() {
    platform::FreedesktopNotifications notifications;
    auto status = notifications.authorizationStatus();
    struct Inline : core::MainQueue {
        void async(std::function<void()> work) override { work(); }
    } main;
    capture::TranscriptNotifier notifier(
        {Settings::shared(), notifications, commandClock(), main, &platform::hasSchemeHandler, {}});
    notifier.sendTest();
    if (status != platform::AuthorizationStatus::authorized) {
        std::cerr << "No notification service answers on the session bus; nothing was shown.\n";
        return 1;
    }
    std::cout << "Posted a test notification.\n";
    return 0;
}

int printStatus() {
    auto& settings = Settings::shared();
    for (auto& folder : settings.watchedFolders()) {
        auto state = capture::CaptureAccess::check(capture::folderURL(folder),
                                                   folder.effectiveExtensions(), folder.enabled);
        std::cout << '[' << folder.displayName << "] " << state.summary(folder.displayName) << '\n';
    }
    for (auto& line : statusLines()) std::cout << line << '\n';
    auto now = commandClock().now();
    vault::InboxWriter inbox(settings.settings().vaultPath, commandClock());
    std::cout << "Captures: "
              << capture::CaptureStatus::summary(capture::CaptureStatus::scan(inbox, now)) << '\n';
    for (auto& line : capture::notYetNotedLines(
             CaptureStateStore::pendingIn(CaptureStateStore::defaultStorePath()), now))
        std::cout << line << '\n';
    if (auto line = capture::settingsProblemLine(settings); !line.empty())
        std::cout << line << '\n';
    auto [lastPoll, lastNew] =
        capture::CaptureStatus::readHeartbeat(capture::CaptureStatus::defaultHeartbeatPath());
    auto heartbeat = capture::CaptureStatus::heartbeatLine(lastPoll, lastNew, now);
    if (auto pid = runningDaemon()) {
        std::cout << "Daemon: running (pid " << *pid << ")\n";
        std::cout << (heartbeat.empty() ? "Not checked yet" : heartbeat) << '\n';
    } else {
        std::cout << "Daemon: not running (start it with `sayloft run`)\n";
    }
    return 0;
}

}  // namespace

void addCaptureCommands(CLI::App& app) {
    app.add_flag("--virtual-clock", globalOptions().virtualClock)->group("");
    app.add_option("--time-scale", globalOptions().timeScale)
        ->group("")
        ->check(CLI::PositiveNumber);

    app.add_subcommand("run", "Run the capture daemon until SIGINT or SIGTERM")->callback([] {
        exitCode() = runDaemon();
    });
    app.add_subcommand("poll",
                       "Look at the enabled watched folders once, print each new capture as "
                       "<capture id><TAB><source path>, and file it (and send it, when uploading "
                       "is on) before exiting")
        ->callback([] { exitCode() = pollOnce(); });

    auto* importCommand =
        app.add_subcommand("import", "Send the recordings already in the Voice Memos folder again");
    static std::string since;
    importCommand->add_option("--since", since, "Only recordings from this day on (YYYY-MM-DD)");
    importCommand->callback([] { exitCode() = importExisting(since); });

    app.add_subcommand("retry",
                       "Upload the captures whose upload was skipped or failed, and follow them "
                       "to their transcripts")
        ->callback([] { exitCode() = retryPending(); });
    app.add_subcommand("sync", "Pull into the vault the transcripts that exist only on Wendrel")
        ->callback([] { exitCode() = syncFromService(); });

    auto* notifications = app.add_subcommand("notifications", "Desktop notifications");
    notifications->require_subcommand(1);
    notifications->add_subcommand("test", "Post the test notification")->callback([] {
        exitCode() = sendTestNotification();
    });

    app.add_subcommand("status", "Show the watched folders, the pairing and the captures")
        ->callback([] { exitCode() = printStatus(); });
}

}  // namespace sayloft::cli
