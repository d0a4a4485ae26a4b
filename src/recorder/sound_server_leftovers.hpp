#pragma once

#include <string>
#include <vector>

namespace sayloft::recorder {

// Unloads the sound-server modules a crashed recording of ours left loaded: those whose device
// name carries our prefix ("sink_name=sayloft.…", "source_name=sayloft.…"). Asks the server
// through pactl; without pactl or a server there is nothing to do. Returns the module numbers
// unloaded.
std::vector<std::string> removeSoundServerLeftovers();

// From `pactl list short modules` output: the numbers of the modules that are ours.
std::vector<std::string> ownModules(const std::string& listing);

}  // namespace sayloft::recorder
