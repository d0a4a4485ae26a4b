#pragma once

#include <memory>
#include <string>

#include "recorder/hal/audio_hardware.hpp"

namespace sayloft::recorder::hal {

// The sound server through libpulse (PulseAudio, or PipeWire's pulse server), on a threaded
// main loop of its own. Finds the server as every pulse client does (PULSE_SERVER,
// XDG_RUNTIME_DIR); never starts one.
std::shared_ptr<AudioHardware> makePulseAudioHardware(const std::string& clientName = "sayloft");

}  // namespace sayloft::recorder::hal
