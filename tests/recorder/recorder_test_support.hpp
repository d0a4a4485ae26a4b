#pragma once

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <vector>

namespace sayloft::test {

// Interleaved stereo float frames of one file.
struct Audio {
    int rate = 0;
    int channels = 0;
    std::vector<float> samples;  // interleaved
    int64_t frames() const {
        return channels ? static_cast<int64_t>(samples.size()) / channels : 0;
    }
};

// Reads a whole sound file; channels 0 when it does not open.
Audio readAudio(const std::filesystem::path& file);
// Writes float samples (interleaved) as WAV or CAF by extension.
void writeAudio(const std::filesystem::path& file, int rate, int channels,
                const std::vector<float>& samples);
// A mono signal of `frames` samples whose value at i is f(i).
std::vector<float> generate(int64_t frames, const std::function<float(int64_t)>& f);

// A value that names its frame: a test can tell every frame of a recording from every other.
inline float micSample(int64_t i) {
    return static_cast<float>(i % 100003) / 100003.0f * 0.8f - 0.4f;
}
inline float systemSample(int64_t i) {
    return static_cast<float>((i * 7) % 65521) / 65521.0f * 0.6f - 0.3f;
}

// While alive no file of this process grows past `bytes`: a write beyond fails with EFBIG as on a
// full disk, at a size the test knows, also for root (which permission bits do not stop).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

}  // namespace sayloft::test
