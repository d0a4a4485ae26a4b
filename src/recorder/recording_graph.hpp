#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "recorder/audio_process_catalog.hpp"
#include "recorder/audio_ring_buffer.hpp"
#include "recorder/recording_engine.hpp"
#include "settings/settings.hpp"

namespace sayloft::recorder {

// "All audio" or the application's name.
std::string sourceText(const settings::RecordingSource& source);
inline const char* outputKindWord(AudioOutputKind kind) {
    return toString(kind);
}

// The capture graph of one recording, as the session drives it. Implementations deliver their
// callbacks on any thread; the session hops to its own queue.
class RecordingGraph {
  public:
    struct Callbacks {
        std::function<void(const RecordingLevels&)> onLevels;
        // After a rebuild or a rate change: the new sample rate and microphone name.
        std::function<void(double, std::optional<std::string>)> onFormatChange;
        // Unrecoverable failure.
        std::function<void(const std::string&)> onError;
        std::function<void(AudioOutputKind)> onOutputKindChange;
    };

    virtual ~RecordingGraph() = default;
    virtual void setCallbacks(Callbacks callbacks) = 0;
    // Starts capturing into ring(). Throws Error with the reason.
    virtual void start() = 0;
    // Stereo frames, left the microphone and right the system (or the system's own left and
    // right without a microphone); the writer drains it.
    virtual std::shared_ptr<AudioRingBuffer> ring() = 0;
    virtual void stop() = 0;
    // Rebuilds for other options; reports the result through onFormatChange.
    virtual void reconfigure(const RecordingOptions& options) = 0;
    // After a wake: checks that audio still arrives and rebuilds if not.
    virtual void verifyIOAfterWake() = 0;
    // While paused the capture drops its audio.
    virtual void setPaused(bool paused) = 0;
    // Waits until every callback due so far was delivered (tests on a manual clock).
    virtual void flush() {}

    virtual double sampleRate() const = 0;
    virtual std::optional<std::string> microphoneName() const = 0;
    virtual AudioOutputKind outputKind() const = 0;
    virtual double outputLatency() const = 0;  // seconds from the capture to the loudspeaker
    virtual bool outputIsNetwork() const = 0;  // sound goes over the network (too late to cancel)
    // After start: includeMicrophone is false when no microphone made it into the graph.
    virtual RecordingOptions options() const = 0;
};

// The apps that play audio and the microphones, for the source and microphone choices.
class AudioCatalog {
  public:
    virtual ~AudioCatalog() = default;
    virtual std::vector<AudioApp> audioApps() = 0;
    virtual std::vector<AudioInputDevice> inputDevices() = 0;
    virtual AudioOutputKind outputKind() = 0;
};

// Creates the graph for a recording; the session owns it from start to stop.
using RecordingGraphFactory =
    std::function<std::unique_ptr<RecordingGraph>(const RecordingOptions&)>;

}  // namespace sayloft::recorder
