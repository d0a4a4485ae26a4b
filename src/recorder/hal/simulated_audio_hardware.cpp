#include "recorder/hal/simulated_audio_hardware.hpp"

#include <unistd.h>

#include <algorithm>

namespace sayloft::recorder::hal {

using Facility = HardwareChange::Facility;
using Operation = HardwareChange::Operation;

class SimulatedAudioHardware::Stream : public RecordStream {
  public:
    Stream(SimulatedAudioHardware& owner, uint64_t id, RecordSetup setup)
        : owner_(owner), id_(id), setup_(std::move(setup)) {}
    ~Stream() override { owner_.closeStream(id_); }
    const RecordSetup& setup() const override { return setup_; }

  private:
    SimulatedAudioHardware& owner_;
    uint64_t id_;
    RecordSetup setup_;
};

SimulatedAudioHardware::SimulatedAudioHardware() : ownPid_(static_cast<long>(::getpid())) {}
SimulatedAudioHardware::~SimulatedAudioHardware() = default;

void SimulatedAudioHardware::connect() {
    std::lock_guard lock(mutex_);
    ++connectAttempts_;
    if (!serverUp_) throw HardwareError("Cannot connect to the sound server: Connection refused");
    connected_ = true;
}

void SimulatedAudioHardware::disconnect() {
    std::lock_guard lock(mutex_);
    connected_ = false;
    streams_.clear();
}

bool SimulatedAudioHardware::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

#define SIM_REQUIRE_CONNECTION()                                                   \
    do {                                                                           \
        if (!connected_) throw HardwareError("Not connected to the sound server"); \
    } while (false)

ServerInfo SimulatedAudioHardware::serverInfo() {
    std::lock_guard lock(mutex_);
    SIM_REQUIRE_CONNECTION();
    return {"simulated", "1", defaultSink_, defaultSource_};
}

std::vector<SinkInfo> SimulatedAudioHardware::sinks() {
    std::lock_guard lock(mutex_);
    SIM_REQUIRE_CONNECTION();
    return sinks_;
}

std::vector<SourceInfo> SimulatedAudioHardware::sources() {
    std::lock_guard lock(mutex_);
    SIM_REQUIRE_CONNECTION();
    return sources_;
}

std::vector<SinkInputInfo> SimulatedAudioHardware::sinkInputs() {
    std::lock_guard lock(mutex_);
    SIM_REQUIRE_CONNECTION();
    return inputs_;
}

std::unique_ptr<RecordStream> SimulatedAudioHardware::openRecord(const RecordSetup& setup,
                                                                 RecordCallbacks callbacks) {
    std::lock_guard lock(mutex_);
    SIM_REQUIRE_CONNECTION();
    if (failOpens_ > 0) {
        --failOpens_;
        throw HardwareError("Recording from " + setup.sourceName + " failed: Input/Output error");
    }
    auto source = std::find_if(sources_.begin(), sources_.end(),
                               [&](const SourceInfo& s) { return s.name == setup.sourceName; });
    if (source == sources_.end())
        throw HardwareError("Recording from " + setup.sourceName + " failed: No such entity");
    if (setup.monitorSinkInput) {
        auto input = std::find_if(inputs_.begin(), inputs_.end(), [&](const SinkInputInfo& i) {
            return i.index == *setup.monitorSinkInput;
        });
        if (input == inputs_.end() || input->sink != source->monitorOfSink)
            throw HardwareError("Recording from " + setup.sourceName + " failed: No such entity");
    }
    const uint64_t id = nextStream_++;
    streams_.push_back({id, setup, std::move(callbacks)});
    return std::make_unique<Stream>(*this, id, setup);
}

void SimulatedAudioHardware::closeStream(uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(streams_, [&](const StreamEntry& s) { return s.id == id; });
}

void SimulatedAudioHardware::setChangeHandler(std::function<void(const HardwareChange&)> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void SimulatedAudioHardware::runExclusive(const std::function<void()>& work) {
    std::lock_guard lock(mutex_);
    work();
}

void SimulatedAudioHardware::emit(HardwareChange change) {
    if (connected_ && handler_) handler_(change);
}

uint32_t SimulatedAudioHardware::addSink(SinkInfo sink) {
    std::lock_guard lock(mutex_);
    sink.index = nextIndex_++;
    SourceInfo monitor;
    monitor.index = nextIndex_++;
    monitor.name = sink.name + ".monitor";
    monitor.description = "Monitor of " + sink.description;
    monitor.monitorOfSink = sink.index;
    monitor.channels = sink.channels;
    sink.monitorSourceName = monitor.name;
    sink.monitorSourceIndex = monitor.index;
    sinks_.push_back(sink);
    sources_.push_back(monitor);
    emit({Facility::sink, Operation::added, sink.index, {}});
    emit({Facility::source, Operation::added, monitor.index, {}});
    if (defaultSink_.empty()) {
        defaultSink_ = sink.name;
        emit({Facility::server, Operation::changed, kInvalidIndex, {}});
    }
    return sink.index;
}

void SimulatedAudioHardware::removeSink(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(sinks_.begin(), sinks_.end(),
                           [&](const SinkInfo& s) { return s.name == name; });
    if (it == sinks_.end()) return;
    const SinkInfo sink = *it;
    sinks_.erase(it);
    std::erase_if(sources_, [&](const SourceInfo& s) { return s.monitorOfSink == sink.index; });
    failStreamsLocked([&](const RecordSetup& s) { return s.sourceName == sink.monitorSourceName; },
                      "Entity killed");
    // The server moves the sink's playback streams to the new default.
    if (defaultSink_ == name) defaultSink_ = sinks_.empty() ? std::string() : sinks_.front().name;
    const uint32_t target = sinks_.empty() ? kInvalidIndex : sinks_.front().index;
    for (auto& input : inputs_) {
        if (input.sink != sink.index) continue;
        input.sink = target;
        emit({Facility::sinkInput, Operation::changed, input.index, {}});
    }
    emit({Facility::source, Operation::removed, sink.monitorSourceIndex, {}});
    emit({Facility::sink, Operation::removed, sink.index, {}});
    emit({Facility::server, Operation::changed, kInvalidIndex, {}});
}

void SimulatedAudioHardware::setActivePort(const std::string& sinkName, std::optional<Port> port) {
    std::lock_guard lock(mutex_);
    for (auto& sink : sinks_) {
        if (sink.name != sinkName) continue;
        sink.activePort = std::move(port);
        emit({Facility::sink, Operation::changed, sink.index, {}});
    }
}

uint32_t SimulatedAudioHardware::addSource(SourceInfo source) {
    std::lock_guard lock(mutex_);
    source.index = nextIndex_++;
    source.monitorOfSink = kInvalidIndex;
    sources_.push_back(source);
    emit({Facility::source, Operation::added, source.index, {}});
    if (defaultSource_.empty()) {
        defaultSource_ = source.name;
        emit({Facility::server, Operation::changed, kInvalidIndex, {}});
    }
    return source.index;
}

void SimulatedAudioHardware::removeSource(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [&](const SourceInfo& s) { return s.name == name && !s.isMonitor(); });
    if (it == sources_.end()) return;
    const uint32_t index = it->index;
    sources_.erase(it);
    failStreamsLocked([&](const RecordSetup& s) { return s.sourceName == name; }, "Entity killed");
    emit({Facility::source, Operation::removed, index, {}});
    if (defaultSource_ == name) {
        // As a real server does: the default falls back to whatever is left, even a monitor.
        auto real = std::find_if(sources_.begin(), sources_.end(),
                                 [](const SourceInfo& s) { return !s.isMonitor(); });
        defaultSource_ = real != sources_.end() ? real->name
                         : sources_.empty()     ? std::string()
                                                : sources_.front().name;
        emit({Facility::server, Operation::changed, kInvalidIndex, {}});
    }
}

void SimulatedAudioHardware::setDefaultSink(const std::string& name) {
    std::lock_guard lock(mutex_);
    defaultSink_ = name;
    emit({Facility::server, Operation::changed, kInvalidIndex, {}});
}

void SimulatedAudioHardware::setDefaultSource(const std::string& name) {
    std::lock_guard lock(mutex_);
    defaultSource_ = name;
    emit({Facility::server, Operation::changed, kInvalidIndex, {}});
}

uint32_t SimulatedAudioHardware::addSinkInput(const std::string& sinkName,
                                              const std::string& binary, long pid,
                                              const std::string& appName) {
    std::lock_guard lock(mutex_);
    SinkInputInfo input;
    input.index = nextIndex_++;
    for (const auto& sink : sinks_)
        if (sink.name == sinkName) input.sink = sink.index;
    input.properties["application.process.binary"] = binary;
    input.properties["application.process.id"] = std::to_string(pid);
    if (!appName.empty()) input.properties["application.name"] = appName;
    inputs_.push_back(input);
    emit({Facility::sinkInput, Operation::added, input.index, {}});
    return input.index;
}

void SimulatedAudioHardware::removeSinkInput(uint32_t index) {
    std::lock_guard lock(mutex_);
    std::erase_if(inputs_, [&](const SinkInputInfo& i) { return i.index == index; });
    failStreamsLocked([&](const RecordSetup& s) { return s.monitorSinkInput == index; },
                      "Entity killed");
    emit({Facility::sinkInput, Operation::removed, index, {}});
}

void SimulatedAudioHardware::setCorked(uint32_t index, bool corked) {
    std::lock_guard lock(mutex_);
    for (auto& input : inputs_) {
        if (input.index != index) continue;
        input.corked = corked;
        emit({Facility::sinkInput, Operation::changed, index, {}});
    }
}

void SimulatedAudioHardware::failStreamsLocked(const std::function<bool(const RecordSetup&)>& which,
                                               const std::string& why) {
    std::vector<StreamEntry> failed;
    for (auto it = streams_.begin(); it != streams_.end();) {
        if (which(it->setup)) {
            failed.push_back(std::move(*it));
            it = streams_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& s : failed)
        if (s.callbacks.failed) s.callbacks.failed(why);
}

void SimulatedAudioHardware::deliverLocked(const std::function<bool(const RecordSetup&)>& which,
                                           const float* data, int64_t frames, int channels) {
    for (auto& s : streams_) {
        if (!which(s.setup) || !s.callbacks.data) continue;
        scratch_.resize(static_cast<size_t>(frames * s.setup.channels));
        for (int64_t i = 0; i < frames; ++i) {
            if (s.setup.channels == channels) {
                for (int c = 0; c < channels; ++c)
                    scratch_[static_cast<size_t>(i * channels + c)] = data[i * channels + c];
            } else if (channels == 1) {  // mono up to stereo
                scratch_[static_cast<size_t>(2 * i)] = data[i];
                scratch_[static_cast<size_t>(2 * i + 1)] = data[i];
            } else {  // stereo down to mono
                scratch_[static_cast<size_t>(i)] = (data[2 * i] + data[2 * i + 1]) * 0.5f;
            }
        }
        s.callbacks.data(scratch_.data(), frames);
    }
}

void SimulatedAudioHardware::play(uint32_t sinkInput, const float* stereo, int64_t frames) {
    std::lock_guard lock(mutex_);
    if (!serverUp_) return;
    auto input = std::find_if(inputs_.begin(), inputs_.end(),
                              [&](const SinkInputInfo& i) { return i.index == sinkInput; });
    if (input == inputs_.end() || input->corked) return;
    std::string monitor;
    for (const auto& sink : sinks_)
        if (sink.index == input->sink) monitor = sink.monitorSourceName;
    if (monitor.empty()) return;
    deliverLocked(
        [&](const RecordSetup& s) {
            return s.sourceName == monitor &&
                   (!s.monitorSinkInput || *s.monitorSinkInput == sinkInput);
        },
        stereo, frames, 2);
}

void SimulatedAudioHardware::speak(const std::string& sourceName, const float* mono,
                                   int64_t frames) {
    std::lock_guard lock(mutex_);
    if (!serverUp_) return;
    deliverLocked([&](const RecordSetup& s) { return s.sourceName == sourceName; }, mono, frames,
                  1);
}

void SimulatedAudioHardware::killServer() {
    std::lock_guard lock(mutex_);
    serverUp_ = false;
    failStreamsLocked([](const RecordSetup&) { return true; }, "Connection terminated");
    emit({Facility::connection, Operation::lost, kInvalidIndex, "Connection terminated"});
    connected_ = false;
}

void SimulatedAudioHardware::restartServer() {
    std::lock_guard lock(mutex_);
    serverUp_ = true;
}

void SimulatedAudioHardware::failNextOpens(int count) {
    std::lock_guard lock(mutex_);
    failOpens_ = count;
}

std::vector<SimulatedAudioHardware::OpenStream> SimulatedAudioHardware::openStreams() const {
    std::lock_guard lock(mutex_);
    std::vector<OpenStream> out;
    for (const auto& s : streams_) out.push_back({s.setup, s.id});
    return out;
}

int SimulatedAudioHardware::connectAttempts() const {
    std::lock_guard lock(mutex_);
    return connectAttempts_;
}

}  // namespace sayloft::recorder::hal
