#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace sayloft::recorder::hal {

// The small set of sound-server operations the recorder's decisions rest on. One real
// implementation talks to PulseAudio (and PipeWire through its pulse server); a simulated model
// stands in for it in tests. Everything the recorder decides (clock, layout, output kind,
// rebuilds and retries) is built on these operations only.

constexpr uint32_t kInvalidIndex = 0xffffffffu;

// A failed sound-server operation; what() is the operation and the server's reason.
class HardwareError : public Error {
  public:
    using Error::Error;
};

enum class PortType {
    unknown,
    speaker,
    headphones,
    headset,
    handsfree,
    hdmi,
    usb,
    bluetooth,
    line
};

struct Port {
    std::string name;         // "analog-output-speaker", "hdmi-output-0", ...
    std::string description;  // as the server shows it
    PortType type = PortType::unknown;
};

struct ServerInfo {
    std::string serverName;  // "pulseaudio", "PulseAudio (on PipeWire 0.3.65)", ...
    std::string serverVersion;
    std::string defaultSinkName;
    std::string defaultSourceName;
};

struct SinkInfo {
    uint32_t index = kInvalidIndex;
    std::string name;         // stable id, e.g. "alsa_output.pci-0000_00_1f.3.analog-stereo"
    std::string description;  // the name a user sees
    std::string monitorSourceName;
    uint32_t monitorSourceIndex = kInvalidIndex;
    int channels = 2;
    uint32_t rate = 48000;
    std::optional<Port> activePort;
    std::map<std::string, std::string> properties;  // device.bus, device.form_factor, device.api...
    double latencySeconds = 0;                      // the sink's own latency (0 when unknown)
};

struct SourceInfo {
    uint32_t index = kInvalidIndex;
    std::string name;
    std::string description;
    uint32_t monitorOfSink = kInvalidIndex;  // kInvalidIndex: a real input, not a monitor
    int channels = 1;
    uint32_t rate = 48000;
    std::optional<Port> activePort;
    std::map<std::string, std::string> properties;

    bool isMonitor() const { return monitorOfSink != kInvalidIndex; }
};

// One playback stream of an application on a sink.
struct SinkInputInfo {
    uint32_t index = kInvalidIndex;
    uint32_t sink = kInvalidIndex;  // kInvalidIndex while the server has not placed it yet
    bool corked = false;            // paused: not playing
    std::map<std::string, std::string> properties;  // application.process.binary, .id, .name...

    std::string property(const std::string& key) const {
        auto it = properties.find(key);
        return it == properties.end() ? std::string() : it->second;
    }
    std::string processBinary() const { return property("application.process.binary"); }
    std::string applicationName() const { return property("application.name"); }
    // 0 when the stream does not say.
    long processId() const;
};

// What to record: a source by name (a microphone, or a sink's monitor), or only one playback
// stream through the monitor of the sink it plays on. Streams are always opened so that the
// server never moves them to another device: when their device goes away they fail instead.
struct RecordSetup {
    std::string sourceName;
    std::optional<uint32_t>
        monitorSinkInput;   // record only this sink input (sourceName = its sink's monitor)
    int channels = 2;       // 1 or 2; the server mixes to this
    uint32_t rate = 48000;  // the server resamples to this
    std::string streamName = "sayloft recorder";
};

struct RecordCallbacks {
    // Interleaved float frames of `setup.channels` channels. `data` is null for a hole of `frames`
    // frames that the server reports as lost. Runs on the hardware's data thread.
    std::function<void(const float* data, int64_t frames)> data;
    // The stream ended for good (device removed, sink input gone, server died). Runs on the
    // hardware's thread; at most once; never after the stream object was destroyed.
    std::function<void(const std::string& why)> failed;
};

// An open record stream. Destroying it closes it; once the destructor returns no callback of it
// runs any more. Never destroy one from inside its own callbacks.
class RecordStream {
  public:
    virtual ~RecordStream() = default;
    virtual const RecordSetup& setup() const = 0;
};

// A change the server reports. `lost` (facility `connection`) means the server went away: every
// stream has failed and the connection must be made again.
struct HardwareChange {
    enum class Facility { server, sink, source, sinkInput, card, connection };
    enum class Operation { added, changed, removed, lost };
    Facility facility = Facility::server;
    Operation operation = Operation::changed;
    uint32_t index = kInvalidIndex;
    std::string detail;  // reason for `lost`
};

class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // Connects to the sound server (never starting one). Throws HardwareError when there is no
    // server. Does nothing when already connected.
    virtual void connect() = 0;
    // Closes every stream and the connection. Safe to call at any time.
    virtual void disconnect() = 0;
    virtual bool connected() const = 0;

    // Queries; each throws HardwareError when not connected or when the server fails them.
    virtual ServerInfo serverInfo() = 0;
    virtual std::vector<SinkInfo> sinks() = 0;
    virtual std::vector<SourceInfo> sources() = 0;
    virtual std::vector<SinkInputInfo> sinkInputs() = 0;

    // Opens a record stream and waits until the server has accepted it; throws HardwareError when
    // it does not (an unknown device, a sink input gone, access refused).
    virtual std::unique_ptr<RecordStream> openRecord(const RecordSetup& setup,
                                                     RecordCallbacks callbacks) = 0;

    // One receiver of server changes (replacing any earlier one; empty to stop). Called on the
    // hardware's thread; hand real work to a queue from it.
    virtual void setChangeHandler(std::function<void(const HardwareChange&)> handler) = 0;

    // Runs `work` so that no data callback of this hardware runs at the same time: lets code on
    // another thread act as the producer of what the data callbacks produce.
    virtual void runExclusive(const std::function<void()>& work) = 0;

    // This program's process id as the server sees it in sink input properties.
    virtual long ownProcessId() const = 0;
};

const char* toString(PortType type);

}  // namespace sayloft::recorder::hal
