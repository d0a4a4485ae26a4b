#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace sayloft::wendrel {

// Audio that cannot be read; what() is the reason given to the client.
class AudioError : public Error {
  public:
    using Error::Error;
};

constexpr int kSpeechSampleRate = 16000;

struct AudioProbe {
    double duration = 0;  // seconds, from the container (0 when it does not say)
    std::string codec;
};

// Opens the file with libav and decodes until the first audio arrives, so a file that is
// accepted holds at least some decodable sound. Throws AudioError.
AudioProbe probeAudio(const std::filesystem::path& file);

// The whole file as 16 kHz mono 16-bit samples, whatever its format. Packets that do not
// decode are skipped; a file without any decodable audio throws AudioError. Returns nothing
// when `stop` is requested meanwhile.
std::optional<std::vector<int16_t>> decodeForSpeech(const std::filesystem::path& file,
                                                    std::stop_token stop = {});

}  // namespace sayloft::wendrel
