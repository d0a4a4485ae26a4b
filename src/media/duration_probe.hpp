#pragma once

#include <filesystem>
#include <optional>

namespace sayloft::media {

// The duration of an audio file as its container declares it; nothing when it cannot be read
// or the media libraries are not available.
std::optional<double> probeDuration(const std::filesystem::path& file);

// What a full read of an audio file shows.
struct Probe {
    std::optional<double> duration;  // as declared
    bool whole = false;              // it opened and its packets reach the declared end
};
// Reads every packet of the file (no decoding). Nothing when the media libraries are not
// available. The libraries are loaded on the first call only, so that programs that never
// probe never pay for loading them.
std::optional<Probe> probe(const std::filesystem::path& file);

// Whether the media libraries have been loaded into this process.
bool mediaLoaded();

}  // namespace sayloft::media
