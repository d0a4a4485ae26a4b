#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "core/clock.hpp"
#include "recorder/audio_ring_buffer.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder/recording_sidecar.hpp"

typedef struct sf_private_tag SNDFILE;

namespace sayloft::recorder {

// Stands in for the audio hardware: plays a microphone file and a system-audio file into the
// ring as the capture callback would (left the microphone, right the system audio, 10 ms
// chunks), in real time or faster. Both files must have one sample rate; stereo files are mixed
// to one channel. The shorter one is followed by silence.
class SimulatedSource {
  public:
    SimulatedSource(const std::filesystem::path& micFile, const std::filesystem::path& systemFile);
    ~SimulatedSource();
    SimulatedSource(const SimulatedSource&) = delete;
    SimulatedSource& operator=(const SimulatedSource&) = delete;

    double sampleRate() const { return rate_; }
    int64_t totalFrames() const { return frames_; }
    int64_t framesFed() const { return fed_; }
    bool ended() const { return fed_ >= frames_; }

    // Feeds up to `frames` frames. With a pacing clock it first sleeps until their time has come
    // on that clock (a ScaledClock runs faster than real time); without one, it waits for room
    // in the ring instead of dropping. Returns the frames fed; 0 at the end or when stopped.
    int64_t feed(AudioRingBuffer& ring, int64_t frames, core::Clock* pacing,
                 std::stop_token stop = {});

  private:
    int readSide(SNDFILE* file, int channels, int64_t fileFrames, float* out, int frames);

    SNDFILE* mic_ = nullptr;
    SNDFILE* system_ = nullptr;
    int micChannels_ = 1, systemChannels_ = 1;
    int64_t micFrames_ = 0, systemFrames_ = 0;
    double rate_ = 48000;
    int64_t frames_ = 0;
    int64_t fed_ = 0;
    std::optional<core::TimePoint> start_;
    std::optional<core::TimePoint> lastDropLog_;
    int64_t droppedLogged_ = 0;
    std::vector<float> scratch_, micChunk_, systemChunk_, interleaved_;
};

struct SimulatedRecordingOptions {
    std::filesystem::path micFile;
    std::filesystem::path systemFile;
    // 1 = real time, 4 = four times as fast, 0 = as fast as the writer keeps up.
    double timeScale = 1;
    std::string microphoneName = "Simulated microphone";
    bool echoCancellation = false;
    // Begin a new segment every so many seconds of audio (0: one segment).
    double segmentSeconds = 0;
};

// Records the two files as one meeting recording in a new work folder below `recordings` (id
// from the start time, "_2", "_3", ... when taken) and returns the finished sidecar. `progress`
// sees the id and the frames fed so far after every chunk. Stopping early finishes the
// recording with what was fed.
RecordingSidecar recordSimulated(
    const RecordingRecovery& recordings, const SimulatedRecordingOptions& options,
    core::Clock& clock, std::stop_token stop = {},
    std::function<void(const std::string& id, int64_t fed)> progress = {});

}  // namespace sayloft::recorder
