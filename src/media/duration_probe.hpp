#pragma once

#include <filesystem>
#include <optional>

namespace sayloft::media {

// The playing time of an audio file in seconds, read from its container (and, where the
// container does not say, from its streams). Nothing when the file cannot be opened or parsed.
std::optional<double> probeDuration(const std::filesystem::path& file);

}  // namespace sayloft::media
