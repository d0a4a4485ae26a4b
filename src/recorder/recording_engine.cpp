#include "recorder/recording_engine.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/log.hpp"
#include "core/queue.hpp"
#include "recorder/audio_process_catalog.hpp"
#include "recorder/stream_mixer.hpp"

namespace sayloft::recorder {

namespace {

constexpr const char* kArea = "recorder";
constexpr int64_t kRingFrames = 524288;
constexpr double kRate = 48000;
constexpr int kMaxRebuildFailures = 4;
constexpr int kMaxReconnectAttempts = 10;
constexpr double kEchoLatencyLimit = 0.5;

using Facility = hal::HardwareChange::Facility;
using Operation = hal::HardwareChange::Operation;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool containsAny(const std::string& text, std::initializer_list<const char*> words) {
    for (const char* w : words)
        if (text.find(w) != std::string::npos) return true;
    return false;
}

std::string property(const std::map<std::string, std::string>& props, const std::string& key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : lower(it->second);
}

bool isNetworkSink(const hal::SinkInfo& sink) {
    const std::string name = lower(sink.name);
    return property(sink.properties, "device.bus") == "network" ||
           property(sink.properties, "device.api") == "raop" || name.starts_with("raop") ||
           name.starts_with("tunnel");
}

std::string sourceText(const RecordingSource& source) {
    return source.app ? source.app->name : std::string("All audio");
}

}  // namespace

const char* toString(AudioOutputKind kind) {
    switch (kind) {
        case AudioOutputKind::builtInSpeakers:
            return "builtInSpeakers";
        case AudioOutputKind::externalSpeakers:
            return "externalSpeakers";
        case AudioOutputKind::headphones:
            return "headphones";
        case AudioOutputKind::unknown:
            break;
    }
    return "unknown";
}

std::optional<AudioOutputKind> outputKindFromString(const std::string& text) {
    for (auto k : {AudioOutputKind::builtInSpeakers, AudioOutputKind::externalSpeakers,
                   AudioOutputKind::headphones, AudioOutputKind::unknown})
        if (text == toString(k)) return k;
    return std::nullopt;
}

AudioOutputKind classifyOutput(const hal::SinkInfo& sink) {
    using K = AudioOutputKind;
    const std::string portName = sink.activePort ? lower(sink.activePort->name) : std::string();
    const std::string words = lower(sink.description) + " " + portName + " " +
                              (sink.activePort ? lower(sink.activePort->description) : "");
    const bool headphoneLike = containsAny(
        words, {"headphone", "headset", "earphone", "earbud", "airpods", "earpods", "buds"});
    const bool speakerLike = containsAny(words, {"speaker"});
    const std::string bus = property(sink.properties, "device.bus");
    const std::string api = property(sink.properties, "device.api");
    const std::string form = property(sink.properties, "device.form_factor");
    const bool builtIn = bus == "pci" || bus == "platform" || form == "internal";
    const bool bluetooth = bus == "bluetooth" || api == "bluez";

    if (isNetworkSink(sink)) return K::externalSpeakers;
    if (bluetooth) return speakerLike && !headphoneLike ? K::externalSpeakers : K::headphones;
    if (sink.activePort) {
        switch (sink.activePort->type) {
            case hal::PortType::headphones:
            case hal::PortType::headset:
            case hal::PortType::handsfree:
                return K::headphones;
            case hal::PortType::hdmi:
                return K::externalSpeakers;
            case hal::PortType::speaker:
                return builtIn ? K::builtInSpeakers : K::externalSpeakers;
            case hal::PortType::bluetooth:
                return speakerLike && !headphoneLike ? K::externalSpeakers : K::headphones;
            case hal::PortType::usb:
                return headphoneLike ? K::headphones
                       : speakerLike ? K::externalSpeakers
                                     : K::unknown;
            case hal::PortType::line:
            case hal::PortType::unknown:
                break;
        }
    }
    if (form == "headphone" || form == "headset" || form == "hands-free" || form == "handset")
        return K::headphones;
    if (form == "internal" || form == "speaker")
        return builtIn ? K::builtInSpeakers : K::externalSpeakers;
    if (portName.find("hdmi") != std::string::npos || portName.find("iec958") != std::string::npos)
        return K::externalSpeakers;
    if (bus == "usb")
        return headphoneLike ? K::headphones : speakerLike ? K::externalSpeakers : K::unknown;
    if (builtIn)
        return headphoneLike ? K::headphones : speakerLike ? K::builtInSpeakers : K::unknown;
    return K::unknown;
}

struct RecordingEngine::Impl {
    // One build of the capture graph.
    struct Graph {
        uint64_t generation = 0;
        std::string sinkName;
        uint32_t sinkIndex = hal::kInvalidIndex;
        std::optional<std::string> micSource, micName;
        bool perStream = false;              // per-stream monitors instead of the whole sink
        std::vector<uint32_t> systemInputs;  // the monitored sink inputs when perStream
        std::unique_ptr<StreamMixer> mixer;
        std::vector<std::unique_ptr<hal::RecordStream>> streams;
    };
    // Scheduled work that a newer schedule or a cancel makes stale.
    struct Pending {
        std::unique_ptr<core::Timer> timer;
        uint64_t generation = 0;
    };

    RecordingEngine& self;
    std::shared_ptr<hal::AudioHardware> hardware;
    core::Clock& clock;
    core::SerialQueue control{"sayloft.recorder.control"};
    CaptureMeter meter;

    mutable std::mutex stateMutex;  // guards what the getters read
    Phase phase = Phase::idle;
    RecordingOptions options;
    double sampleRate = kRate;
    std::optional<std::string> microphoneName;
    AudioOutputKind outputKind = AudioOutputKind::unknown;
    double outputLatency = 0;
    bool outputIsNetwork = false;

    std::unique_ptr<Graph> graph;
    uint64_t generations = 0;
    int rebuildFailures = 0;
    int reconnectFailures = 0;
    bool reconnecting = false;
    Pending deviceCheck, processRefresh, reconnect, wakeCheck;
    std::unique_ptr<core::Timer> levelTimer;
    int64_t lastLoggedDrops = 0;
    std::optional<core::TimePoint> lastDropLog;

    Impl(RecordingEngine& engine, RecordingOptions opts, std::shared_ptr<hal::AudioHardware> hw,
         core::Clock& c)
        : self(engine), hardware(std::move(hw)), clock(c), options(std::move(opts)) {}

    bool running() const {
        std::lock_guard lock(stateMutex);
        return phase == Phase::running;
    }

    // --- scheduling ---------------------------------------------------------------------------

    void schedule(Pending& pending, double delaySeconds, std::function<void()> work) {
        cancel(pending);
        const uint64_t generation = ++pending.generation;
        auto run = [this, &pending, generation, work = std::move(work)] {
            if (pending.generation == generation && running()) work();
        };
        if (delaySeconds <= 0) {
            control.async(std::move(run));
            return;
        }
        pending.timer = clock.startTimer(core::seconds(delaySeconds), core::Duration::zero(),
                                         [this, run] { control.async(run); });
    }

    void cancel(Pending& pending) {
        ++pending.generation;
        if (pending.timer) pending.timer->cancel();
        pending.timer.reset();
    }

    // --- start and stop -----------------------------------------------------------------------

    void start() {
        {
            std::lock_guard lock(stateMutex);
            if (phase == Phase::running) return;
            if (phase == Phase::stopped)
                throw EngineError("This recorder was already stopped; start a new recording.");
        }
        try {
            hardware->connect();
        } catch (const std::exception& e) {
            throw EngineError(std::string("The sound server is not reachable (") + e.what() + ").");
        }
        installChangeHandler();
        try {
            auto built = build(true);
            announce(*built);
            graph = std::move(built);
        } catch (...) {
            hardware->setChangeHandler({});
            hardware->disconnect();
            throw;
        }
        {
            std::lock_guard lock(stateMutex);
            phase = Phase::running;
        }
        levelTimer = clock.startTimer(core::seconds(0.1), core::seconds(0.1),
                                      [this] { control.async([this] { levelTick(); }); });
        core::log(kArea, "engine started ({}, {:.0f} Hz, microphone {})",
                  sourceText(options.source), sampleRate, microphoneName.value_or("off"));
    }

    void stop() {
        bool wasRunning;
        {
            std::lock_guard lock(stateMutex);
            wasRunning = phase == Phase::running;
            phase = Phase::stopped;
        }
        if (levelTimer) levelTimer->cancel();
        levelTimer.reset();
        for (Pending* p : {&deviceCheck, &processRefresh, &reconnect, &wakeCheck}) cancel(*p);
        hardware->setChangeHandler({});
        teardown();
        hardware->disconnect();
        if (wasRunning) core::log(kArea, "engine stopped");
    }

    void installChangeHandler() {
        hardware->setChangeHandler([this](const hal::HardwareChange& change) {
            control.async([this, change] {
                if (running()) onChange(change);
            });
        });
    }

    // --- the graph ----------------------------------------------------------------------------

    std::optional<hal::SourceInfo> chooseMicrophone(const std::vector<hal::SourceInfo>& sources,
                                                    const hal::ServerInfo& server, bool logIt) {
        auto find = [&](const std::string& name) -> std::optional<hal::SourceInfo> {
            for (const auto& s : sources)
                if (s.name == name && !s.isMonitor() && s.channels > 0) return s;
            return std::nullopt;
        };
        if (options.microphoneUID && !options.microphoneUID->empty()) {
            if (auto chosen = find(*options.microphoneUID)) return chosen;
            if (logIt)
                core::log(kArea, "chosen microphone {} is not connected; using the default input",
                          *options.microphoneUID);
        }
        if (auto fallback = find(server.defaultSourceName)) return fallback;
        if (logIt) core::log(kArea, "no input device found; recording system audio only");
        return std::nullopt;
    }

    // The sink inputs to record one by one, or none for the whole sink's monitor.
    std::pair<bool, std::vector<hal::SinkInputInfo>> systemSelection(
        const std::vector<hal::SinkInputInfo>& inputs, const hal::SinkInfo& sink) {
        std::vector<hal::SinkInputInfo> chosen;
        const long own = hardware->ownProcessId();
        if (options.source.app) {
            for (const auto& i : inputs)
                if (i.sink != hal::kInvalidIndex &&
                    i.processBinary() == options.source.app->bundleID &&
                    !AudioProcessCatalog::isOurs(i, own))
                    chosen.push_back(i);
            return {true, chosen};
        }
        // All audio: the sink's monitor, unless this program plays into it; then every other
        // stream on it, one by one, so that our own sound stays out.
        bool ownPlayback = false;
        for (const auto& i : inputs)
            if (i.sink == sink.index && AudioProcessCatalog::isOurs(i, own)) ownPlayback = true;
        if (!ownPlayback) return {false, {}};
        for (const auto& i : inputs)
            if (i.sink == sink.index && !AudioProcessCatalog::isOurs(i, own)) chosen.push_back(i);
        return {true, chosen};
    }

    std::unique_ptr<Graph> build(bool atStart) {
        const auto server = hardware->serverInfo();
        const auto sinks = hardware->sinks();
        const auto sources = hardware->sources();
        auto sink = std::find_if(sinks.begin(), sinks.end(), [&](const hal::SinkInfo& s) {
            return s.name == server.defaultSinkName;
        });
        if (sink == sinks.end())
            throw EngineError(
                "No sound output is available on this computer; system audio is recorded from "
                "the default output.");
        auto g = std::make_unique<Graph>();
        g->generation = ++generations;
        g->sinkName = sink->name;
        g->sinkIndex = sink->index;
        classify(*sink);
        core::log(kArea, "output {} is {}",
                  sink->description.empty() ? sink->name : sink->description, toString(outputKind));

        std::optional<hal::SourceInfo> mic;
        if (options.includeMicrophone) mic = chooseMicrophone(sources, server, true);
        if (mic) {
            g->micSource = mic->name;
            g->micName = mic->description.empty() ? mic->name : mic->description;
        }

        auto [perStream, inputs] = systemSelection(hardware->sinkInputs(), *sink);
        g->perStream = perStream;
        if (options.source.app && inputs.empty()) {
            const auto& name = options.source.app->name;
            if (atStart)
                throw EngineError(name + " is not using audio right now. Start " + name +
                                  " first, or record All audio.");
            core::log(kArea, "{} plays nothing now; its side stays silent until it does", name);
        }
        std::vector<hal::RecordSetup> systemSpecs;
        if (!perStream) {
            systemSpecs.push_back({sink->monitorSourceName, std::nullopt, 2,
                                   static_cast<uint32_t>(kRate), "sayloft recorder"});
        } else {
            for (const auto& i : inputs) {
                auto on = std::find_if(sinks.begin(), sinks.end(),
                                       [&](const hal::SinkInfo& s) { return s.index == i.sink; });
                if (on == sinks.end()) continue;
                g->systemInputs.push_back(i.index);
                systemSpecs.push_back({on->monitorSourceName, i.index, 2,
                                       static_cast<uint32_t>(kRate), "sayloft recorder"});
            }
        }

        g->mixer = std::make_unique<StreamMixer>(
            StreamMixer::Config{mic.has_value(), static_cast<int>(systemSpecs.size()), kRate},
            *self.ring_, meter, clock);
        StreamMixer* mixer = g->mixer.get();
        const uint64_t generation = g->generation;
        auto failed = [this, generation](const std::string& why) {
            control.async([this, generation, why] { streamFailed(generation, why); });
        };
        try {
            if (mic) {
                g->streams.push_back(hardware->openRecord(
                    {mic->name, std::nullopt, 1, static_cast<uint32_t>(kRate),
                     "sayloft microphone"},
                    {[mixer](const float* d, int64_t n) { mixer->micData(d, n); }, failed}));
            }
            for (size_t k = 0; k < systemSpecs.size(); ++k) {
                const int input = static_cast<int>(k);
                g->streams.push_back(hardware->openRecord(
                    systemSpecs[k],
                    {[mixer, input](const float* d, int64_t n) { mixer->systemData(input, d, n); },
                     failed}));
            }
        } catch (const hal::HardwareError& e) {
            g->streams.clear();
            throw EngineError(e.what());
        }
        core::log(kArea, "graph: output {}, microphone {}, {:.0f} Hz, system {}", g->sinkName,
                  g->micName.value_or("off"), kRate,
                  perStream ? fmt::format("{} stream(s) one by one", g->systemInputs.size())
                            : "the whole output");
        return g;
    }

    void classify(const hal::SinkInfo& sink) {
        std::lock_guard lock(stateMutex);
        outputKind = classifyOutput(sink);
        outputLatency = sink.latencySeconds;
        outputIsNetwork = isNetworkSink(sink);
    }

    bool echoCanFollow() const {
        std::lock_guard lock(stateMutex);
        return !outputIsNetwork && outputLatency <= kEchoLatencyLimit;
    }

    void announce(const Graph& g) {
        std::lock_guard lock(stateMutex);
        sampleRate = kRate;
        microphoneName = g.micName;
    }

    void teardown() {
        if (!graph) return;
        graph->streams.clear();  // no data callback runs once they are gone
        graph.reset();
    }

    // --- reacting to the server ---------------------------------------------------------------

    void onChange(const hal::HardwareChange& change) {
        switch (change.facility) {
            case Facility::connection:
                serverLost(change.detail);
                return;
            case Facility::server:
                scheduleDeviceCheck("default devices changed", false, 0.75);
                return;
            case Facility::sink:
                if (change.operation == Operation::changed) {
                    if (graph && change.index == graph->sinkIndex) outputChanged();
                    return;
                }
                scheduleDeviceCheck("device list changed", false, 0.75);
                return;
            case Facility::source:
                if (change.operation != Operation::changed)
                    scheduleDeviceCheck("device list changed", false, 0.75);
                return;
            case Facility::card:
                outputChanged();
                return;
            case Facility::sinkInput:
                if (options.source.app || (graph && graph->perStream) ||
                    change.operation == Operation::added)
                    schedule(processRefresh, 0.5, [this] { refreshProcesses(); });
                return;
        }
    }

    void scheduleDeviceCheck(const std::string& reason, bool force, double delay) {
        schedule(deviceCheck, delay, [this, reason, force] { checkDevices(reason, force); });
    }

    void checkDevices(const std::string& reason, bool force) {
        if (reconnecting) return;
        if (!graph) {
            rebuild("retrying after a failed rebuild (" + reason + ")");
            return;
        }
        std::string cause;
        try {
            const auto server = hardware->serverInfo();
            const auto sinks = hardware->sinks();
            const auto sources = hardware->sources();
            const bool sinkListed = std::any_of(sinks.begin(), sinks.end(), [&](const auto& s) {
                return s.index == graph->sinkIndex && s.name == graph->sinkName;
            });
            if (!sinkListed) {
                cause = "the output device went away";
            } else if (server.defaultSinkName != graph->sinkName) {
                cause = "the default output device changed";
            } else if (options.includeMicrophone) {
                const bool micListed =
                    graph->micSource &&
                    std::any_of(sources.begin(), sources.end(),
                                [&](const auto& s) { return s.name == *graph->micSource; });
                const auto now = chooseMicrophone(sources, server, false);
                const std::optional<std::string> nowName =
                    now ? std::optional<std::string>(now->name) : std::nullopt;
                if (graph->micSource && !micListed)
                    cause = "the microphone went away";
                else if (nowName != graph->micSource)
                    cause = "the microphone to use changed";
            }
        } catch (const std::exception& e) {
            core::log(kArea, "device check failed: {}", e.what());
            return;  // a dead server reports itself; it is handled there
        }
        if (cause.empty() && force) cause = "a stream ended";
        if (!cause.empty()) rebuild(cause + " (" + reason + ")");
    }

    void streamFailed(uint64_t generation, const std::string& why) {
        if (!running() || !graph || graph->generation != generation || reconnecting) return;
        cancel(deviceCheck);
        checkDevices("a stream ended: " + why, true);
    }

    void rebuild(const std::string& reason) {
        if (!running()) return;
        core::log(kArea, "rebuilding the audio graph: {}", reason);
        const auto kindBefore = self.outputKind();
        const bool echoBefore = echoCanFollow();
        cancel(deviceCheck);
        teardown();
        try {
            auto built = build(false);
            announce(*built);
            graph = std::move(built);
            rebuildFailures = 0;
            if (self.onFormatChange) self.onFormatChange(kRate, microphoneNameCopy());
        } catch (const std::exception& e) {
            ++rebuildFailures;
            core::log(kArea, "rebuild failed ({} of {}): {}", rebuildFailures, kMaxRebuildFailures,
                      e.what());
            graph.reset();
            if (rebuildFailures < kMaxRebuildFailures) {
                scheduleDeviceCheck("retry", false, rebuildFailures);
            } else {
                fail(std::string("The audio devices changed and the recorder could not "
                                 "reconnect (") +
                     e.what() + ").");
            }
        }
        if (running() && (self.outputKind() != kindBefore || echoCanFollow() != echoBefore) &&
            self.onOutputKindChange)
            self.onOutputKindChange(self.outputKind());
    }

    std::optional<std::string> microphoneNameCopy() const {
        std::lock_guard lock(stateMutex);
        return microphoneName;
    }

    void outputChanged() {
        if (!graph || reconnecting) return;
        try {
            for (const auto& sink : hardware->sinks()) {
                if (sink.index != graph->sinkIndex) continue;
                const auto before = self.outputKind();
                const bool echoBefore = echoCanFollow();
                classify(sink);
                if (self.outputKind() != before || echoCanFollow() != echoBefore) {
                    core::log(kArea, "output {} changed from {} to {}", sink.name, toString(before),
                              toString(self.outputKind()));
                    if (self.onOutputKindChange) self.onOutputKindChange(self.outputKind());
                }
            }
        } catch (const std::exception& e) {
            core::log(kArea, "could not read the output: {}", e.what());
        }
    }

    void refreshProcesses() {
        if (!graph || reconnecting) return;
        try {
            const auto sinks = hardware->sinks();
            auto sink = std::find_if(sinks.begin(), sinks.end(),
                                     [&](const auto& s) { return s.index == graph->sinkIndex; });
            if (sink == sinks.end()) return;  // the device check handles it
            auto [perStream, inputs] = systemSelection(hardware->sinkInputs(), *sink);
            std::vector<uint32_t> now;
            for (const auto& i : inputs) now.push_back(i.index);
            std::sort(now.begin(), now.end());
            auto before = graph->systemInputs;
            std::sort(before.begin(), before.end());
            if (perStream == graph->perStream && now == before) return;
            core::log(kArea, "{} now has {} playback stream(s)", sourceText(options.source),
                      now.size());
        } catch (const std::exception& e) {
            core::log(kArea, "could not list the playback streams: {}", e.what());
            return;
        }
        rebuild("the recorded playback streams changed");
    }

    void serverLost(const std::string& why) {
        if (reconnecting) return;
        core::log(kArea, "the sound server went away ({}); reconnecting", why);
        reconnecting = true;
        reconnectFailures = 0;
        cancel(deviceCheck);
        cancel(processRefresh);
        teardown();
        hardware->disconnect();
        schedule(reconnect, 1, [this] { tryReconnect(); });
    }

    void tryReconnect() {
        try {
            hardware->connect();
        } catch (const std::exception& e) {
            ++reconnectFailures;
            if (reconnectFailures < kMaxReconnectAttempts) {
                schedule(reconnect, 1, [this] { tryReconnect(); });
            } else {
                reconnecting = false;
                fail(std::string("The sound server went away and the recorder could not "
                                 "reconnect (") +
                     e.what() + ").");
            }
            return;
        }
        core::log(kArea, "reconnected to the sound server after {} attempt(s)",
                  reconnectFailures + 1);
        reconnecting = false;
        installChangeHandler();
        rebuild("the sound server restarted");
    }

    void verifyIOAfterWake() {
        if (!running()) return;
        const int64_t before = meter.callbacks.load();
        schedule(wakeCheck, 2.5, [this, before] {
            if (meter.callbacks.load() != before) {
                core::log(kArea, "audio IO resumed after sleep");
            } else {
                rebuild("the audio IO did not resume after sleep");
            }
        });
    }

    void reconfigure(const RecordingOptions& next) {
        RecordingOptions previous;
        {
            std::lock_guard lock(stateMutex);
            if (next == options) return;
            previous = options;
            options = next;
        }
        if (!running()) return;
        if (!(previous.source == next.source)) {
            rebuild("the source changed to " + sourceText(next.source));
        } else if (previous.includeMicrophone != next.includeMicrophone) {
            rebuild(std::string("the microphone was turned ") +
                    (next.includeMicrophone ? "on" : "off"));
        } else {
            rebuild("the microphone changed");
        }
    }

    void fail(const std::string& message) {
        core::log(kArea, "{}", message);
        if (self.onError) self.onError(message);
    }

    void levelTick() {
        if (!running()) return;
        if (graph && graph->mixer) {
            StreamMixer* mixer = graph->mixer.get();
            hardware->runExclusive([mixer] { mixer->tick(); });
        }
        RecordingLevels levels;
        const int64_t frames = meter.frames.load();
        if (frames > 0 && !meter.resetRequested.load()) {
            levels.micPeak = std::min(1.0f, meter.micPeak.load());
            levels.systemPeak = std::min(1.0f, meter.systemPeak.load());
            levels.micRMS = static_cast<float>(
                std::min(1.0, std::sqrt(meter.micSumSquares.load() / static_cast<double>(frames))));
            levels.systemRMS = static_cast<float>(std::min(
                1.0, std::sqrt(meter.systemSumSquares.load() / static_cast<double>(frames))));
        }
        meter.resetRequested.store(true);
        const int64_t dropped = self.ring_->droppedFrames();
        const auto now = clock.now();
        if (dropped > lastLoggedDrops && (!lastDropLog || now - *lastDropLog >= core::seconds(5))) {
            lastLoggedDrops = dropped;
            lastDropLog = now;
            core::log(kArea, "ring full, {} frame(s) dropped so far (the writer is not keeping up)",
                      dropped);
        }
        if (self.onLevels) self.onLevels(levels);
    }
};

RecordingEngine::RecordingEngine(RecordingOptions options,
                                 std::shared_ptr<hal::AudioHardware> hardware, core::Clock& clock)
    : ring_(std::make_shared<AudioRingBuffer>(kRingFrames, 2)),
      impl_(std::make_unique<Impl>(*this, std::move(options), std::move(hardware), clock)) {}

RecordingEngine::~RecordingEngine() {
    stop();
    impl_->control.stop();
}

void RecordingEngine::start() {
    impl_->control.sync([this] { impl_->start(); });
}

void RecordingEngine::stop() {
    impl_->control.sync([this] { impl_->stop(); });
}

void RecordingEngine::reconfigure(const RecordingOptions& options) {
    impl_->control.sync([this, &options] { impl_->reconfigure(options); });
}

void RecordingEngine::verifyIOAfterWake() {
    impl_->control.sync([this] { impl_->verifyIOAfterWake(); });
}

RecordingEngine::Phase RecordingEngine::phase() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->phase;
}

RecordingOptions RecordingEngine::options() const {
    std::lock_guard lock(impl_->stateMutex);
    auto o = impl_->options;
    if (impl_->phase == Phase::running && !impl_->microphoneName) o.includeMicrophone = false;
    return o;
}

double RecordingEngine::sampleRate() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->sampleRate;
}

std::optional<std::string> RecordingEngine::microphoneName() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->microphoneName;
}

bool RecordingEngine::recordsMicrophone() const {
    return microphoneName().has_value();
}

AudioOutputKind RecordingEngine::outputKind() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->outputKind;
}

double RecordingEngine::outputLatency() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->outputLatency;
}

bool RecordingEngine::outputIsNetwork() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->outputIsNetwork;
}

void RecordingEngine::setPaused(bool paused) {
    impl_->meter.paused.store(paused);
}

bool RecordingEngine::paused() const {
    return impl_->meter.paused.load();
}

int64_t RecordingEngine::framesCaptured() const {
    return impl_->meter.captured.load();
}

int64_t RecordingEngine::callbackCount() const {
    return impl_->meter.callbacks.load();
}

void RecordingEngine::flush() {
    impl_->control.drain();
}

}  // namespace sayloft::recorder
