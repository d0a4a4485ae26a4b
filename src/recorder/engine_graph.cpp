#include "recorder/engine_graph.hpp"

#include "recorder/audio_process_catalog.hpp"
#include "recorder/recording_engine.hpp"

namespace sayloft::recorder {

namespace {

class EngineGraph : public RecordingGraph {
  public:
    EngineGraph(const RecordingOptions& options, std::shared_ptr<hal::AudioHardware> hardware,
                core::Clock& clock)
        : engine_(options, std::move(hardware), clock) {}
    ~EngineGraph() override { engine_.stop(); }

    void setCallbacks(Callbacks c) override {
        engine_.onLevels = std::move(c.onLevels);
        engine_.onFormatChange = std::move(c.onFormatChange);
        engine_.onError = std::move(c.onError);
        engine_.onOutputKindChange = std::move(c.onOutputKindChange);
    }
    void start() override { engine_.start(); }
    std::shared_ptr<AudioRingBuffer> ring() override { return engine_.sharedRing(); }
    void stop() override { engine_.stop(); }
    void reconfigure(const RecordingOptions& options) override { engine_.reconfigure(options); }
    void verifyIOAfterWake() override { engine_.verifyIOAfterWake(); }
    void setPaused(bool paused) override { engine_.setPaused(paused); }
    void flush() override { engine_.flush(); }
    double sampleRate() const override { return engine_.sampleRate(); }
    std::optional<std::string> microphoneName() const override {
        return engine_.recordsMicrophone() ? engine_.microphoneName() : std::nullopt;
    }
    AudioOutputKind outputKind() const override { return engine_.outputKind(); }
    double outputLatency() const override { return engine_.outputLatency(); }
    bool outputIsNetwork() const override { return engine_.outputIsNetwork(); }
    RecordingOptions options() const override { return engine_.options(); }

  private:
    RecordingEngine engine_;
};

class HardwareCatalog : public AudioCatalog {
  public:
    explicit HardwareCatalog(std::shared_ptr<hal::AudioHardware> hardware)
        : hardware_(hardware), catalog_(std::move(hardware)) {}

    std::vector<AudioApp> audioApps() override {
        std::lock_guard guard(mutex_);
        try {
            return catalog_.audioApps();
        } catch (const std::exception&) {
            return {};
        }
    }
    std::vector<AudioInputDevice> inputDevices() override {
        std::lock_guard guard(mutex_);
        try {
            return catalog_.inputDevices();
        } catch (const std::exception&) {
            return {};
        }
    }
    AudioOutputKind outputKind() override {
        std::lock_guard guard(mutex_);
        const bool wasConnected = hardware_->connected();
        auto kind = AudioOutputKind::unknown;
        try {
            if (!wasConnected) hardware_->connect();
            const auto server = hardware_->serverInfo();
            for (auto& sink : hardware_->sinks())
                if (sink.name == server.defaultSinkName) kind = classifyOutput(sink);
        } catch (const std::exception&) {
        }
        if (!wasConnected) hardware_->disconnect();
        return kind;
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<hal::AudioHardware> hardware_;
    AudioProcessCatalog catalog_;
};

}  // namespace

RecordingGraphFactory engineGraphFactory(
    std::function<std::shared_ptr<hal::AudioHardware>()> hardware, core::Clock& clock) {
    return [hardware = std::move(hardware), &clock](const RecordingOptions& options) {
        return std::unique_ptr<RecordingGraph>(
            std::make_unique<EngineGraph>(options, hardware(), clock));
    };
}

std::shared_ptr<AudioCatalog> hardwareCatalog(std::shared_ptr<hal::AudioHardware> hardware) {
    return std::make_shared<HardwareCatalog>(std::move(hardware));
}

}  // namespace sayloft::recorder
