#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "capture/after_transcript_command.hpp"
#include "capture/capture_coordinator.hpp"
#include "capture/folder_watcher.hpp"
#include "core/clock.hpp"
#include "platform/notifications.hpp"
#include "platform/user_defaults.hpp"
#include "service/keychain.hpp"
#include "service/models.hpp"
#include "settings/settings.hpp"
#include "vault/inbox_writer.hpp"

namespace sayloft::service {
class WendrelClient;
}

namespace sayloft::capture {

// What the pipeline tells the notifier.
struct CaptureEvent {
    enum class Kind { sent, transcriptReady, failed };
    Kind kind;
    std::string id;
    std::string status;  // failed: the job status that ended it
};

// How a capture's audio is described to the service.
struct UploadProfile {
    std::string contentSource;
    std::vector<std::string> tags;
    std::map<std::string, std::string> metadata;
};

// Takes each capture from copy and stub note through upload and polling to its transcript. The
// note's wl_job_status is the only persisted state, so unfinished captures resume at start.
class CapturePipeline {
  public:
    static constexpr double kPollTimeout = 21600;
    static constexpr int kMaxNotFoundPolls = 10;
    static constexpr double kCacheKeyTimeout = 600;
    static const std::set<std::string>& resumableStates();

    struct Dependencies {
        settings::Settings& settings;
        service::Keychain& keychain;
        core::Clock& clock;
        platform::UserDefaults& defaults;
        CaptureCoordinator* coordinator = nullptr;
        AfterTranscriptCommand* afterTranscript = nullptr;
        // The capture state; the coordinator's when not given.
        CaptureStateStore* store = nullptr;
        // Told once when the service refuses this computer's pairing.
        platform::Notifications* notifications = nullptr;
    };

    static constexpr const char* kRefusedTokenKey = "sayloft.pairing.refusedToken";
    // The service answered 401 to the current device token: nothing is sent or polled until
    // the computer is paired again (a new token).
    static bool pairingRefused(platform::UserDefaults& defaults, const service::Keychain& keychain);
    // The line `sayloft status` shows while it is so; empty otherwise.
    static std::string pairingRefusedLine(platform::UserDefaults& defaults,
                                          const service::Keychain& keychain);

    enum class UploadOutcome { uploaded, alreadyHandled, noLocalAudio, failed };

    explicit CapturePipeline(Dependencies deps);
    ~CapturePipeline();
    CapturePipeline(const CapturePipeline&) = delete;
    CapturePipeline& operator=(const CapturePipeline&) = delete;

    // Connects to the coordinator and starts it; resumes unfinished captures when uploading is
    // on and this device is paired. Safe to call again: the claim set prevents double work.
    void start();
    void stop();
    // Cancels every capture task (they resume at the next start) and waits for them.
    void shutdown();

    // Starts the handling of one new capture on its own task.
    void handle(const FolderWatcher::NewCapture& capture);
    // Sends the audio of an existing note and, once uploaded, follows it in the background.
    // Log lines use `area` ("capture pipeline", "capture retry").
    UploadOutcome uploadExisting(const std::string& id, const std::optional<UploadProfile>& profile,
                                 const std::string& area);
    // Finds unfinished captures in the inbox and picks each up again.
    int resumeUnfinished();

    void setOnCaptureEvent(std::function<void(const CaptureEvent&)> callback);
    // Blocks until no capture task runs (tests, one-shot commands).
    void waitUntilIdle();
    bool isIdle();

    // The id a capture is filed under: the watcher's id unless a meeting recording holds it.
    std::string resolveCollision(const std::string& id);
    // Whether a new capture may take this id: no recording's note holds it.
    bool idUsable(const std::string& id);
    // When sayloft first saw the file of each capture id (for the retry watermark).
    std::map<std::string, core::TimePoint> firstSeenById() const;
    UploadProfile uploadProfile(const vault::InboxWriter::Frontmatter& note) const;
    vault::InboxWriter inbox() const;
    bool uploadEnabled() const;
    bool claim(const std::string& id);
    void release(const std::string& id);

  private:
    struct KeyResolution;
    std::unique_ptr<service::WendrelClient> client() const;
    void spawn(std::function<void(std::stop_token)> work);
    void handleCapture(const FolderWatcher::NewCapture& capture, std::stop_token stop);
    // Upload, resolve the key, record it. Returns the key, or nothing after failing
    // the capture. Log lines under `area`.
    std::optional<std::string> upload(const std::string& id, const UploadProfile& profile,
                                      const std::string& area, std::stop_token stop);
    std::optional<std::string> resolveKey(const std::string& id,
                                          const service::UploadResult& result,
                                          std::stop_token stop);
    std::optional<std::string> resolveKeyFrom(const std::string& id,
                                              const service::UploadResult& result,
                                              std::stop_token stop);
    void pollUntilDone(const std::string& id, std::string key, std::stop_token stop);
    std::optional<std::string> findCurrentKey(const std::string& id, const std::string& deadKey,
                                              std::stop_token stop);
    void fetchTranscript(const std::string& id, const std::string& key, std::stop_token stop);
    void fail(const std::string& id, const std::string& status);
    // Whether `error` was the service refusing the pairing; records it (log, one notification).
    bool refused(const std::exception& error);
    void emit(const CaptureEvent& event);
    vault::InboxWriter::Frontmatter stubFor(const std::string& id) const;
    CaptureStateStore* store() const;
    // Tells the state store how a claimed capture's way to its note ended.
    void settle(const FolderWatcher::NewCapture& capture, const char* outcome,
                const std::string& error = "");
    // Partial copies and notes left by a process that died mid-write.
    void removeStaleTemporaries();

    Dependencies deps_;
    std::mutex claimLock_;
    std::set<std::string> claimed_;
    std::mutex callbackMutex_;
    std::function<void(const CaptureEvent&)> onCaptureEvent_;

    struct Task {
        std::jthread thread;
        std::atomic<bool> done{false};
    };
    std::mutex tasksMutex_;
    std::condition_variable tasksChanged_;
    std::list<std::unique_ptr<Task>> tasks_;
    bool shuttingDown_ = false;
};

// A capture's note before anything is known of it: the note defaults, the id, the date and
// "_inbox/.audio/<id>.m4a".
vault::InboxWriter::Frontmatter captureStub(const std::string& id, core::TimePoint created);

// Turns line breaks into blanks: values from the service must stay on one frontmatter line.
std::string singleLine(const std::string& text);

}  // namespace sayloft::capture
