#include "recorder/recording_writer.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/files.hpp"
#include "core/log.hpp"

namespace sayloft::recorder {

namespace fs = std::filesystem;

namespace {

constexpr const char* kArea = "recorder";
constexpr int kMaxDelay = RecordingWriter::kChunkFrames;
constexpr double kMaxReferenceDelay = 2.5;
constexpr auto kWakeInterval = std::chrono::milliseconds(50);
constexpr auto kSyncInterval = std::chrono::seconds(1);
constexpr auto kMeterInterval = std::chrono::milliseconds(95);

}  // namespace

RecordingWriter::RecordingWriter(fs::path workFolder, RecordingSidecar sidecar, core::Clock& clock)
    : workFolder_(std::move(workFolder)), clock_(clock), state_(std::move(sidecar)) {
    std::error_code ec;
    fs::create_directories(workFolder_, ec);
    if (ec) throw Error("Could not create " + workFolder_.string() + ": " + ec.message());
    interleaved_.assign(static_cast<size_t>(kChunkFrames) * 2, 0.0f);
    out_.assign(static_cast<size_t>(kChunkFrames) * 2, 0.0f);
    for (auto* buffer : {&micIn_, &refIn_, &cleaned_, &delayMic_, &delayRef_, &refDelayed_})
        buffer->assign(kChunkFrames, 0.0f);
    std::lock_guard lock(mutex_);
    persistLocked();
}

RecordingWriter::~RecordingWriter() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    if (thread_.joinable()) {
        wake_.release();
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    if (file_) sf_close(file_);
    file_ = nullptr;
}

void RecordingWriter::setOnMicLevel(std::function<void(float)> callback) {
    std::lock_guard lock(mutex_);
    onMicLevel_ = std::move(callback);
}

void RecordingWriter::setEchoSwitch(bool on) {
    std::lock_guard lock(echoMutex_);
    echoSwitch_ = on;
}

bool RecordingWriter::echoSwitch() const {
    std::lock_guard lock(echoMutex_);
    return echoSwitch_;
}

void RecordingWriter::setAppendHookForTesting(std::function<bool(int64_t)> hook) {
    std::lock_guard lock(mutex_);
    appendHook_ = std::move(hook);
}

// ---------------------------------------------------------------------------------------------
// Thread

void RecordingWriter::startDraining(std::shared_ptr<AudioRingBuffer> ring) {
    std::lock_guard lock(mutex_);
    ring_ = std::move(ring);
    if (!thread_.joinable()) {
        stopRequested_ = false;
        thread_ = std::thread([this] { threadMain(); });
        pthread_setname_np(thread_.native_handle(), "sayloft.rec.wr");
    }
}

void RecordingWriter::threadMain() {
    for (;;) {
        (void)wake_.try_acquire_for(kWakeInterval);
        std::optional<fs::path> segment;
        bool stop = false;
        {
            std::lock_guard lock(mutex_);
            drainLocked();
            stop = stopRequested_;
            segment = segmentPath_;
        }
        if (stop) return;
        const auto now = clock_.now();
        if (segment && now - lastSync_ >= kSyncInterval) {
            fsyncSegment(*segment);
            lastSync_ = now;
        }
    }
}

void RecordingWriter::fsyncSegment(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    int error = 0;
    if (fd < 0) {
        error = errno;
    } else {
        if (::fsync(fd) != 0) error = errno;
        ::close(fd);
    }
    if (error)
        core::log(kArea, "fsync of {} failed: {}", file.filename().string(), std::strerror(error));
}

// ---------------------------------------------------------------------------------------------
// Draining

void RecordingWriter::drainLocked() {
    if (!ring_) return;
    for (;;) {
        const int64_t k = ring_->read(interleaved_.data(), kChunkFrames);
        if (k < 1) break;
        if (file_) {
            handChunkLocked(interleaved_.data(), static_cast<int>(k));
            if (k < kChunkFrames) break;
        }
    }
    publishMicLevelLocked();
}

void RecordingWriter::handChunkLocked(const float* in, int frames) {
    bool changed = false;
    if (state_.systemSideSilent || state_.micSideSilent) {
        for (int i = 0; i < frames; ++i) {
            if (segmentHasMicrophone_ && state_.micSideSilent && in[2 * i] != 0.0f) {
                state_.micSideSilent = false;
                changed = true;
            }
            if (state_.systemSideSilent && in[2 * i + 1] != 0.0f) {
                state_.systemSideSilent = false;
                changed = true;
            }
        }
    }
    if (changed) persistLocked();

    if (!segmentHasMicrophone_) {
        std::copy(in, in + 2 * frames, out_.begin());
        appendLocked(frames);
        return;
    }
    for (int i = 0; i < frames; ++i) {
        micIn_[i] = in[2 * i];
        refIn_[i] = in[2 * i + 1];
    }
    appendLocked(micPipelineLocked(frames));
}

void RecordingWriter::appendLocked(int frames) {
    if (frames < 1 || !file_) return;
    bool ok;
    std::string error;
    if (appendHook_) {
        ok = appendHook_(frames);
        if (!ok) error = "injected write failure";
    } else {
        errno = 0;
        ok = sf_writef_float(file_, out_.data(), frames) == frames;
        // The system's word ("No space left on device", "File too large") says more than the
        // library's wrapping of it.
        if (!ok) error = errno != 0 ? std::strerror(errno) : sf_strerror(file_);
        // A write that got only part of the chunk out leaves the library's position off the
        // audio's end, and the next write would go over what is already saved: back to the end
        // of the whole frames, so that the next chunk follows them.
        if (!ok && sf_seek(file_, framesInSegment_, SEEK_SET | SFM_WRITE) != framesInSegment_)
            core::log(kArea, "cannot return to the end of the audio in {}: {}", newestFileName(),
                      sf_strerror(file_));
    }
    if (ok) {
        framesInSegment_ += frames;
        return;
    }
    ++failedWrites_;
    lastWriteError_ = error;
    if (!writeErrorLogged_) {
        writeErrorLogged_ = true;
        core::log(kArea, "write failed in {}: {}", newestFileName(), error);
    }
}

std::string RecordingWriter::newestFileName() const {
    return state_.segments.empty() ? "?" : state_.segments.back().file;
}

void RecordingWriter::publishMicLevelLocked() {
    if (!segmentHasMicrophone_) return;
    const auto now = clock_.now();
    if (meterLastPublish_ && now - *meterLastPublish_ < kMeterInterval) return;
    meterLastPublish_ = now;
    const float peak = std::clamp(meterPeak_, 0.0f, 1.0f);
    meterPeak_ = 0;
    if (onMicLevel_) onMicLevel_(peak);
}

// ---------------------------------------------------------------------------------------------
// Microphone pipeline

void RecordingWriter::setUpMicrophoneLocked(bool hasMicrophone, double sampleRate) {
    segmentHasMicrophone_ = hasMicrophone && sampleRate > 0;
    cancellerRunning_ = false;
    cancellerWarmup_ = 0;
    cancelMix_ = 0;
    segmentMarkedCancelled_ = false;
    framesIntoPipeline_ = 0;
    meterPeak_ = 0;
    delayLength_ = alignSkip_ = refHistoryLength_ = 0;
    if (!segmentHasMicrophone_) return;
    if (canceller_ && canceller_->sampleRate() == sampleRate)
        canceller_->resetState();
    else
        canceller_ = std::make_unique<EchoCanceller>(sampleRate);
    const int block = canceller_->blockSize();
    delayLength_ = std::min(2 * block, kMaxDelay);
    std::fill(delayMic_.begin(), delayMic_.begin() + delayLength_, 0.0f);
    std::fill(delayRef_.begin(), delayRef_.begin() + delayLength_, 0.0f);
    delayPosition_ = 0;
    alignSkip_ = delayLength_;
    cancelMixStep_ = 1.0f / static_cast<float>(block);
    refHistoryLength_ =
        static_cast<int>(std::lround(sampleRate * std::min(referenceDelay_, kMaxReferenceDelay)));
    if (static_cast<int>(refHistory_.size()) < refHistoryLength_)
        refHistory_.assign(static_cast<size_t>(refHistoryLength_), 0.0f);
    std::fill(refHistory_.begin(), refHistory_.begin() + refHistoryLength_, 0.0f);
    refHistoryPosition_ = 0;
}

int RecordingWriter::micPipelineLocked(int n) {
    if (!canceller_ || delayLength_ <= 0) return 0;
    const auto& layout = state_.segments.empty() ? std::optional<std::string>{}
                                                 : state_.segments.back().channelLayout;
    const bool micAndSystem = !layout || *layout == kLayoutMicrophoneSystem;
    const float target = echoSwitch() && micAndSystem ? 1.0f : 0.0f;
    if (target > 0 && !cancellerRunning_) {
        cancellerRunning_ = true;
        if (framesIntoPipeline_ == 0) {
            cancelMix_ = 1;
            cancellerWarmup_ = 0;
        } else {
            canceller_->resetState();
            cancellerWarmup_ = delayLength_;
            core::log(kArea, "echo cancellation on in {}", newestFileName());
        }
    }

    const float* reference = refIn_.data();
    if (refHistoryLength_ > 0) {
        for (int i = 0; i < n; ++i) {
            refDelayed_[i] = refHistory_[refHistoryPosition_];
            refHistory_[refHistoryPosition_] = refIn_[i];
            if (++refHistoryPosition_ == refHistoryLength_) refHistoryPosition_ = 0;
        }
        reference = refDelayed_.data();
    }
    if (cancellerRunning_) canceller_->process(micIn_.data(), reference, cleaned_.data(), n);

    int produced = 0;
    float largest = 0;
    for (int i = 0; i < n; ++i) {
        float m = delayMic_[delayPosition_];
        const float s = delayRef_[delayPosition_];
        delayMic_[delayPosition_] = micIn_[i];
        delayRef_[delayPosition_] = refIn_[i];
        if (++delayPosition_ == delayLength_) delayPosition_ = 0;
        if (cancellerRunning_) {
            if (cancellerWarmup_ > 0) {
                --cancellerWarmup_;
            } else if (cancelMix_ < target) {
                cancelMix_ = std::min(target, cancelMix_ + cancelMixStep_);
            } else if (cancelMix_ > target) {
                cancelMix_ = std::max(target, cancelMix_ - cancelMixStep_);
            }
        }
        if (cancelMix_ > 0) m = m + cancelMix_ * (cleaned_[i] - m);
        if (alignSkip_ > 0) {
            --alignSkip_;
            continue;
        }
        out_[2 * produced] = m;
        out_[2 * produced + 1] = s;
        ++produced;
        largest = std::max(largest, std::fabs(m));
    }
    framesIntoPipeline_ += n;
    meterPeak_ = std::max(meterPeak_, largest);

    if (target == 0 && cancellerRunning_ && cancelMix_ == 0) {
        cancellerRunning_ = false;
        core::log(kArea, "echo cancellation off in {}", newestFileName());
    }
    if (cancelMix_ > 0 && !segmentMarkedCancelled_ && !state_.segments.empty()) {
        segmentMarkedCancelled_ = true;
        state_.segments.back().echoCancelled = true;
        persistLocked();
    }
    return produced;
}

// ---------------------------------------------------------------------------------------------
// Segments

void RecordingWriter::beginSegment(double sampleRate, std::optional<std::string> micDeviceName,
                                   const std::string& reason, std::optional<bool> echoCancellation,
                                   std::optional<double> referenceDelay) {
    std::lock_guard lock(mutex_);
    endSegmentLocked();
    if (echoCancellation) setEchoSwitch(*echoCancellation);
    if (referenceDelay) referenceDelay_ = std::max(0.0, *referenceDelay);

    const std::string name = fmt::format("segment-{:03d}.caf", state_.segments.size() + 1);
    std::error_code ec;
    fs::create_directories(workFolder_, ec);
    if (ec) throw Error("Could not create " + workFolder_.string() + ": " + ec.message());
    const auto path = workFolder_ / name;
    // Made under another name and renamed once its header is written: a crash never leaves a
    // segment that does not open.
    const auto fresh = workFolder_ / (name + ".new");
    fs::remove(path, ec);
    fs::remove(fresh, ec);

    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = 2;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    SNDFILE* file = sf_open(fresh.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::string error = sf_strerror(nullptr);
        core::log(kArea, "cannot create {}: {}", name, error);
        fs::remove(fresh, ec);
        throw Error("Could not create " + name + ": " + error);
    }
    fs::rename(fresh, path, ec);
    if (ec) {
        const auto error = ec.message();
        sf_close(file);
        fs::remove(fresh, ec);
        core::log(kArea, "cannot create {}: {}", name, error);
        throw Error("Could not create " + name + ": " + error);
    }
    // The header follows every append, so the file reads up to the last one whatever happens.
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    file_ = file;
    segmentPath_ = path;
    segmentRate_ = sampleRate;
    framesInSegment_ = 0;
    writeErrorLogged_ = false;
    setUpMicrophoneLocked(micDeviceName.has_value(), sampleRate);

    RecordingSegment record;
    record.file = name;
    record.startedAt = clock_.now();
    record.sampleRate = sampleRate;
    record.micDeviceName = micDeviceName;
    record.reason = reason;
    record.echoCancelled = false;
    if (segmentHasMicrophone_) record.echoReferenceDelay = refHistoryLength_ / sampleRate;
    state_.segments.push_back(std::move(record));
    persistLocked();

    core::log(kArea,
              "segment {} started ({:.0f} Hz, reason {}, echo cancellation {}, reference delay "
              "{:.0f} ms)",
              name, sampleRate, reason,
              segmentHasMicrophone_ ? (echoSwitch() ? "on" : "off") : "n/a",
              segmentHasMicrophone_ ? refHistoryLength_ / sampleRate * 1000 : 0.0);
}

void RecordingWriter::endSegmentLocked() {
    if (!file_) return;
    drainLocked();
    if (segmentHasMicrophone_ && delayLength_ >= 1) {
        std::fill(micIn_.begin(), micIn_.end(), 0.0f);
        std::fill(refIn_.begin(), refIn_.end(), 0.0f);
        for (int left = delayLength_; left > 0;) {
            const int piece = std::min(left, kChunkFrames);
            appendLocked(micPipelineLocked(piece));
            left -= piece;
        }
    }
    sf_close(file_);
    file_ = nullptr;
    if (segmentPath_) fsyncSegment(*segmentPath_);
    segmentPath_.reset();
    if (!state_.segments.empty()) state_.segments.back().endedAt = clock_.now();
    persistLocked();
    core::log(kArea, "segment {} closed ({} frames)", newestFileName(), framesInSegment_);
    if (segmentMarkedCancelled_ && canceller_) {
        const auto& d = canceller_->diagnostics();
        core::log(kArea,
                  "echo canceller on {}: echo left {:.0f} dB (leakage {:.3f}), far end heard "
                  "{:.0f} s, {} take-overs, {} background restarts, {} divergence resets",
                  newestFileName(), 10 * std::log10(std::max(d.leakage, 0.000001f)), d.leakage,
                  d.farEndActiveBlocks * canceller_->blockSize() / segmentRate_,
                  d.foregroundUpdates, d.backgroundResets, d.divergenceResets);
    }
    if (segmentHasMicrophone_) {
        meterPeak_ = 0;
        meterLastPublish_.reset();
        publishMicLevelLocked();
    }
    segmentHasMicrophone_ = false;
    cancellerRunning_ = false;
}

void RecordingWriter::persistLocked() {
    try {
        core::writeDurably(workFolder_ / "recording.json", renderSidecar(state_));
    } catch (const std::exception& e) {
        core::log(kArea, "sidecar write failed: {}", e.what());
    }
}

RecordingSidecar RecordingWriter::finish() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    if (thread_.joinable()) {
        wake_.release();
        thread_.join();
    }
    std::lock_guard lock(mutex_);
    endSegmentLocked();
    state_.endedAt = clock_.now();
    state_.status = "stopped";
    persistLocked();
    core::log(kArea, "writer finished {} ({} segment(s))", state_.id, state_.segments.size());
    return state_;
}

}  // namespace sayloft::recorder
