#include "recorder/simulated_source.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "core/log.hpp"
#include "recorder/recording_writer.hpp"
#include "sayloft/version.hpp"

namespace sayloft::recorder {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "recorder";
constexpr int64_t kRingFrames = 524288;

SNDFILE* openInput(const fs::path& file, SF_INFO& info) {
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) throw Error("Cannot read " + file.string() + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(f);
        throw Error("Cannot read " + file.string() + ": no audio");
    }
    return f;
}

}  // namespace

SimulatedSource::SimulatedSource(const fs::path& micFile, const fs::path& systemFile) {
    SF_INFO micInfo{}, systemInfo{};
    mic_ = openInput(micFile, micInfo);
    try {
        system_ = openInput(systemFile, systemInfo);
    } catch (...) {
        sf_close(mic_);
        throw;
    }
    if (micInfo.samplerate != systemInfo.samplerate) {
        sf_close(mic_);
        sf_close(system_);
        throw Error(fmt::format("{} is at {} Hz and {} at {} Hz; give both at one rate",
                                micFile.filename().string(), micInfo.samplerate,
                                systemFile.filename().string(), systemInfo.samplerate));
    }
    micChannels_ = micInfo.channels;
    systemChannels_ = systemInfo.channels;
    micFrames_ = micInfo.frames;
    systemFrames_ = systemInfo.frames;
    rate_ = micInfo.samplerate;
    frames_ = std::max(micFrames_, systemFrames_);
}

SimulatedSource::~SimulatedSource() {
    if (mic_) sf_close(mic_);
    if (system_) sf_close(system_);
}

int SimulatedSource::readSide(SNDFILE* file, int channels, int64_t fileFrames, float* out,
                              int frames) {
    std::fill(out, out + frames, 0.0f);
    if (fed_ >= fileFrames) return 0;
    scratch_.resize(static_cast<size_t>(frames) * channels);
    const auto got = static_cast<int>(sf_readf_float(file, scratch_.data(), frames));
    for (int i = 0; i < got; ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) sum += scratch_[static_cast<size_t>(i) * channels + c];
        out[i] = sum / static_cast<float>(channels);
    }
    return got;
}

int64_t SimulatedSource::feed(AudioRingBuffer& ring, int64_t frames, core::Clock* pacing,
                              std::stop_token stop) {
    const int64_t n = std::min(frames, frames_ - fed_);
    if (n < 1 || stop.stop_requested()) return 0;
    const int count = static_cast<int>(n);
    if (pacing) {
        if (!start_) start_ = pacing->now();
        const auto due = *start_ + core::seconds(static_cast<double>(fed_ + n) / rate_);
        const auto now = pacing->now();
        if (due > now && !pacing->sleepFor(due - now, stop)) return 0;
    }
    micChunk_.resize(count);
    systemChunk_.resize(count);
    readSide(mic_, micChannels_, micFrames_, micChunk_.data(), count);
    readSide(system_, systemChannels_, systemFrames_, systemChunk_.data(), count);
    interleaved_.resize(static_cast<size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        interleaved_[2 * i] = micChunk_[i];
        interleaved_[2 * i + 1] = systemChunk_[i];
    }
    int64_t stored = ring.write(interleaved_.data(), n);
    while (!pacing && stored < n && !stop.stop_requested()) {
        std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stored += ring.write(interleaved_.data() + 2 * stored, n - stored);
    }
    if (pacing && ring.droppedFrames() > droppedLogged_) {
        const auto now = pacing->now();
        if (!lastDropLog_ || now - *lastDropLog_ >= std::chrono::seconds(5)) {
            lastDropLog_ = now;
            droppedLogged_ = ring.droppedFrames();
            core::log(kArea, "ring full, {} frame(s) dropped so far (the writer is not keeping up)",
                      droppedLogged_);
        }
    }
    fed_ += n;
    return n;
}

RecordingSidecar recordSimulated(const RecordingRecovery& recordings,
                                 const SimulatedRecordingOptions& options, core::Clock& clock,
                                 std::stop_token stop,
                                 std::function<void(const std::string&, int64_t)> progress) {
    SimulatedSource source(options.micFile, options.systemFile);
    std::optional<core::ScaledClock> scaled;
    if (options.timeScale > 0) scaled.emplace(options.timeScale);
    core::Clock* pacing = scaled ? &*scaled : nullptr;

    const auto start = clock.now();
    const std::string base = recordingCanonicalID(start);
    std::string id = base;
    for (int n = 2; fs::exists(recordings.workFolder(id)); ++n) id = base + "_" + std::to_string(n);

    RecordingSidecar sidecar;
    sidecar.id = id;
    sidecar.startedAt = start;
    sidecar.microphoneName = options.microphoneName;
    sidecar.channelLayout = kLayoutMicrophoneSystem;
    sidecar.status = "recording";
    sidecar.systemSideSilent = true;
    sidecar.micSideSilent = true;
    sidecar.echoCancellation = options.echoCancellation ? "on" : "off";
    sidecar.outputKind = "unknown";
    sidecar.appVersion = kVersion;

    RecordingWriter writer(recordings.workFolder(id), sidecar, clock);
    auto ring = std::make_shared<AudioRingBuffer>(kRingFrames, 2);
    writer.startDraining(ring);
    const double rate = source.sampleRate();
    auto begin = [&](const char* reason) {
        writer.beginSegment(rate, options.microphoneName, reason, options.echoCancellation, 0.0);
        auto lock = writer.lock();
        auto& newest = writer.stateLocked().segments.back();
        newest.source = sidecar.source;
        newest.channelLayout = kLayoutMicrophoneSystem;
        writer.persistLocked();
    };
    begin("start");
    core::log(kArea, "simulated recording {} started ({:.0f} s of audio at {:.0f} Hz)", id,
              source.totalFrames() / rate, rate);

    const int64_t chunk = std::max<int64_t>(1, std::lround(rate / 100));
    const int64_t perSegment =
        options.segmentSeconds > 0 ? std::llround(options.segmentSeconds * rate) : 0;
    int64_t segmentFed = 0;
    while (!source.ended() && !stop.stop_requested()) {
        int64_t want = chunk;
        if (perSegment > 0) want = std::min(want, perSegment - segmentFed);
        const int64_t fed = source.feed(*ring, want, pacing, stop);
        if (fed == 0) break;
        segmentFed += fed;
        if (progress) progress(id, source.framesFed());
        if (perSegment > 0 && segmentFed >= perSegment && !source.ended()) {
            begin("device-change");
            segmentFed = 0;
        }
    }
    return writer.finish();
}

}  // namespace sayloft::recorder
