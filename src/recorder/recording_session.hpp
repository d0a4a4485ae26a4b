#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/queue.hpp"
#include "platform/power.hpp"
#include "recorder/recording_graph.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder/recording_sidecar.hpp"
#include "recorder/recording_writer.hpp"

namespace sayloft::platform {
class Notifications;
}

namespace sayloft::recorder {

enum class RecordingState { idle, starting, recording, paused, finishing, failed };
const char* stateWord(RecordingState state);

struct RecordingWarning {
    enum class Kind { systemAudio, microphoneAccess, microphoneSilent, power, note, speakerEcho };
    Kind kind;
    std::string text;
    bool operator==(const RecordingWarning&) const = default;
};

// The recording settings as the session reads them at each start and tick.
struct RecorderSettings {
    RecordingOptions options;
    std::string echoMode = "automatic";  // automatic, on, off
    bool consentReminder = true;
    std::optional<std::string> consentText;
    std::optional<int> autoStopMinutes;
};
RecorderSettings recorderSettings(const settings::AppSettings& values);

// What the session shows: the state, the elapsed time and levels, warnings and the echo line.
struct RecordingStatus {
    RecordingState state = RecordingState::idle;
    std::string failure;  // the message of `failed`
    std::optional<std::string> id;
    double elapsed = 0;
    RecordingOptions options;
    std::optional<std::string> microphoneName;
    RecordingLevels levels;
    std::vector<RecordingWarning> warnings;
    std::string echoLine;
    AudioOutputKind outputKind = AudioOutputKind::unknown;
    bool echoCancellationActive = false;
    std::optional<std::string> consentReminder;  // as visible now
    std::optional<std::string> lastResult;
    // The last recording was stopped by a failure (writing, disk, engine), not by the user or
    // the automatic stop; what it had recorded is sent all the same.
    bool stoppedOnFailure = false;
    std::vector<std::string> pendingRecovery;  // ids, newest first
};
core::Json toJson(const RecordingStatus& status);

// Owns a meeting recording from the press of Record to the hand-over of its audio: drives the
// capture graph and the writer, watches the recording once a second (write failures, free disk,
// battery, silence on each side, the automatic stop), reacts to sleep, wake and device changes,
// and on Stop & send hands the recording to `send`. Every failure of a running recording ends in
// sending what was recorded; a recording is never dropped without the user's discard.
//
// Every operation runs on the `main` queue; callbacks from the graph, the clock and the sleep
// watch hop onto it. Finishing the writer and sending run on the session's own worker.
class RecordingSession {
  public:
    struct Dependencies {
        core::Clock& clock;
        core::MainQueue& main;
        const RecordingRecovery& recordings;
        RecordingGraphFactory makeGraph;
        AudioCatalog* catalog = nullptr;
        std::function<RecorderSettings()> settings;
        platform::PowerSource* power = nullptr;
        platform::SleepWatch* sleep = nullptr;
        std::function<platform::DiskSpace(const std::filesystem::path&)> diskSpace;
        platform::Notifications* notifications = nullptr;
        // The "Recording not sent" notice (id, message).
        std::function<void(const std::string&, const std::string&)> notSent;
        // Encodes the work folder, hands the parts over and returns the result line; throws Error
        // with the reason (the recording stays).
        std::function<std::string(const std::string& id)> send;
        // Removes sound-server objects a crashed recording left behind.
        std::function<void()> removeLeftovers;
        std::string appVersion = "?";
    };
    // How a Stop & send ended: the result line, or the failure message.
    using SendDone = std::function<void(bool ok, const std::string& text)>;

    static constexpr double kGuardDelay = 6.0;
    static constexpr double kConsentMenuSeconds = 60.0;
    static constexpr float kAutoStopFloor = 0.001f;
    static constexpr int64_t kImportantFloor = 1073741824;  // 1 GiB
    static constexpr int64_t kAvailableFloor = 268435456;   // 256 MiB

    explicit RecordingSession(Dependencies deps);
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    void start(const RecordingOptions& options);
    void pause();
    void resume();
    // `done` (optional) hears how it ended, on the main queue. Nothing happens (and `done`
    // hears a failure) unless a recording is active.
    void stopAndSend(SendDone done = {});
    // While finishing, a discard still wins when the hand-over has not begun; false when it had.
    bool discard();
    void change(const RecordingOptions& options);
    // Once at start-up: leftovers of a crashed recording removed, unfinished recordings offered.
    void launchCheck();
    // The engine is going away: a running recording is closed and kept for recovery.
    void shutdown();

    void willSleep();
    void didWake();

    RecordingStatus status() const;
    RecordingState state() const { return state_; }
    bool isActive() const {
        return state_ == RecordingState::recording || state_ == RecordingState::paused;
    }
    const std::optional<std::string>& currentID() const { return currentID_; }
    const std::vector<RecordingWarning>& warnings() const { return warnings_; }
    // Joined with one blank; empty when there are none.
    std::string warning() const;

    // Called on the main queue at every state change and after every level report.
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    // Tests: waits until the worker has nothing left (its results are then queued on main).
    void drainWorker();
    // Tests: waits until the graph delivered every callback due so far (they are then queued).
    void flushGraph() {
        if (graph_) graph_->flush();
    }
    // Tests: frames captured and not yet written.
    int64_t ringBacklog() const { return ring_ ? ring_->availableFrames() : 0; }

  private:
    struct Sums {
        float peakMic = 0, peakSystem = 0;
        double squaresMic = 0, squaresSystem = 0;
        int ticks = 0;
    };

    void changed();
    void addWarning(RecordingWarning::Kind kind, const std::string& text);
    void removeWarnings(RecordingWarning::Kind kind);
    void setLevels(const RecordingLevels& levels);
    bool echoWanted() const;
    void applyEcho(bool cut);
    double referenceDelay() const;
    void stampNewestSegment();
    void onLevels(const RecordingLevels& levels);
    void onFormatChange(double rate, std::optional<std::string> micName);
    void onEngineError(const std::string& message);
    void onOutputKindChange(AudioOutputKind kind);
    void tick();
    bool writeFailureCheck();
    bool diskCheck();
    void powerCheck();
    void silenceCheck();
    bool autoStopCheck();
    void scheduleStop(bool failure = true);
    void bankRunning();
    void fail(const std::string& message, bool keepFolder, const std::optional<std::string>& id);
    void holdSleep();
    void releaseSleep();
    void stopTimers();
    void startTimers();
    void showConsent();
    void addToRecovery(const RecordingSidecar& sidecar);
    void writeSummaryLocked(bool endNow);
    bool microphoneAllowed(RecordingOptions& options);
    std::string microphoneWord() const;
    double elapsedNow() const;

    Dependencies deps_;
    core::SerialQueue worker_{"sayloft.recorder.send"};
    // Guards the callbacks that other threads hold against the session going away.
    std::shared_ptr<RecordingSession*> alive_;

    RecordingState state_ = RecordingState::idle;
    std::string failure_;
    RecordingOptions options_;
    RecorderSettings settings_;
    std::vector<RecordingWarning> warnings_;
    std::optional<std::string> lastResult_;
    std::vector<RecordingSidecar> pendingRecovery_;
    std::set<std::string> recoveriesInFlight_;
    AudioOutputKind outputKind_ = AudioOutputKind::unknown;
    bool echoActive_ = false;
    std::optional<std::string> consentReminder_;
    bool consentNotified_ = false;

    RecordingLevels levels_;
    float cleanMicPeak_ = 0;
    std::unique_ptr<RecordingGraph> graph_;
    std::unique_ptr<RecordingWriter> writer_;
    std::shared_ptr<AudioRingBuffer> ring_;
    std::optional<std::string> currentID_;
    bool holdingSleep_ = false;
    std::unique_ptr<core::Timer> tickTimer_;
    std::unique_ptr<core::Timer> meterTimer_;
    double bankedElapsed_ = 0;
    std::optional<core::TimePoint> runningSince_;
    double elapsed_ = 0;
    bool systemHeard_ = false, micHeard_ = false;
    bool systemWarned_ = false, micWarned_ = false;
    std::optional<core::TimePoint> lastGuardCheck_;
    core::TimePoint lastSoundAt_{};
    std::optional<core::TimePoint> lastDiskCheck_;
    Sums sums_;
    std::optional<core::TimePoint> sleptAt_;
    bool batteryWarned_ = false;
    std::optional<std::string> pendingSegmentReason_;
    bool stopScheduled_ = false;
    bool stoppedOnFailure_ = false;
    // A discard asked for while finishing: honoured if the hand-over has not begun.
    std::shared_ptr<std::atomic<bool>> discardWhileFinishing_;
    std::function<void()> onChange_;
};

}  // namespace sayloft::recorder
