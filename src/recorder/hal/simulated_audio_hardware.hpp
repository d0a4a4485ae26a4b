#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "recorder/hal/audio_hardware.hpp"

namespace sayloft::recorder::hal {

// A sound server in memory: sinks, sources, playback streams and default devices that a test
// sets up and changes, and audio it plays into them. Changes are reported to the change handler
// as a server reports them; streams fail as a server fails them (a removed device, a playback
// stream gone, a dead server). Audio is delivered on the calling thread, under the model's lock.
class SimulatedAudioHardware : public AudioHardware {
  public:
    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;

    // AudioHardware
    void connect() override;
    void disconnect() override;
    bool connected() const override;
    ServerInfo serverInfo() override;
    std::vector<SinkInfo> sinks() override;
    std::vector<SourceInfo> sources() override;
    std::vector<SinkInputInfo> sinkInputs() override;
    std::unique_ptr<RecordStream> openRecord(const RecordSetup& setup,
                                             RecordCallbacks callbacks) override;
    void setChangeHandler(std::function<void(const HardwareChange&)> handler) override;
    void runExclusive(const std::function<void()>& work) override;
    long ownProcessId() const override { return ownPid_; }

    // The model. A sink brings its monitor source "<name>.monitor". The first sink and the first
    // real source added become the defaults.
    uint32_t addSink(SinkInfo sink);
    void removeSink(const std::string& name);
    void setActivePort(const std::string& sinkName, std::optional<Port> port);
    uint32_t addSource(SourceInfo source);  // a real input
    void removeSource(const std::string& name);
    void setDefaultSink(const std::string& name);
    void setDefaultSource(const std::string& name);
    // A playback stream of process `binary` (pid `pid`) on `sinkName`.
    uint32_t addSinkInput(const std::string& sinkName, const std::string& binary, long pid,
                          const std::string& appName = {});
    void removeSinkInput(uint32_t index);
    void setCorked(uint32_t index, bool corked);

    // Plays stereo frames from a sink input: every stream on its sink's monitor hears them, and
    // the per-stream monitors of that input.
    void play(uint32_t sinkInput, const float* stereo, int64_t frames);
    // Mono frames arriving at a real source (a microphone).
    void speak(const std::string& sourceName, const float* mono, int64_t frames);

    // The server dies: every stream fails, the connection is lost, connect() throws until
    // restartServer().
    void killServer();
    void restartServer();
    // The next `count` openRecord calls throw.
    void failNextOpens(int count);

    struct OpenStream {
        RecordSetup setup;
        uint64_t id = 0;
    };
    std::vector<OpenStream> openStreams() const;
    int connectAttempts() const;

  private:
    class Stream;
    struct StreamEntry {
        uint64_t id;
        RecordSetup setup;
        RecordCallbacks callbacks;
    };
    void closeStream(uint64_t id);
    void emit(HardwareChange change);
    void failStreamsLocked(const std::function<bool(const RecordSetup&)>& which,
                           const std::string& why);
    void deliverLocked(const std::function<bool(const RecordSetup&)>& which, const float* data,
                       int64_t frames, int channels);

    mutable std::recursive_mutex mutex_;
    std::function<void(const HardwareChange&)> handler_;
    bool serverUp_ = true;
    bool connected_ = false;
    int connectAttempts_ = 0;
    int failOpens_ = 0;
    long ownPid_;
    uint32_t nextIndex_ = 1;
    uint64_t nextStream_ = 1;
    std::string defaultSink_, defaultSource_;
    std::vector<SinkInfo> sinks_;
    std::vector<SourceInfo> sources_;
    std::vector<SinkInputInfo> inputs_;
    std::vector<StreamEntry> streams_;
    std::vector<float> scratch_;
};

}  // namespace sayloft::recorder::hal
