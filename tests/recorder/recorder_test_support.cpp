#include "recorder_test_support.hpp"

#include <sndfile.h>

#include <stdexcept>

namespace sayloft::test {

Audio readAudio(const std::filesystem::path& file) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return audio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
    const auto got = sf_readf_float(f, audio.samples.data(), info.frames);
    audio.samples.resize(static_cast<size_t>(got) * info.channels);
    sf_close(f);
    return audio;
}

void writeAudio(const std::filesystem::path& file, int rate, int channels,
                const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = file.extension() == ".caf" ? (SF_FORMAT_CAF | SF_FORMAT_FLOAT)
                                             : (SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + file.string());
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()) / channels);
    sf_close(f);
}

std::vector<float> generate(int64_t frames, const std::function<float(int64_t)>& f) {
    std::vector<float> out(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) out[static_cast<size_t>(i)] = f(i);
    return out;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
}

}  // namespace sayloft::test
