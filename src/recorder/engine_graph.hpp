#pragma once

#include <functional>
#include <memory>

#include "core/clock.hpp"
#include "recorder/hal/audio_hardware.hpp"
#include "recorder/recording_graph.hpp"

namespace sayloft::recorder {

// Makes each recording's capture graph a RecordingEngine on hardware of its own (`hardware` is
// called once per recording), so that nothing stays connected to the sound server between
// recordings.
RecordingGraphFactory engineGraphFactory(
    std::function<std::shared_ptr<hal::AudioHardware>()> hardware, core::Clock& clock);

// The pickers' lists and the output kind, asked of the sound server at each question.
std::shared_ptr<AudioCatalog> hardwareCatalog(std::shared_ptr<hal::AudioHardware> hardware);

}  // namespace sayloft::recorder
