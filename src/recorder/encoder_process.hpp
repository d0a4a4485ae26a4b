#pragma once

#include <filesystem>
#include <vector>

#include "recorder/recording_encoder.hpp"

namespace sayloft::recorder {

// Encodes a work folder's saved recording ("recording.json" and its segments) in a helper
// process, `sayloft-encode`, so that the media libraries are loaded only by the process that
// needs them (and a crash inside them cannot take the engine down). Its log lines join this
// process's log. Returns the parts in order; throws EncodeError as the encoder would.
std::vector<std::filesystem::path> encodeInHelper(const std::filesystem::path& workFolder,
                                                  const RecordingEncoder::Options& options);

// The helper's exit status for each EncodeError kind (0 is success).
int exitStatusFor(EncodeError::Kind kind);

}  // namespace sayloft::recorder
