#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "recorder/recording_sidecar.hpp"

namespace sayloft::recorder {

// Why an encode failed; what() is the text the user sees.
class EncodeError : public Error {
  public:
    enum class Kind { cannotCreatePart, conversionFailed, writeFailed, noSegments, noAudio };
    EncodeError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    static EncodeError cannotCreatePart(const std::string& name, const std::string& reason);
    static EncodeError conversionFailed(const std::string& name, const std::string& reason);
    static EncodeError writeFailed(const std::string& name, const std::string& reason);
    static EncodeError noSegments();
    static EncodeError noAudio();
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// Turns a recording's segments, in sidecar order, into AAC-LC 128 kbit/s 48 kHz stereo .m4a
// parts in its work folder: "<id>.m4a", "<id>_2.m4a", ... A new part begins before the size
// limit, in the middle of the quietest second of the last minute before it. Missing, empty and
// unreadable segments are skipped with a log line; a damaged one is used up to its last readable
// frame. Memory does not grow with the recording's length.
class RecordingEncoder {
  public:
    static constexpr int64_t kTargetRate = 48000;
    static constexpr int64_t kDefaultLimitFrames = 571'950'545;  // 3 h 18 min 35.6 s

    struct Options {
        int64_t limitFrames = kDefaultLimitFrames;  // at least two seconds are kept
    };

    // Synchronous; run it off any thread that must stay responsive.
    static std::vector<std::filesystem::path> encode(const std::filesystem::path& workFolder,
                                                     const RecordingSidecar& sidecar,
                                                     const Options& options);
    static std::vector<std::filesystem::path> encode(const std::filesystem::path& workFolder,
                                                     const RecordingSidecar& sidecar) {
        return encode(workFolder, sidecar, Options{});
    }
    // "<id>.m4a" for the first part, "<id>_<n>.m4a" after.
    static std::string partName(const std::string& id, int index);
    static int64_t limitFramesFor(int64_t requested);
    static int64_t windowFramesFor(int64_t limitFrames);
};

}  // namespace sayloft::recorder
