#include "app/engine.hpp"

#include <unistd.h>

#include <future>
#include <thread>

#include "app/onboarding/environment_check.hpp"
#include "app/onboarding/launch_steps.hpp"
#include "app/onboarding/login_item.hpp"
#include "app/settings_edit.hpp"
#include "browser/vault_browser.hpp"
#include "capture/after_transcript_command.hpp"
#include "capture/capture_access.hpp"
#include "capture/capture_coordinator.hpp"
#include "capture/capture_pipeline.hpp"
#include "capture/capture_retry.hpp"
#include "capture/capture_state_store.hpp"
#include "capture/capture_status.hpp"
#include "capture/folder_watcher.hpp"
#include "capture/recording_handover.hpp"
#include "capture/transcript_notifier.hpp"
#include "core/error.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/queue.hpp"
#include "core/time_format.hpp"
#include "platform/linux/freedesktop_notifications.hpp"
#include "platform/linux/scheme_handler.hpp"
#include "platform/opener.hpp"
#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"
#include "recorder/engine_graph.hpp"
#include "recorder/hal/pulse_audio_hardware.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder/recording_session.hpp"
#include "recorder/simulated_source.hpp"
#include "recorder/sound_server_leftovers.hpp"
#include "sayloft/version.hpp"
#include "service/keychain.hpp"
#include "service/wendrel_auth.hpp"
#include "service/wendrel_client.hpp"
#include "settings/settings.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;
using core::Json;

namespace {

fs::path orDefault(const fs::path& given, const fs::path& fallback) {
    return given.empty() ? fallback : given;
}

// Opens pages and files with the desktop's default application, or, for a pairing asked for
// without a browser, only passes the address on.
class PairingOpener : public platform::Opener {
  public:
    PairingOpener(platform::Opener& real, bool useBrowser, const RequestOutput& output)
        : real_(real), useBrowser_(useBrowser), output_(output) {}
    bool openURL(const std::string& url) override {
        if (!useBrowser_) return true;
        if (real_.openURL(url)) return true;
        output_.out("Could not start a browser; open the address above yourself.");
        return false;
    }
    bool openFile(const fs::path& file) override { return real_.openFile(file); }

  private:
    platform::Opener& real_;
    bool useBrowser_;
    const RequestOutput& output_;
};

std::string eventKind(capture::CaptureEvent::Kind kind) {
    switch (kind) {
        case capture::CaptureEvent::Kind::sent:
            return "sent";
        case capture::CaptureEvent::Kind::transcriptReady:
            return "transcriptReady";
        case capture::CaptureEvent::Kind::failed:
            return "failed";
    }
    return "unknown";
}

std::string param(const Json& params, const char* key) {
    if (!params.is_object() || !params.contains(key) || !params[key].is_string()) return {};
    return params[key].get<std::string>();
}

}  // namespace

// Everything the engine owns, in launch order (and destroyed in the reverse order).
struct Engine::Parts {
    explicit Parts(EngineOptions& o)
        : clock(o.clock ? *o.clock : core::systemClock()),
          notifications(o.notifications ? o.notifications
                                        : std::make_shared<platform::FreedesktopNotifications>()),
          opener(o.opener ? o.opener : std::make_shared<platform::XdgOpener>()),
          settings(orDefault(o.places.settingsFile, settings::Settings::defaultPath())),
          defaults(orDefault(o.places.defaultsFile, platform::JsonFileDefaults::defaultPath())),
          store(
              orDefault(o.places.stateFile, capture::CaptureStateStore::defaultStorePath()),
              orDefault(o.places.legacyStateFile, capture::CaptureStateStore::defaultLegacyPath()),
              clock),
          keychain(o.secrets ? o.secrets : platform::defaultSecretStore()),
          afterTranscript(
              [this] {
                  auto lock = settings.lock();
                  return capture::AfterTranscriptCommand::Settings{
                      settings.afterTranscriptCommand().value_or(""),
                      settings.settings().vaultPath};
              },
              clock),
          coordinator(capture::CaptureCoordinator::Dependencies{
              [this] { return settings.enabledWatchedFolders(); },
              store,
              clock,
              defaults,
              *notifications,
              capture::CaptureGuards::defaults(),
              {}}),
          pipeline({settings, keychain, clock, defaults, &coordinator, &afterTranscript, &store,
                    notifications.get()}),
          notifier({settings, *notifications, clock, mainLoop, &platform::hasSchemeHandler,
                    [this](const std::string& target) {
                        bool opened = target.find("://") != std::string::npos
                                          ? opener->openURL(target)
                                          : opener->openFile(target);
                        if (!opened) core::log("notifications", "could not open {}", target);
                    }}),
          status(
              [this] {
                  auto lock = settings.lock();
                  return settings.settings().vaultPath;
              },
              clock, mainLoop,
              orDefault(o.places.heartbeatFile, capture::CaptureStatus::defaultHeartbeatPath())) {
        mainThread = std::thread([this] { mainLoop.run(); });
    }
    ~Parts() {
        mainLoop.quit();
        if (mainThread.joinable()) mainThread.join();
    }

    core::Clock& clock;
    std::shared_ptr<platform::Notifications> notifications;
    std::shared_ptr<platform::Opener> opener;
    settings::Settings settings;
    platform::JsonFileDefaults defaults;
    capture::CaptureStateStore store;
    service::Keychain keychain;
    core::RunLoop mainLoop;
    std::thread mainThread;
    capture::AfterTranscriptCommand afterTranscript;
    capture::CaptureCoordinator coordinator;
    capture::CapturePipeline pipeline;
    capture::TranscriptNotifier notifier;
    capture::CaptureStatus status;
    capture::VoiceMemosKeeper keeper;
    recorder::RecordingRecovery recordings{recorder::RecordingRecovery::defaultRoot(), clock};
    capture::RecordingHandover handover{{pipeline, keychain, recordings, clock}};
    core::SerialQueue background{"sayloft.environment"};
    std::shared_ptr<recorder::AudioCatalog> audioCatalog;
    std::shared_ptr<platform::PowerSource> power;
    std::shared_ptr<platform::SleepWatch> sleepWatch;
    // Lives on the main queue: every use goes through Engine::onMain.
    std::unique_ptr<recorder::RecordingSession> session;
    std::mutex lifecycle;
    bool launched = false;
    bool shutDown = false;
    std::mutex browserMutex;
    std::unique_ptr<browser::VaultBrowser> browser;  // stopped by shutdown(), destroyed first
};

Engine::Engine(EngineOptions options) : options_(std::move(options)) {
    // Data of earlier layouts and of the predecessor moves in first, before anything below reads
    // settings or state.
    {
        settings::Settings settings(
            orDefault(options_.places.settingsFile, settings::Settings::defaultPath()));
        platform::JsonFileDefaults defaults(
            orDefault(options_.places.defaultsFile, platform::JsonFileDefaults::defaultPath()));
        service::Keychain keychain(options_.secrets ? options_.secrets
                                                    : platform::defaultSecretStore());
        runLaunchMigrations(settings, keychain, defaults);
    }
    if (options_.captureLog && !core::LogConfig::captureLog())
        core::LogConfig::installCaptureLog(
            std::make_shared<core::CaptureLogWriter>(core::defaultCaptureLogPath()));
    parts_ = std::make_unique<Parts>(options_);
    makeRecordingSession();
}

void Engine::makeRecordingSession() {
    auto& p = *parts_;
    // The sound server is asked only when a question comes or a recording starts: an idle engine
    // holds no connection and no stream.
    p.audioCatalog = options_.audioCatalog
                         ? options_.audioCatalog
                         : recorder::hardwareCatalog(recorder::hal::makePulseAudioHardware());
    p.power = options_.power
                  ? options_.power
                  : std::shared_ptr<platform::PowerSource>(platform::systemPowerSource());
    p.sleepWatch = options_.sleepWatch
                       ? options_.sleepWatch
                       : std::shared_ptr<platform::SleepWatch>(platform::systemSleepWatch());
    recorder::RecordingSession::Dependencies deps{p.clock, p.mainLoop, p.recordings};
    deps.makeGraph = options_.makeRecordingGraph
                         ? options_.makeRecordingGraph
                         : recorder::engineGraphFactory(
                               [] { return recorder::hal::makePulseAudioHardware(); }, p.clock);
    deps.catalog = p.audioCatalog.get();
    deps.settings = [this] {
        auto lock = parts_->settings.lock();
        return recorder::recorderSettings(parts_->settings.settings());
    };
    deps.power = p.power.get();
    deps.sleep = p.sleepWatch.get();
    deps.diskSpace = options_.diskSpace ? options_.diskSpace : &platform::diskSpace;
    deps.notifications = p.notifications.get();
    deps.notSent = [this](const std::string& id, const std::string& message) {
        parts_->mainLoop.async(
            [this, id, message] { parts_->notifier.recordingNotSent(id, message); });
    };
    deps.send = [this](const std::string& id) { return parts_->handover.send(id); };
    deps.removeLeftovers = options_.removeAudioLeftovers ? options_.removeAudioLeftovers : [] {
        recorder::removeSoundServerLeftovers();
    };
    deps.appVersion = kVersion;
    p.session = std::make_unique<recorder::RecordingSession>(std::move(deps));
    p.session->setOnChange([this] {
        Json event = recorder::toJson(parts_->session->status());
        event["event"] = "recording";
        publish(event);
    });
}

void Engine::onMain(const std::function<void()>& work) {
    std::promise<void> ran;
    parts_->mainLoop.async([&] {
        work();
        ran.set_value();
    });
    ran.get_future().wait();
}

Engine::~Engine() {
    shutdown();
}

const std::string& Engine::role() const {
    return options_.role;
}

core::Clock& Engine::clock() {
    return parts_->clock;
}

void Engine::launch() {
    auto& p = *parts_;
    std::lock_guard guard(p.lifecycle);
    if (p.launched || p.shutDown) return;
    p.launched = true;
    const bool daemon = options_.role == "daemon";
    if (daemon) {
        core::log("launch", "{} ({})", kVersion, service::localComputerName());
        if (p.settings.settings().keepVoiceMemosRunning.value_or(false)) p.keeper.start();
        // The environment check may wait on slow tools: nothing waits for it.
        p.background.async([this] {
            EnvironmentCheck::shared().runAtLaunch(parts_->defaults, *parts_->notifications);
        });
    }
    capture::notifySettingsProblemOnce(p.settings, p.defaults, *p.notifications);
    capture::CaptureRetry::retryWatermark(p.defaults, p.clock);
    if (daemon) LoginItem(p.defaults).enableByDefaultOnce();

    p.notifier.install(p.pipeline);
    // The notifier and the engine's subscribers both hear of every capture event.
    p.pipeline.setOnCaptureEvent([this](const capture::CaptureEvent& event) {
        parts_->mainLoop.async([this, event] { parts_->notifier.receive(event); });
        publish({{"event", "capture"},
                 {"kind", eventKind(event.kind)},
                 {"id", event.id},
                 {"status", event.status}});
    });
    p.coordinator.setIdFilter(
        [this](const std::string& id) { return parts_->pipeline.idUsable(id); });
    if (!daemon) return;

    // The menu's lists: filled from the cache now, refreshed on the scanner's timer.
    vaultBrowser().start();

    onMain([this] { parts_->session->launchCheck(); });
    if (auto unfinished = recorder::listUnfinished(p.recordings); !unfinished.empty()) {
        core::log("recorder",
                  "{} unfinished recording(s) to send or discard (`sayloft recordings`)",
                  unfinished.size());
    }
    p.coordinator.setOnPoll([this](int n) { parts_->status.recordPoll(n); });
    p.coordinator.setOnVoiceMemosAccess(
        [this](const capture::CaptureAccess::State& s) { parts_->status.updateAccess(s); });
    p.status.setOnPublish([this](const capture::CaptureStatus::Published& published) {
        publish({{"event", "status"},
                 {"summary", capture::CaptureStatus::summary(published.snapshot)}});
    });
    p.status.start();
    if (p.settings.damage()) {
        p.pipeline.start();  // says why it does not capture, and waits for the user
        return;
    }
    if (p.settings.enabledWatchedFolders().empty()) {
        core::log("capture pipeline", "no watched folders enabled; not starting");
        if (p.pipeline.uploadEnabled() && p.keychain.hasDeviceToken()) {
            p.pipeline.resumeUnfinished();
        }
        return;
    }
    if (p.pipeline.uploadEnabled() && !p.keychain.hasDeviceToken()) {
        core::log("capture pipeline",
                  "upload is on but this computer is not paired yet (run `sayloft pair`). "
                  "Captures are copied to the vault meanwhile; each upload reads the secret "
                  "store, so no restart is needed after pairing.");
    }
    p.pipeline.start();
}

browser::VaultBrowser& Engine::vaultBrowser() {
    auto& p = *parts_;
    std::lock_guard guard(p.browserMutex);
    if (!p.browser) {
        p.browser = std::make_unique<browser::VaultBrowser>(p.settings, p.clock, p.mainLoop);
        p.browser->setOnChange([this] { publish({{"event", "vault"}}); });
    }
    return *p.browser;
}

void Engine::applyCaptureSettings() {
    auto& p = *parts_;
    {
        // The vault, the workspace folders and the remotes may have changed.
        std::lock_guard guard(p.browserMutex);
        if (p.browser) p.browser->settingsChanged();
    }
    if (options_.role != "daemon") return;
    if (p.settings.settings().keepVoiceMemosRunning.value_or(false)) {
        p.keeper.start();
    } else {
        p.keeper.stop();
    }
    if (p.settings.enabledWatchedFolders().empty()) {
        p.pipeline.stop();
    } else {
        p.pipeline.start();
        p.coordinator.reload();
    }
    core::log("launch", "capture settings applied");
    publish({{"event", "settings"}});
}

void Engine::shutdown() {
    auto& p = *parts_;
    {
        std::lock_guard guard(p.lifecycle);
        if (p.shutDown) return;
        p.shutDown = true;
    }
    if (options_.role == "daemon") {
        p.pipeline.stop();
        p.status.stop();
    }
    {
        std::lock_guard guard(p.browserMutex);
        if (p.browser) p.browser->stop();
    }
    p.background.stop();
    // A running recording is closed and kept for the next start to offer.
    onMain([this] { parts_->session->shutdown(); });
    p.pipeline.shutdown();  // cancels capture tasks; their notes resume them at the next start
    p.afterTranscript.detach();
    // Notifications still waiting for their batch are posted now rather than lost.
    std::promise<void> flushed;
    p.mainLoop.async([&] {
        p.notifier.flush();
        flushed.set_value();
    });
    flushed.get_future().wait();
    p.coordinator.drain();
    if (auto log = core::LogConfig::captureLog()) log->flush();
}

void Engine::waitForWork(std::stop_token stop) {
    auto& p = *parts_;
    while (!stop.stop_requested()) {
        if (p.pipeline.isIdle() && p.afterTranscript.isIdle()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int Engine::subscribe(std::function<void(const Json&)> listener) {
    std::lock_guard guard(listenersMutex_);
    int token = nextToken_++;
    listeners_[token] = std::move(listener);
    return token;
}

void Engine::unsubscribe(int token) {
    std::lock_guard guard(listenersMutex_);
    listeners_.erase(token);
}

void Engine::publish(const Json& event) {
    std::vector<std::function<void(const Json&)>> listeners;
    {
        std::lock_guard guard(listenersMutex_);
        for (auto& [token, l] : listeners_) listeners.push_back(l);
    }
    for (auto& l : listeners) l(event);
}

const std::map<std::string, std::string>& Engine::methods() {
    static const std::map<std::string, std::string> table = {
        {"hello", "the engine's pid, role and version"},
        {"status", "folders, pairing, captures, and whether the daemon runs"},
        {"poll", "one look at the enabled folders; new captures are filed and sent"},
        {"import", "forget the Voice Memos folder's recordings so they are sent again"},
        {"import.count", "how many recordings `import` would send (params: since)"},
        {"retry", "upload the captures whose upload was skipped or failed"},
        {"retry.count", "how many captures `retry` would upload"},
        {"sync", "pull transcripts that exist only on the service"},
        {"pair", "pair this computer with the service"},
        {"unpair", "forget the device token"},
        {"settings.set", "change one setting (params: key, value)"},
        {"settings.unset", "remove one optional setting (params: key)"},
        {"settings.reload", "read the settings file again and apply it"},
        {"settings.get", "the settings as the file holds them, the watched folders and pairing"},
        {"folders.add", "watch a folder (params: path, name)"},
        {"folders.remove", "stop watching a folder (params: id)"},
        {"folders.enable", "switch a watched folder on (params: id)"},
        {"folders.disable", "switch a watched folder off (params: id)"},
        {"notifications.test", "post the test notification"},
        {"subscribe", "stream events: capture, status, settings, vault"},
        {"menu", "the vault menu's five lists (params: print = text | json)"},
        {"search",
         "files of the vault and workspace folders, newest first (params: query, "
         "limit, all)"},
        {"trash", "move a file of the vault to the trash (params: path)"},
        {"refresh", "scan the vault and workspace folders again now"},
        {"recordings", "the unfinished recordings recovery offers (answers `recordings`)"},
        {"recordings.send", "encode an unfinished recording and hand it over (params: id)"},
        {"recordings.discard", "remove an unfinished recording (params: id)"},
        {"record", "record a meeting until stopped or for `seconds`, streaming its state"},
        {"record.start", "start a meeting recording (params: source, microphone, noMic)"},
        {"record.pause", "pause the recording"},
        {"record.resume", "resume the paused recording"},
        {"record.stop", "stop the recording and send it"},
        {"record.discard", "throw the running recording away"},
        {"record.status", "the recorder's state, levels and warnings"},
        {"record.change", "change the running recording's source or microphone"},
        {"devices", "the apps playing audio, the microphones and the output kind"},
    };
    return table;
}

Json Engine::handle(const Json& request, const RequestOutput& output, std::stop_token stop) {
    auto& p = *parts_;
    const std::string method = request.value("method", "");
    const Json params = request.contains("params") ? request["params"] : Json::object();
    auto done = [](int code) { return Json{{"exitCode", code}}; };

    if (method == "hello") {
        return {
            {"exitCode", 0}, {"pid", ::getpid()}, {"role", options_.role}, {"version", kVersion}};
    }

    if (browser::VaultBrowser::handles(method)) {
        return vaultBrowser().handle(method, params, {output.out, output.err});
    }

    if (method == "status") {
        for (auto& folder : p.settings.watchedFolders()) {
            auto state = capture::CaptureAccess::check(
                capture::folderURL(folder), folder.effectiveExtensions(), folder.enabled);
            output.out("[" + folder.displayName + "] " + state.summary(folder.displayName));
        }
        auto token = p.keychain.deviceToken();
        output.out(token && !token->empty() ? fmt::format("Wendrel: connected (device token {}…)",
                                                          service::tokenPrefix(*token))
                                            : "Wendrel: not connected (run `sayloft pair`)");
        auto now = p.clock.now();
        vault::InboxWriter inbox(p.settings.settings().vaultPath, p.clock);
        output.out("Captures: " +
                   capture::CaptureStatus::summary(capture::CaptureStatus::scan(inbox, now)));
        for (auto& line : capture::notYetNotedLines(p.store.pending(), now)) output.out(line);
        if (auto line = capture::settingsProblemLine(p.settings); !line.empty()) output.out(line);
        if (auto line = capture::CapturePipeline::pairingRefusedLine(p.defaults, p.keychain);
            !line.empty())
            output.out(line);
        if (options_.role == "daemon") {
            output.out(fmt::format("Daemon: running (pid {})", ::getpid()));
            auto published = p.status.current();
            auto line = capture::CaptureStatus::heartbeatLine(published.lastPoll,
                                                              published.lastNewCapture, now);
            output.out(line.empty() ? "Not checked yet" : line);
        } else {
            output.out("Daemon: not running (start it with `sayloft run`)");
        }
        return done(0);
    }

    if (method == "poll") {
        if (auto problem = p.settings.damage()) {
            output.err("Not capturing: the settings file cannot be used (" + *problem + ")");
            return done(1);
        }
        for (auto& c : p.coordinator.runOnce()) {
            output.out(c.canonicalId + "\t" + c.sourceURL.string());
            p.pipeline.handle(c);
        }
        return done(0);
    }

    if (method == "import" || method == "import.count") {
        std::optional<core::TimePoint> since;
        if (auto text = param(params, "since"); !text.empty()) {
            since = core::parseLocal(text, "yyyy-MM-dd");
            if (!since) {
                output.err("--since takes a date as YYYY-MM-DD, not \"" + text + "\"");
                return done(2);
            }
        }
        settings::WatchedFolder voiceMemos;
        voiceMemos.id = settings::kVoiceMemosFolderId;
        voiceMemos.displayName = "Voice Memos";
        voiceMemos.normaliser = settings::WatchedFolder::Normaliser::voiceMemos;
        for (auto& f : p.settings.watchedFolders())
            if (f.id == settings::kVoiceMemosFolderId) voiceMemos = f;
        try {
            if (method == "import.count") {
                auto count = capture::CaptureImport::matching(since, voiceMemos).size();
                output.out(fmt::format("{} recording{} to send", count, count == 1 ? "" : "s"));
                return {{"exitCode", 0}, {"count", count}};
            }
            auto result = capture::CaptureImport::queueExisting(since, voiceMemos, p.store);
            output.out(result.text());
            return done(0);
        } catch (const capture::CaptureImport::Unreadable& e) {
            output.err(e.what());
            return done(1);
        }
    }

    if (method == "retry.count") {
        capture::CaptureRetry retry(p.pipeline, p.defaults, p.clock);
        auto count = retry.pendingIds().size();
        output.out(fmt::format("{} pending capture{}", count, count == 1 ? "" : "s"));
        return {{"exitCode", 0}, {"count", count}};
    }

    if (method == "retry") {
        // Files that failed before their note are taken again first, so that their notes join
        // the retry below.
        auto notYet = p.store.pending();
        if (!notYet.empty()) {
            for (auto& line : capture::notYetNotedLines(notYet, p.clock.now())) output.out(line);
            p.coordinator.setOnNewCapture([this](const capture::FolderWatcher::NewCapture& c) {
                parts_->pipeline.handle(c);
            });
            p.coordinator.setIdFilter(
                [this](const std::string& id) { return parts_->pipeline.idUsable(id); });
            auto taken = p.coordinator.retryNotYetNoted();
            while (!p.pipeline.isIdle() && !stop.stop_requested())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            p.store.save();
            output.out(fmt::format("Taken again: {} file{} not yet noted", taken.size(),
                                   taken.size() == 1 ? "" : "s"));
        }
        capture::CaptureRetry retry(p.pipeline, p.defaults, p.clock);
        retry.run(
            [&](const capture::CaptureRetry::Progress& progress) { output.out(progress.text()); },
            stop);
        return done(0);
    }

    if (method == "sync") {
        service::WendrelClient client(
            service::resolveBaseURL(p.settings.wendrelBaseURL().value_or("")), p.keychain, p.clock);
        vault::InboxWriter inbox(p.settings.settings().vaultPath, p.clock);
        capture::BackfillSync sync(client, inbox, p.clock);
        bool failed = false;
        sync.run(
            [&](const capture::BackfillSync::Progress& progress) {
                failed = progress.kind == capture::BackfillSync::Progress::Kind::failed;
                output.out(progress.text());
            },
            stop);
        return done(failed ? 1 : 0);
    }

    if (method == "pair") {
        std::optional<std::string> given;
        if (auto text = param(params, "baseURL"); !text.empty()) given = text;
        std::string baseURL;
        try {
            baseURL = service::pairingBaseURL(given, p.settings);
        } catch (const std::exception& e) {
            output.err(e.what());
            return done(2);
        }
        PairingOpener opener(*p.opener, !params.value("noBrowser", false), output);
        service::WendrelAuth auth(p.keychain, opener, p.clock);
        auth.setObserver([&](const service::PairingState& state) {
            if (state.kind != service::PairingState::Kind::pairing) return;
            output.out(
                fmt::format("Your code: {}\nApprove this computer at: {}\n"
                            "Check the code on the page matches before approving.\n"
                            "Waiting for approval (Ctrl-C to cancel)...",
                            state.userCode, state.verificationURL));
        });
        output.out("Pairing with " + baseURL);
        auth.connectAndSave(baseURL, p.settings);
        while (!auth.waitUntilFinished(std::chrono::milliseconds(200))) {
            if (stop.stop_requested()) {
                auth.cancel();
                output.err("Pairing cancelled.");
                return done(130);
            }
        }
        auto end = auth.state();
        if (end.kind != service::PairingState::Kind::connected) {
            output.err(end.message.empty() ? "Pairing did not finish." : end.message);
            return done(1);
        }
        std::string scopes;
        for (const auto& scope : end.scopes) scopes += (scopes.empty() ? "" : ", ") + scope;
        output.out(fmt::format("Connected: {}…{}", end.tokenPrefix,
                               scopes.empty() ? "" : " (scopes: " + scopes + ")"));
        if (!end.savedBaseURL.empty()) {
            output.out(fmt::format("Saved {} as the Wendrel address in {}.", end.savedBaseURL,
                                   p.settings.configPath().string()));
        }
        // Captures that waited for the pairing go out now, not at the next start.
        if (options_.role == "daemon" && p.pipeline.uploadEnabled()) p.pipeline.resumeUnfinished();
        publish({{"event", "paired"}});
        return done(0);
    }

    if (method == "unpair") {
        std::optional<std::string> given;
        if (auto text = param(params, "baseURL"); !text.empty()) given = text;
        try {
            service::unpair(p.keychain, p.settings, given);
        } catch (const std::exception& e) {
            output.err(e.what());
            return done(1);
        }
        output.out(
            "Disconnected from Wendrel. Remove the device from your account's device list to "
            "revoke its token.");
        publish({{"event", "unpaired"}});
        return done(0);
    }

    if (method == "settings.set" || method == "settings.unset" || method == "folders.add" ||
        method == "folders.remove" || method == "folders.enable" || method == "folders.disable") {
        try {
            if (method == "settings.set" || method == "settings.unset") {
                SettingsEdit::setValue(p.settings, param(params, "key"), param(params, "value"),
                                       method == "settings.unset", params.value("force", false));
            } else if (method == "folders.add") {
                output.out(SettingsEdit::addFolder(p.settings, param(params, "path"),
                                                   param(params, "name")));
            } else {
                SettingsEdit::changeFolder(p.settings, param(params, "id"),
                                           method.substr(std::string("folders.").size()));
            }
        } catch (const std::exception& e) {
            const bool refused = dynamic_cast<const settings::SettingsDamaged*>(&e) != nullptr;
            output.err(method.starts_with("settings.") || refused
                           ? std::string("Not saved: ") + e.what()
                           : std::string(e.what()));
            return done(method.starts_with("settings.") || refused ? 2 : 1);
        }
        applyCaptureSettings();
        return done(0);
    }

    if (method == "settings.get") {
        Json answer{{"exitCode", 0}};
        {
            auto lock = p.settings.lock();
            answer["settings"] = settings::encode(p.settings.settings());
        }
        answer["settingsFileExists"] = fs::exists(p.settings.configPath());
        answer["settingsFile"] = p.settings.configPath().string();
        Json folders = Json::array();
        for (auto& folder : p.settings.watchedFolders()) {
            auto state = capture::CaptureAccess::check(
                capture::folderURL(folder), folder.effectiveExtensions(), folder.enabled);
            folders.push_back({{"id", folder.id},
                               {"name", folder.displayName},
                               {"path", folder.path},
                               {"enabled", folder.enabled},
                               {"access", state.summary(folder.displayName)}});
        }
        answer["folders"] = folders;
        auto token = p.keychain.deviceToken();
        answer["paired"] = token && !token->empty();
        if (token && !token->empty()) answer["tokenPrefix"] = service::tokenPrefix(*token);
        return answer;
    }

    if (method == "settings.reload") {
        if (!p.settings.reload()) {
            output.err("Not applied: " + p.settings.configPath().string() +
                       " does not read as settings");
            capture::notifySettingsProblemOnce(p.settings, p.defaults, *p.notifications);
            return done(1);
        }
        applyCaptureSettings();
        return done(0);
    }

    if (method == "notifications.test") {
        auto authorization = p.notifications->authorizationStatus();
        std::promise<void> sent;
        p.mainLoop.async([&] {
            p.notifier.sendTest();
            sent.set_value();
        });
        sent.get_future().wait();
        if (authorization != platform::AuthorizationStatus::authorized) {
            output.err("No notification service answers on the session bus; nothing was shown.");
            return done(1);
        }
        output.out("Posted a test notification.");
        return done(0);
    }

    if (method == "record" || (method.starts_with("record.") && method != "record.simulate") ||
        method == "devices")
        return handleRecording(method, params, output, stop);

    std::optional<std::string> recordingNow;
    onMain([&] {
        if (p.session->state() != recorder::RecordingState::idle &&
            p.session->state() != recorder::RecordingState::failed)
            recordingNow = p.session->currentID();
    });

    if (method == "recordings") {
        if (auto problem = p.recordings.rootProblem()) {
            output.err("Recordings are kept in a folder, but " + *problem +
                       ". Move it away so that sayloft can make the folder.");
            return done(1);
        }
        auto unfinished = recorder::listUnfinished(p.recordings);
        std::erase_if(unfinished, [&](const recorder::UnfinishedRecording& r) {
            return recordingNow && r.id == *recordingNow;
        });
        if (unfinished.empty()) output.out("No unfinished recordings.");
        Json list = Json::array();
        for (auto& r : unfinished) {
            const auto started = core::formatLocal(r.startedAt, "yyyy-MM-dd HH:mm:ss");
            output.out(fmt::format("{}\t{}\t{:.0f} s\t{}", r.id, started, r.seconds, r.why));
            list.push_back({{"id", r.id},
                            {"startedAt", started},
                            {"seconds", r.seconds},
                            {"why", r.why},
                            {"silent", r.silent}});
        }
        return {{"exitCode", 0}, {"recordings", std::move(list)}};
    }

    if (method == "recordings.send" || method == "recordings.discard" ||
        method == "record.simulate") {
        try {
            std::string id = param(params, "id");
            if (recordingNow && id == *recordingNow) {
                output.err("Recording " + id +
                           " is still running; stop it with `sayloft record stop`.");
                return done(1);
            }
            if (method == "record.simulate") {
                recorder::SimulatedRecordingOptions o;
                o.micFile = param(params, "mic");
                o.systemFile = param(params, "system");
                o.timeScale = params.value("timeScale", 1.0);
                o.segmentSeconds = params.value("segmentSeconds", 0.0);
                auto sidecar = recorder::recordSimulated(p.recordings, o, p.clock, stop);
                id = sidecar.id;
                output.out("Recorded " + id);
            }
            if (method == "recordings.discard") {
                p.handover.discard(id);
                output.out("Discarded " + id);
                return done(0);
            }
            output.out(p.handover.send(id));
            if (options_.role != "daemon") p.handover.waitForUploads();
            return done(0);
        } catch (const std::exception& e) {
            output.err(e.what());
            return done(1);
        }
    }

    output.err("unknown request \"" + method + "\"");
    return done(2);
}

namespace {

// The options of a recording: the settings, with what the request names instead.
recorder::RecordingOptions recordingOptions(recorder::RecordingOptions options, const Json& params,
                                            recorder::AudioCatalog* catalog) {
    if (auto source = param(params, "source"); !source.empty()) {
        if (source == "all") {
            options.source = {};
        } else {
            std::string name = source;
            if (catalog) {
                for (auto& app : catalog->audioApps())
                    if (app.bundleID == source || app.name == source) {
                        source = app.bundleID;
                        name = app.name;
                    }
            }
            options.source.app = settings::RecordingSource::App{source, name};
        }
    }
    if (params.contains("microphone") && params["microphone"].is_string()) {
        options.includeMicrophone = true;
        options.microphoneUID = params["microphone"].get<std::string>();
        if (catalog) {
            for (auto& mic : catalog->inputDevices())
                if (mic.name == *options.microphoneUID) options.microphoneUID = mic.uid;
        }
    }
    if (params.value("noMic", false)) options.includeMicrophone = false;
    return options;
}

}  // namespace

Json Engine::handleRecording(const std::string& method, const Json& params,
                             const RequestOutput& output, std::stop_token stop) {
    auto& p = *parts_;
    using recorder::RecordingState;
    auto failed = [&](const std::string& message, int code = 1) {
        output.err(message);
        return Json{{"exitCode", code}, {"ok", false}, {"error", message}};
    };
    auto ok = [](Json answer = Json::object()) {
        answer["exitCode"] = 0;
        answer["ok"] = true;
        return answer;
    };
    auto status = [&] {
        Json s;
        onMain([&] { s = recorder::toJson(p.session->status()); });
        return s;
    };
    // Stop & send, waiting for the hand-over; progress and the result line on `output`.
    auto stopAndSend = [&]() -> Json {
        auto result = std::make_shared<std::promise<std::pair<bool, std::string>>>();
        bool started = false;
        onMain([&] {
            if (!p.session->isActive()) return;
            started = true;
            p.session->stopAndSend([result](bool ok, const std::string& text) {
                result->set_value({ok, text});
            });
        });
        if (!started) return failed("No recording is running.");
        output.out("Finishing the recording and handing it over…");
        auto [sent, text] = result->get_future().get();
        if (!sent) return failed(text);
        if (options_.role != "daemon") p.handover.waitForUploads();
        output.out(text);
        return ok({{"result", text}});
    };

    if (method == "devices") {
        if (!p.audioCatalog)
            return failed("No sound server answers, so there is nothing to record from.");
        Json apps = Json::array(), mics = Json::array();
        for (auto& app : p.audioCatalog->audioApps())
            apps.push_back(
                {{"id", app.bundleID}, {"name", app.name}, {"isPlaying", app.isPlaying}});
        for (auto& mic : p.audioCatalog->inputDevices())
            mics.push_back({{"id", mic.uid}, {"name", mic.name}, {"isDefault", mic.isDefault}});
        const std::string kind = recorder::outputKindWord(p.audioCatalog->outputKind());
        output.out(apps.empty() ? "Apps playing audio: none" : "Apps playing audio:");
        for (auto& app : apps)
            output.out(fmt::format("  {}\t{}{}", app["id"].get<std::string>(),
                                   app["name"].get<std::string>(),
                                   app["isPlaying"].get<bool>() ? " (playing)" : ""));
        output.out(mics.empty() ? "Microphones: none" : "Microphones:");
        for (auto& mic : mics)
            output.out(fmt::format("  {}\t{}{}", mic["id"].get<std::string>(),
                                   mic["name"].get<std::string>(),
                                   mic["isDefault"].get<bool>() ? " (default)" : ""));
        output.out("Output: " + kind);
        return ok({{"apps", apps}, {"microphones", mics}, {"outputKind", kind}});
    }

    if (method == "record.status") return ok(status());

    if (method == "record" || method == "record.start") {
        bool busy = false;
        Json after;
        onMain([&] {
            auto state = p.session->state();
            if (state != RecordingState::idle && state != RecordingState::failed) {
                busy = true;
                return;
            }
            auto lock = p.settings.lock();
            auto defaults = recorder::recorderSettings(p.settings.settings()).options;
            lock.unlock();
            p.session->start(recordingOptions(defaults, params, p.audioCatalog.get()));
            after = recorder::toJson(p.session->status());
        });
        if (busy) return failed("A recording is already running.");
        if (after["state"] == "failed") return failed(after.value("message", "Could not record."));
        const std::string id = after["id"].is_string() ? after["id"].get<std::string>() : "";
        if (method == "record.start") {
            output.out("Recording " + id);
            // Not "id": the control socket puts the request's own id there.
            return ok({{"recordingId", id}});
        }

        // Streams the state until the recording ends: at `seconds` of recorded time or when the
        // caller goes away it is stopped and sent; a stop or discard from elsewhere ends it too.
        const double seconds = params.value("seconds", 0.0);
        const std::string before = after.value("lastResult", "");
        for (;;) {
            Json s = status();
            output.out("\x1e" + s.dump());
            const std::string state = s["state"];
            if (state == "idle" || state == "failed") {
                if (state == "failed") return failed(s.value("message", "The recording failed."));
                std::string result = s.value("lastResult", "");
                if (result == before) return failed("Recording " + id + " was discarded.");
                // Sent, but cut short by a failure: a script must not take it for the whole.
                if (s.value("stoppedOnFailure", false)) return failed(result);
                output.out(result);
                return ok({{"recordingId", id}, {"result", result}});
            }
            const bool due = seconds > 0 && s.value("elapsed", 0.0) >= seconds;
            if ((state == "recording" || state == "paused") && (due || stop.stop_requested())) {
                Json answer = stopAndSend();
                answer["id"] = id;
                return answer;
            }
            p.clock.sleepFor(core::seconds(0.1), stop);
            if (stop.stop_requested() && state == "stopping")
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    if (method == "record.stop") return stopAndSend();

    std::string problem;
    onMain([&] {
        auto& session = *p.session;
        const auto state = session.state();
        if (method == "record.pause") {
            if (state != RecordingState::recording) problem = "No recording is running.";
            session.pause();
        } else if (method == "record.resume") {
            if (state != RecordingState::paused) problem = "No recording is paused.";
            session.resume();
        } else if (method == "record.discard") {
            if (state == RecordingState::idle)
                problem = "No recording is running.";
            else if (!session.discard())
                problem = "The recording is already being handed over.";
        } else if (method == "record.change") {
            if (!session.isActive())
                problem = "No recording is running.";
            else
                session.change(
                    recordingOptions(session.status().options, params, p.audioCatalog.get()));
        } else {
            problem = "unknown request \"" + method + "\"";
        }
    });
    if (!problem.empty()) return failed(problem, method.starts_with("record.") ? 1 : 2);
    if (method == "record.pause") output.out("Paused.");
    if (method == "record.resume") output.out("Recording again.");
    if (method == "record.discard") output.out("Discarded.");
    return ok();
}

}  // namespace sayloft::app
