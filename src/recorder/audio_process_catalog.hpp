#pragma once

#include <memory>
#include <string>
#include <vector>

#include "recorder/hal/audio_hardware.hpp"

namespace sayloft::recorder {

// An application with playback streams, grouped by its executable
// (application.process.binary), which is also its id as a recording source.
struct AudioApp {
    std::string bundleID;                    // the executable's name, e.g. "firefox-esr"
    std::string name;                        // the application's own name when it gives one
    std::vector<uint32_t> processObjectIDs;  // its sink inputs, ascending
    bool isPlaying = false;                  // any of them not paused
    bool operator==(const AudioApp&) const = default;
};

// A microphone: a real input, never a monitor.
struct AudioInputDevice {
    std::string uid;   // the source name
    std::string name;  // its description
    bool isDefault = false;
    bool operator==(const AudioInputDevice&) const = default;
};

// The pickers' lists. Connects for each question when the hardware is not connected yet (and
// disconnects again), so that it holds nothing open between questions. Throws
// hal::HardwareError when there is no sound server.
class AudioProcessCatalog {
  public:
    explicit AudioProcessCatalog(std::shared_ptr<hal::AudioHardware> hardware);

    // Playing apps first, then by name; never this program's own playback.
    std::vector<AudioApp> audioApps();
    std::vector<AudioInputDevice> inputDevices();
    // The sink inputs of one app (empty when it plays nothing).
    std::vector<uint32_t> processObjectIDs(const std::string& bundleID);

    // Playback of this program or of its other front-ends (executables named "sayloft...").
    static bool isOurs(const hal::SinkInputInfo& input, long ownProcessId);

    // The same from lists already read (used by the engine).
    static std::vector<AudioApp> groupApps(const std::vector<hal::SinkInputInfo>& inputs,
                                           long ownProcessId);
    static std::vector<AudioInputDevice> microphones(const std::vector<hal::SourceInfo>& sources,
                                                     const std::string& defaultSource);

  private:
    template <class F>
    auto query(F&& f);
    std::shared_ptr<hal::AudioHardware> hardware_;
};

}  // namespace sayloft::recorder
