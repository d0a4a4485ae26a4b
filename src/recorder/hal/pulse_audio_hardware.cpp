#include "recorder/hal/pulse_audio_hardware.hpp"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

namespace sayloft::recorder::hal {

namespace {

std::map<std::string, std::string> toMap(const pa_proplist* list) {
    std::map<std::string, std::string> out;
    if (!list) return out;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(list, &state)) {
        if (const char* value = pa_proplist_gets(list, key)) out[key] = value;
    }
    return out;
}

PortType portType(int type) {
    switch (type) {
        case PA_DEVICE_PORT_TYPE_SPEAKER:
            return PortType::speaker;
        case PA_DEVICE_PORT_TYPE_HEADPHONES:
            return PortType::headphones;
        case PA_DEVICE_PORT_TYPE_HEADSET:
            return PortType::headset;
        case PA_DEVICE_PORT_TYPE_HANDSFREE:
            return PortType::handsfree;
        case PA_DEVICE_PORT_TYPE_HDMI:
            return PortType::hdmi;
        case PA_DEVICE_PORT_TYPE_USB:
            return PortType::usb;
        case PA_DEVICE_PORT_TYPE_BLUETOOTH:
            return PortType::bluetooth;
        case PA_DEVICE_PORT_TYPE_LINE:
            return PortType::line;
        default:
            return PortType::unknown;
    }
}

template <class PortInfo>
std::optional<Port> toPort(const PortInfo* port) {
    if (!port) return std::nullopt;
    return Port{port->name ? port->name : "", port->description ? port->description : "",
                portType(static_cast<int>(port->type))};
}

const char* text(const char* s) {
    return s ? s : "";
}

class PulseAudioHardware;

// One record stream. Lives until its owner destroys it; the hardware detaches it (closing the
// server side) when the connection goes away first.
class PulseStream : public RecordStream {
  public:
    PulseStream(PulseAudioHardware& owner, RecordSetup setup, RecordCallbacks callbacks)
        : owner_(owner), setup_(std::move(setup)), callbacks_(std::move(callbacks)) {}
    ~PulseStream() override;
    const RecordSetup& setup() const override { return setup_; }

    // With the main loop locked.
    void detachLocked() {
        if (!stream_) return;
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    static void onRead(pa_stream* s, size_t, void* userdata) {
        auto* self = static_cast<PulseStream*>(userdata);
        const size_t frameBytes = sizeof(float) * static_cast<size_t>(self->setup_.channels);
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
            const auto frames = static_cast<int64_t>(bytes / frameBytes);
            if (frames > 0 && self->callbacks_.data)
                self->callbacks_.data(static_cast<const float*>(data), frames);
            pa_stream_drop(s);
        }
    }

    static void onState(pa_stream* s, void* userdata) {
        auto* self = static_cast<PulseStream*>(userdata);
        const auto state = pa_stream_get_state(s);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            if (self->ready_ && !self->failedReported_ && self->callbacks_.failed) {
                self->failedReported_ = true;
                const int err = pa_context_errno(pa_stream_get_context(s));
                self->callbacks_.failed(err ? pa_strerror(err) : "the stream ended");
            }
        }
        self->signal();
    }

    void signal();

    PulseAudioHardware& owner_;
    RecordSetup setup_;
    RecordCallbacks callbacks_;
    pa_stream* stream_ = nullptr;
    bool ready_ = false;
    bool failedReported_ = false;
};

class PulseAudioHardware : public AudioHardware {
  public:
    explicit PulseAudioHardware(std::string clientName) : clientName_(std::move(clientName)) {}
    ~PulseAudioHardware() override { disconnect(); }

    void connect() override {
        std::lock_guard api(apiMutex_);
        if (connected_) return;
        closeLocked();
        loop_ = pa_threaded_mainloop_new();
        if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
            if (loop_) pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            throw HardwareError("Cannot start the sound server connection");
        }
        pa_threaded_mainloop_lock(loop_);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, clientName_.c_str());
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, clientName_.c_str());
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_),
                                                clientName_.c_str(), props);
        pa_proplist_free(props);
        pa_context_set_state_callback(context_, &PulseAudioHardware::onContextState, this);
        pa_context_set_subscribe_callback(context_, &PulseAudioHardware::onSubscribe, this);
        std::string error;
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = pa_strerror(pa_context_errno(context_));
        } else {
            for (;;) {
                const auto state = pa_context_get_state(context_);
                if (state == PA_CONTEXT_READY) break;
                if (!PA_CONTEXT_IS_GOOD(state)) {
                    error = pa_strerror(pa_context_errno(context_));
                    break;
                }
                pa_threaded_mainloop_wait(loop_);
            }
        }
        if (error.empty()) {
            auto mask = static_cast<pa_subscription_mask_t>(
                PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SERVER |
                PA_SUBSCRIPTION_MASK_CARD);
            waitLocked(pa_context_subscribe(context_, mask, &PulseAudioHardware::onSuccess, this));
            connected_ = true;
        }
        pa_threaded_mainloop_unlock(loop_);
        if (!error.empty()) {
            closeLocked();
            throw HardwareError("Cannot connect to the sound server: " + error);
        }
    }

    void disconnect() override {
        std::lock_guard api(apiMutex_);
        closeLocked();
    }

    bool connected() const override { return connected_; }

    ServerInfo serverInfo() override {
        ServerInfo out;
        query([&] {
            return pa_context_get_server_info(
                context_,
                [](pa_context*, const pa_server_info* i, void* userdata) {
                    auto* call = static_cast<Call<ServerInfo>*>(userdata);
                    if (i)
                        *call->out = {text(i->server_name), text(i->server_version),
                                      text(i->default_sink_name), text(i->default_source_name)};
                    call->self->signal();
                },
                &call<ServerInfo>(out));
        });
        return out;
    }

    std::vector<SinkInfo> sinks() override {
        std::vector<SinkInfo> out;
        query([&] {
            return pa_context_get_sink_info_list(
                context_,
                [](pa_context*, const pa_sink_info* i, int eol, void* userdata) {
                    auto* call = static_cast<Call<std::vector<SinkInfo>>*>(userdata);
                    if (eol == 0 && i) {
                        SinkInfo s;
                        s.index = i->index;
                        s.name = text(i->name);
                        s.description = text(i->description);
                        s.monitorSourceName = text(i->monitor_source_name);
                        s.monitorSourceIndex = i->monitor_source;
                        s.channels = i->sample_spec.channels;
                        s.rate = i->sample_spec.rate;
                        s.activePort = toPort(i->active_port);
                        s.properties = toMap(i->proplist);
                        s.latencySeconds = static_cast<double>(i->latency) / 1e6;
                        call->out->push_back(std::move(s));
                    }
                    call->self->signal();
                },
                &call<std::vector<SinkInfo>>(out));
        });
        return out;
    }

    std::vector<SourceInfo> sources() override {
        std::vector<SourceInfo> out;
        query([&] {
            return pa_context_get_source_info_list(
                context_,
                [](pa_context*, const pa_source_info* i, int eol, void* userdata) {
                    auto* call = static_cast<Call<std::vector<SourceInfo>>*>(userdata);
                    if (eol == 0 && i) {
                        SourceInfo s;
                        s.index = i->index;
                        s.name = text(i->name);
                        s.description = text(i->description);
                        s.monitorOfSink = i->monitor_of_sink;
                        s.channels = i->sample_spec.channels;
                        s.rate = i->sample_spec.rate;
                        s.activePort = toPort(i->active_port);
                        s.properties = toMap(i->proplist);
                        call->out->push_back(std::move(s));
                    }
                    call->self->signal();
                },
                &call<std::vector<SourceInfo>>(out));
        });
        return out;
    }

    std::vector<SinkInputInfo> sinkInputs() override {
        std::vector<SinkInputInfo> out;
        query([&] {
            return pa_context_get_sink_input_info_list(
                context_,
                [](pa_context*, const pa_sink_input_info* i, int eol, void* userdata) {
                    auto* call = static_cast<Call<std::vector<SinkInputInfo>>*>(userdata);
                    if (eol == 0 && i) {
                        SinkInputInfo s;
                        s.index = i->index;
                        s.sink = i->sink;
                        s.corked = i->corked != 0;
                        s.properties = toMap(i->proplist);
                        call->out->push_back(std::move(s));
                    }
                    call->self->signal();
                },
                &call<std::vector<SinkInputInfo>>(out));
        });
        return out;
    }

    std::unique_ptr<RecordStream> openRecord(const RecordSetup& setup,
                                             RecordCallbacks callbacks) override {
        std::lock_guard api(apiMutex_);
        if (!connected_) throw HardwareError("Not connected to the sound server");
        auto stream = std::make_unique<PulseStream>(*this, setup, std::move(callbacks));
        pa_threaded_mainloop_lock(loop_);
        pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, setup.rate, static_cast<uint8_t>(setup.channels)};
        pa_channel_map map;
        pa_channel_map_init_auto(&map, ss.channels, PA_CHANNEL_MAP_DEFAULT);
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_MEDIA_NAME, setup.streamName.c_str());
        pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
        pa_stream* s =
            pa_stream_new_with_proplist(context_, setup.streamName.c_str(), &ss, &map, props);
        pa_proplist_free(props);
        std::string error;
        if (!s) {
            error = pa_strerror(pa_context_errno(context_));
        } else {
            stream->stream_ = s;
            if (setup.monitorSinkInput) pa_stream_set_monitor_stream(s, *setup.monitorSinkInput);
            pa_stream_set_read_callback(s, &PulseStream::onRead, stream.get());
            pa_stream_set_state_callback(s, &PulseStream::onState, stream.get());
            pa_buffer_attr attr{};
            attr.maxlength = static_cast<uint32_t>(-1);
            attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
            attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &ss));
            const auto flags = static_cast<pa_stream_flags_t>(
                PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_DONT_MOVE);
            if (pa_stream_connect_record(s, setup.sourceName.c_str(), &attr, flags) < 0) {
                error = pa_strerror(pa_context_errno(context_));
            } else {
                for (;;) {
                    const auto state = pa_stream_get_state(s);
                    if (state == PA_STREAM_READY) break;
                    if (!PA_STREAM_IS_GOOD(state)) {
                        error = pa_strerror(pa_context_errno(context_));
                        break;
                    }
                    pa_threaded_mainloop_wait(loop_);
                }
            }
        }
        if (error.empty()) {
            stream->ready_ = true;
            std::lock_guard lock(streamsMutex_);
            streams_.insert(stream.get());
        } else {
            stream->detachLocked();
        }
        pa_threaded_mainloop_unlock(loop_);
        if (!error.empty())
            throw HardwareError("Recording from " + setup.sourceName + " failed: " + error);
        return stream;
    }

    void setChangeHandler(std::function<void(const HardwareChange&)> handler) override {
        std::lock_guard api(apiMutex_);
        if (loop_) pa_threaded_mainloop_lock(loop_);
        handler_ = std::move(handler);
        if (loop_) pa_threaded_mainloop_unlock(loop_);
    }

    void runExclusive(const std::function<void()>& work) override {
        std::lock_guard api(apiMutex_);
        if (!loop_ || pa_threaded_mainloop_in_thread(loop_)) {
            work();
            return;
        }
        pa_threaded_mainloop_lock(loop_);
        work();
        pa_threaded_mainloop_unlock(loop_);
    }

    long ownProcessId() const override { return static_cast<long>(::getpid()); }

    // Called by a stream's destructor.
    void closeStream(PulseStream& stream) {
        std::lock_guard api(apiMutex_);
        {
            std::lock_guard lock(streamsMutex_);
            if (!streams_.erase(&stream)) return;  // already detached by a disconnect
        }
        pa_threaded_mainloop_lock(loop_);
        stream.detachLocked();
        pa_threaded_mainloop_unlock(loop_);
    }

    void signal() {
        if (loop_) pa_threaded_mainloop_signal(loop_, 0);
    }

  private:
    template <class T>
    struct Call {
        PulseAudioHardware* self;
        T* out;
    };
    // Each query keeps its call record alive until it has finished.
    template <class T>
    Call<T>& call(T& out) {
        pendingCall_ = std::make_shared<Call<T>>(Call<T>{this, &out});
        return *static_cast<Call<T>*>(pendingCall_.get());
    }

    template <class Start>
    void query(Start start) {
        std::lock_guard api(apiMutex_);
        if (!connected_) throw HardwareError("Not connected to the sound server");
        pa_threaded_mainloop_lock(loop_);
        const bool ok = waitLocked(start());
        pendingCall_.reset();
        const std::string error = ok ? "" : pa_strerror(pa_context_errno(context_));
        pa_threaded_mainloop_unlock(loop_);
        if (!ok) throw HardwareError("The sound server did not answer: " + error);
    }

    // With the loop locked: waits for an operation; false when it was cancelled.
    bool waitLocked(pa_operation* op) {
        if (!op) return false;
        pa_operation_state_t state;
        while ((state = pa_operation_get_state(op)) == PA_OPERATION_RUNNING) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
                pa_operation_cancel(op);
                state = PA_OPERATION_CANCELLED;
                break;
            }
            pa_threaded_mainloop_wait(loop_);
        }
        pa_operation_unref(op);
        return state == PA_OPERATION_DONE;
    }

    void closeLocked() {
        connected_ = false;
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        {
            std::lock_guard lock(streamsMutex_);
            for (PulseStream* s : streams_) s->detachLocked();
            streams_.clear();
        }
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
    }

    void emit(const HardwareChange& change) {
        if (handler_) handler_(change);
    }

    static void onSuccess(pa_context*, int, void* userdata) {
        static_cast<PulseAudioHardware*>(userdata)->signal();
    }

    static void onContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        const auto state = pa_context_get_state(c);
        if (!PA_CONTEXT_IS_GOOD(state) && self->connected_) {
            self->connected_ = false;
            const int err = pa_context_errno(c);
            self->emit({HardwareChange::Facility::connection, HardwareChange::Operation::lost,
                        kInvalidIndex, err ? pa_strerror(err) : "the connection ended"});
        }
        self->signal();
    }

    static void onSubscribe(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                            void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        using F = HardwareChange::Facility;
        using O = HardwareChange::Operation;
        HardwareChange change;
        switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
            case PA_SUBSCRIPTION_EVENT_SINK:
                change.facility = F::sink;
                break;
            case PA_SUBSCRIPTION_EVENT_SOURCE:
                change.facility = F::source;
                break;
            case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
                change.facility = F::sinkInput;
                break;
            case PA_SUBSCRIPTION_EVENT_SERVER:
                change.facility = F::server;
                break;
            case PA_SUBSCRIPTION_EVENT_CARD:
                change.facility = F::card;
                break;
            default:
                return;
        }
        switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
            case PA_SUBSCRIPTION_EVENT_NEW:
                change.operation = O::added;
                break;
            case PA_SUBSCRIPTION_EVENT_REMOVE:
                change.operation = O::removed;
                break;
            default:
                change.operation = O::changed;
                break;
        }
        change.index = index;
        self->emit(change);
    }

    std::string clientName_;
    std::recursive_mutex apiMutex_;  // one caller at a time; the loop's own lock inside it
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> connected_{false};
    std::function<void(const HardwareChange&)> handler_;
    std::mutex streamsMutex_;
    std::set<PulseStream*> streams_;
    std::shared_ptr<void> pendingCall_;
};

PulseStream::~PulseStream() {
    owner_.closeStream(*this);
}

void PulseStream::signal() {
    owner_.signal();
}

}  // namespace

std::shared_ptr<AudioHardware> makePulseAudioHardware(const std::string& clientName) {
    return std::make_shared<PulseAudioHardware>(clientName);
}

}  // namespace sayloft::recorder::hal
