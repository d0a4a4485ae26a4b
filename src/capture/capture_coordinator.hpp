#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "capture/folder_watcher.hpp"
#include "core/clock.hpp"
#include "core/queue.hpp"
#include "platform/notifications.hpp"
#include "platform/user_defaults.hpp"

namespace sayloft::capture {

// Tells when files appear in or are written to a set of folders (inotify). Folders it cannot
// watch (network mounts, too many watches) are left to the coordinator's timer.
class FolderChanges {
  public:
    FolderChanges(const std::vector<std::filesystem::path>& folders, std::function<void()> changed);
    ~FolderChanges();
    FolderChanges(const FolderChanges&) = delete;
    FolderChanges& operator=(const FolderChanges&) = delete;
    int watched() const { return watched_; }

  private:
    void run();
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    int watched_ = 0;
    std::function<void()> changed_;
    std::thread thread_;
};

// Polls every enabled watched folder on its own serial queue: access check first, then the
// folder's watcher. New captures go to onNewCapture, on the coordinator's queue, as soon as each
// is claimed. The next tick is scheduled when one ends: ticks never pile up.
class CaptureCoordinator {
  public:
    struct Dependencies {
        std::function<std::vector<settings::WatchedFolder>()> enabledFolders;
        CaptureStateStore& store;
        core::Clock& clock;
        platform::UserDefaults& defaults;
        platform::Notifications& notifications;
        CaptureGuards guards = CaptureGuards::defaults();
        // The access check of a folder; the real check unless replaced.
        std::function<CaptureAccess::State(const FolderWatcher&)> access;
    };

    static constexpr double kPollInterval = 30;
    static constexpr double kFirstTick = 2;
    // Set false to rely on the timer alone (tests of the timer).
    bool watchChanges = true;

    explicit CaptureCoordinator(Dependencies deps);
    ~CaptureCoordinator();

    // Each is queued and returns at once.
    void start();
    void stop();
    void reload();

    // One pass as start would make it, without a timer: initial index where needed, then one
    // tick. Waits for the pass and returns the captures it produced.
    std::vector<FolderWatcher::NewCapture> runOnce();
    // Hands on every file that was found but has no note yet, now, whatever its pause (the
    // retry command). Waits and returns them.
    std::vector<FolderWatcher::NewCapture> retryNotYetNoted();

    void setOnNewCapture(std::function<void(const FolderWatcher::NewCapture&)> callback);
    // Which capture ids a new file may take (the pipeline's collision rule); all when unset.
    void setIdFilter(std::function<bool(const std::string&)> usable);
    CaptureStateStore& store() { return deps_.store; }
    // Total new captures of each tick (the capture status counts polls).
    void setOnPoll(std::function<void(int)> callback);
    // Access state changes of the Voice Memos folder.
    void setOnVoiceMemosAccess(std::function<void(const CaptureAccess::State&)> callback);

    bool isRunning();
    // Waits for everything queued so far (tests, shutdown).
    void drain();
    core::SerialQueue& queue() { return queue_; }

  private:
    void startOnQueue();
    void stopOnQueue(bool log);
    std::vector<FolderWatcher::NewCapture> tickOnQueue();
    void buildWatchers();
    void report(const settings::WatchedFolder& folder, const CaptureAccess::State& state);

    Dependencies deps_;
    void schedule(double seconds);
    std::function<bool(const std::string&)> idFilter();

    void folderChanged();

    std::unique_ptr<core::Timer> timer_;
    std::unique_ptr<FolderChanges> changes_;
    std::atomic<bool> changeQueued_{false};
    bool running_ = false;
    std::vector<FolderWatcher> watchers_;
    bool hasInitialised_ = false;
    std::map<std::string, CaptureAccess::State> lastStates_;
    std::stop_source stop_;
    // Cut short by stop() and reload(), so they never wait behind a tick's waiting window.
    std::mutex tickMutex_;
    std::stop_source tickStop_;

    std::mutex callbackMutex_;
    std::function<void(const FolderWatcher::NewCapture&)> onNewCapture_;
    std::function<void(int)> onPoll_;
    std::function<bool(const std::string&)> idFilter_;
    std::function<void(const CaptureAccess::State&)> onVoiceMemosAccess_;

    core::SerialQueue queue_{"sayloft.capture.coordinator"};
};

// Keeps the Voice Memos app running on a Mac. Linux has no such app: starting and stopping only
// say so in the log.
class VoiceMemosKeeper {
  public:
    void start();
    void stop();
    bool isOn() const { return on_; }

  private:
    bool on_ = false;
};

}  // namespace sayloft::capture
