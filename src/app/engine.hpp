#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "platform/power.hpp"
#include "recorder/recording_graph.hpp"

namespace sayloft::platform {
class Notifications;
class SecretStore;
class Opener;
}  // namespace sayloft::platform

namespace sayloft::browser {
class VaultBrowser;
}  // namespace sayloft::browser

namespace sayloft::app {

// Where the engine keeps its files; every empty path takes its place from core/places.
struct EnginePlaces {
    std::filesystem::path settingsFile;
    std::filesystem::path stateFile;
    std::filesystem::path legacyStateFile;
    std::filesystem::path defaultsFile;
    std::filesystem::path heartbeatFile;
};

// What the engine leans on from outside. Null members take the real implementations.
struct EngineOptions {
    core::Clock* clock = nullptr;
    std::shared_ptr<platform::Notifications> notifications;
    std::shared_ptr<platform::SecretStore> secrets;
    std::shared_ptr<platform::Opener> opener;
    EnginePlaces places;
    // "daemon": watches folders and resumes captures at launch; "command": hosts the engine for
    // one command line's request and does only what that request asks.
    std::string role = "daemon";
    // Appends every log line to the capture log too, from just after the migrations (which may
    // bring an earlier capture log into its place) on.
    bool captureLog = false;
    // The meeting recorder's hardware. Null members take the real ones: the sound server, UPower
    // and logind on the system bus, statvfs.
    recorder::RecordingGraphFactory makeRecordingGraph;
    std::shared_ptr<recorder::AudioCatalog> audioCatalog;
    std::shared_ptr<platform::PowerSource> power;
    std::shared_ptr<platform::SleepWatch> sleepWatch;
    std::function<platform::DiskSpace(const std::filesystem::path&)> diskSpace;
    // Removes sound-server objects that a crashed recording left behind.
    std::function<void()> removeAudioLeftovers;
};

// How a request talks back while it runs: lines for the user's terminal (stdout and stderr).
struct RequestOutput {
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

// The one owner of sayloft's state for a user: settings, capture state, claims, coordinator and
// watchers, pipeline, retry and back-fill, after-transcript command, notifier, capture status and
// the vault browser's scanner.
// It creates every part and hands each its dependencies. Front-ends (the daemon, the command
// line, the tray) reach it only through requests.
class Engine {
  public:
    explicit Engine(EngineOptions options = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The launch order: log, keeper, retry watermark, notifier, capture status, pipeline (a
    // daemon starts the coordinator and resumes unfinished captures; a command host does not).
    void launch();
    // Ends the engine's work: capture tasks stop (their notes resume them at the next start),
    // after-transcript commands are left to finish on their own, waiting notifications are
    // posted. Safe to call twice.
    void shutdown();
    // Blocks until every capture task and after-transcript command has ended, or `stop`.
    void waitForWork(std::stop_token stop = {});

    // Handles one request ({"method": ..., "params": {...}}) on the caller's thread; progress
    // goes to `output` as it happens. Returns {"exitCode": n} plus what the method answers.
    core::Json handle(const core::Json& request, const RequestOutput& output,
                      std::stop_token stop = {});

    // Events for subscribers: capture events, status changes, applied settings.
    int subscribe(std::function<void(const core::Json& event)> listener);
    void unsubscribe(int token);

    const std::string& role() const;
    core::Clock& clock();

    // The request methods, for --help texts and the README.
    static const std::map<std::string, std::string>& methods();

  private:
    struct Parts;
    void publish(const core::Json& event);
    void applyCaptureSettings();
    // The vault browser, made at its first use (a daemon makes it at launch).
    browser::VaultBrowser& vaultBrowser();
    void makeRecordingSession();
    core::Json handleRecording(const std::string& method, const core::Json& params,
                               const RequestOutput& output, std::stop_token stop);
    // Runs `work` on the engine's main queue and waits for it.
    void onMain(const std::function<void()>& work);

    EngineOptions options_;
    std::unique_ptr<Parts> parts_;
    std::mutex listenersMutex_;
    std::map<int, std::function<void(const core::Json&)>> listeners_;
    int nextToken_ = 1;
};

}  // namespace sayloft::app
