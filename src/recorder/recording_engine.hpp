#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.hpp"
#include "core/error.hpp"
#include "recorder/audio_ring_buffer.hpp"
#include "recorder/hal/audio_hardware.hpp"
#include "settings/settings.hpp"

namespace sayloft::recorder {

using settings::RecordingSource;

// Where the sound goes: the echo canceller is only worth running when it goes to loudspeakers.
enum class AudioOutputKind { builtInSpeakers, externalSpeakers, headphones, unknown };

// "builtInSpeakers", "externalSpeakers", "headphones", "unknown".
const char* toString(AudioOutputKind kind);
std::optional<AudioOutputKind> outputKindFromString(const std::string& text);

// Classifies a sink from its active port and device properties (a null sink: unknown).
AudioOutputKind classifyOutput(const hal::SinkInfo& sink);

// Peaks and RMS of both sides over the last level tick, each in 0...1.
struct RecordingLevels {
    float micPeak = 0;
    float micRMS = 0;
    float systemPeak = 0;
    float systemRMS = 0;
    bool operator==(const RecordingLevels&) const = default;
};

// What a recording takes: a source (all audio or one app) and a microphone or none.
struct RecordingOptions {
    RecordingSource source;
    bool includeMicrophone = true;
    // The microphone's id (the source name); empty: the default input.
    std::optional<std::string> microphoneUID;
    bool operator==(const RecordingOptions&) const = default;
};

// A failure the user reads as is ("... is not using audio right now ...").
class EngineError : public Error {
  public:
    using Error::Error;
};

// Captures a meeting as two synchronised signals into `ring()`: left the microphone, right the
// system audio mixed to mono; without a microphone, the system audio's own left and right.
// System audio is the default output's monitor, or for one app the per-stream monitors of that
// app's playback streams. The microphone is opened by name and is never a monitor. The
// microphone is the clock (else the first system stream); the other streams are held in step by
// dropping or repeating single frames, and gaps become silence.
//
// The engine watches the server (default devices, device list, ports, the app's streams, server
// restarts) and rebuilds the graph with bounded retries. No stream is open before start() or
// after stop().
//
// Threads: the public operations may be called from any one thread (the session's main thread).
// Every callback runs on the engine's own control queue: hop to the main queue from there.
// Callbacks may call the engine back (stop() from onError is fine).
class RecordingEngine {
  public:
    enum class Phase { idle, running, stopped };

    RecordingEngine(RecordingOptions options, std::shared_ptr<hal::AudioHardware> hardware,
                    core::Clock& clock);
    ~RecordingEngine();
    RecordingEngine(const RecordingEngine&) = delete;
    RecordingEngine& operator=(const RecordingEngine&) = delete;

    // Set before start().
    std::function<void(const RecordingLevels&)> onLevels;
    // After every rebuild of the graph: the rate and the microphone's name (none without one).
    // The session begins a new segment here.
    std::function<void(double sampleRate, std::optional<std::string> microphoneName)>
        onFormatChange;
    // An unrecoverable failure after start; the engine keeps running without a graph until
    // stopped.
    std::function<void(const std::string& message)> onError;
    // The output kind or whether echo cancellation can follow it changed.
    std::function<void(AudioOutputKind kind)> onOutputKindChange;

    // Only from idle; throws EngineError (from stopped: "This recorder was already stopped; start
    // a new recording."). From running it does nothing.
    void start();
    // From any phase; ends in stopped; closes every stream and the connection.
    void stop();
    // New options; rebuilds the graph when running and they differ. After a successful rebuild
    // onFormatChange has been called when this returns; a failed one is retried as after a
    // device change.
    void reconfigure(const RecordingOptions& options);
    // After the computer woke: rebuilds unless audio flows again within 2.5 s.
    void verifyIOAfterWake();

    Phase phase() const;
    // After start, includeMicrophone is false when no microphone is in the graph.
    RecordingOptions options() const;
    double sampleRate() const;
    std::optional<std::string> microphoneName() const;
    // True while the left channel carries a microphone ("L=microphone,R=system"); otherwise the
    // channels are the system's own left and right ("L=system-left,R=system-right").
    bool recordsMicrophone() const;
    AudioOutputKind outputKind() const;
    // Seconds from the monitor to the loudspeaker.
    double outputLatency() const;
    // The output is a network sink (RAOP, a tunnel): it plays too late for the echo canceller
    // to follow it.
    bool outputIsNetwork() const;
    // The same as outputIsNetwork() (older name).
    bool outputIsAirPlay() const { return outputIsNetwork(); }

    // 524,288 stereo frames; the writer drains it.
    AudioRingBuffer& ring() { return *ring_; }
    std::shared_ptr<AudioRingBuffer> sharedRing() const { return ring_; }

    // While paused the capture drops audio instead of filling the ring (levels go on).
    void setPaused(bool paused);
    bool paused() const;

    // Frames that reached the ring (or were dropped while paused) since start.
    int64_t framesCaptured() const;
    // Data deliveries from the server since start (advances while audio flows).
    int64_t callbackCount() const;
    int64_t droppedFrames() const { return ring_->droppedFrames(); }

    // Waits until every event handed to the engine so far (server changes, timers) was handled.
    void flush();

  private:
    struct Impl;
    std::shared_ptr<AudioRingBuffer> ring_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sayloft::recorder
