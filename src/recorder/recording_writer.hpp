#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"
#include "recorder/audio_ring_buffer.hpp"
#include "recorder/echo_canceller.hpp"
#include "recorder/recording_sidecar.hpp"

typedef struct sf_private_tag SNDFILE;

namespace sayloft::recorder {

// Drains the ring on its own thread into numbered CAF segments (float32, 2 channels: left the
// microphone, echo-cleaned where cancellation runs; right the system audio) and keeps the
// recording's sidecar current. A writer lives for one recording: create, startDraining,
// beginSegment (again for every new segment), finish.
//
// Crash safety: the segment header is rewritten after every append and the file is flushed to
// disk once a second, so a killed process leaves each segment readable up to its last append;
// the sidecar is replaced durably at every change.
class RecordingWriter {
  public:
    static constexpr int kChunkFrames = 8192;

    // Creates the work folder (throws on failure) and persists the sidecar once.
    RecordingWriter(std::filesystem::path workFolder, RecordingSidecar sidecar,
                    core::Clock& clock = core::systemClock());
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Starts the writer thread, or only swaps the ring when it runs.
    void startDraining(std::shared_ptr<AudioRingBuffer> ring);
    // Ends the open segment, if any, and begins the next. Throws when the file cannot be made.
    void beginSegment(double sampleRate, std::optional<std::string> micDeviceName,
                      const std::string& reason, std::optional<bool> echoCancellation = {},
                      std::optional<double> referenceDelay = {});
    // Stops the thread, closes the segment, marks the recording "stopped" and returns the sidecar.
    RecordingSidecar finish();

    // Gets the written microphone peak (0…1) about ten times a second, and 0 when a segment
    // closes. Called with the writer's lock held: hand the value to your own queue and do not
    // call the writer from inside.
    void setOnMicLevel(std::function<void(float)> callback);
    void setEchoSwitch(bool on);
    bool echoSwitch() const;

    // For the session: everything below is called with lock() held.
    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
    int failedWritesLocked() const { return failedWrites_; }
    const std::optional<std::string>& lastWriteErrorLocked() const { return lastWriteError_; }
    RecordingSidecar& stateLocked() { return state_; }
    void persistLocked();
    void endSegmentLocked();
    // Empties the ring into the open segment (or discards it without one), as the thread does.
    void drainLocked();

    // Inspection for tests.
    int delayLengthLocked() const { return delayLength_; }
    int refHistoryLengthLocked() const { return refHistoryLength_; }
    float cancelMixLocked() const { return cancelMix_; }
    int64_t framesInSegmentLocked() const { return framesInSegment_; }
    // Called instead of the file append, to inject faults (returns false: the append failed).
    void setAppendHookForTesting(std::function<bool(int64_t frames)> hook);

  private:
    void threadMain();
    void handChunkLocked(const float* interleaved, int frames);
    void appendLocked(int frames);
    void setUpMicrophoneLocked(bool hasMicrophone, double sampleRate);
    int micPipelineLocked(int n);
    void publishMicLevelLocked();
    std::string newestFileName() const;
    void fsyncSegment(const std::filesystem::path& file);

    std::filesystem::path workFolder_;
    core::Clock& clock_;

    mutable std::mutex mutex_;
    RecordingSidecar state_;
    SNDFILE* file_ = nullptr;
    double segmentRate_ = 0;
    std::optional<std::filesystem::path> segmentPath_;
    int64_t framesInSegment_ = 0;
    std::shared_ptr<AudioRingBuffer> ring_;
    std::thread thread_;
    bool stopRequested_ = false;
    std::counting_semaphore<> wake_{0};
    int failedWrites_ = 0;
    std::optional<std::string> lastWriteError_;
    bool writeErrorLogged_ = false;
    std::vector<float> interleaved_;
    std::vector<float> out_;  // interleaved output of one chunk
    int outFrames_ = 0;

    mutable std::mutex echoMutex_;
    bool echoSwitch_ = false;

    std::unique_ptr<EchoCanceller> canceller_;
    bool segmentHasMicrophone_ = false;
    bool cancellerRunning_ = false;
    int cancellerWarmup_ = 0;
    float cancelMix_ = 0;
    float cancelMixStep_ = 0;
    bool segmentMarkedCancelled_ = false;
    int alignSkip_ = 0;
    int delayLength_ = 0;
    int delayPosition_ = 0;
    int64_t framesIntoPipeline_ = 0;
    float meterPeak_ = 0;
    std::optional<core::TimePoint> meterLastPublish_;
    std::vector<float> micIn_, refIn_, cleaned_, delayMic_, delayRef_, refDelayed_;
    std::vector<float> refHistory_;
    int refHistoryLength_ = 0;
    int refHistoryPosition_ = 0;
    double referenceDelay_ = 0;
    std::function<void(float)> onMicLevel_;
    std::function<bool(int64_t)> appendHook_;
    core::TimePoint lastSync_{};
};

}  // namespace sayloft::recorder
