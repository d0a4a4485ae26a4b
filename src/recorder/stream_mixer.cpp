#include "recorder/stream_mixer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sayloft::recorder {

namespace {

constexpr int64_t kChunk = 4096;
constexpr int kSettleTakes = 100;

int64_t roundUpPow2(int64_t n) {
    int64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

void raise(std::atomic<float>& peak, float value) {
    if (value > peak.load(std::memory_order_relaxed)) peak.store(value, std::memory_order_relaxed);
}

}  // namespace

StreamMixer::StreamMixer(Config config, AudioRingBuffer& ring, CaptureMeter& meter,
                         const core::Clock& clock)
    : config_(config), ring_(ring), meter_(meter), clock_(clock), created_(clock.now()) {
    if (!(config_.rate >= 1000)) config_.rate = 48000;
    config_.systemInputs = std::max(0, config_.systemInputs);
    target_ = std::llround(config_.rate * 0.030);
    tolerance_ = std::llround(config_.rate * 0.005);
    overfill_ = target_ + std::llround(config_.rate * 1.5);
    maxDebt_ = std::llround(config_.rate * 0.300);
    const int64_t capacity = roundUpPow2(std::llround(config_.rate * 2.5));
    fifos_.resize(static_cast<size_t>(config_.systemInputs));
    for (int k = firstFollower(); k < config_.systemInputs; ++k) {
        auto& f = fifos_[static_cast<size_t>(k)];
        f.buffer.assign(static_cast<size_t>(capacity) * 2, 0.0f);
        f.mask = capacity - 1;
    }
    held_.buffer.assign(static_cast<size_t>(capacity) * 2, 0.0f);
    held_.mask = capacity - 1;
    maxHold_ = std::llround(config_.rate * 0.200);
    stepFrames_ = std::llround(config_.rate * 4);
    system_.assign(kChunk * 2, 0.0f);
    out_.assign(kChunk * 2, 0.0f);
    clockIn_.assign(kChunk * 2, 0.0f);
    clockOut_.assign(kChunk * 2, 0.0f);
    monoOut_.assign(kChunk, 0.0f);
}

void StreamMixer::resetMeterIfAsked() {
    if (!meter_.resetRequested.exchange(false, std::memory_order_acq_rel)) return;
    meter_.micPeak.store(0, std::memory_order_relaxed);
    meter_.systemPeak.store(0, std::memory_order_relaxed);
    meter_.micSumSquares.store(0, std::memory_order_relaxed);
    meter_.systemSumSquares.store(0, std::memory_order_relaxed);
    meter_.frames.store(0, std::memory_order_relaxed);
}

void StreamMixer::micData(const float* mono, int64_t frames) {
    if (!config_.microphone || frames < 1) return;
    meter_.callbacks.fetch_add(1, std::memory_order_relaxed);
    resetMeterIfAsked();
    clockData(mono, nullptr, frames);
}

void StreamMixer::systemData(int input, const float* stereo, int64_t frames) {
    if (input < 0 || input >= config_.systemInputs || frames < 1) return;
    meter_.callbacks.fetch_add(1, std::memory_order_relaxed);
    resetMeterIfAsked();
    if (clockIsSystem() && input == 0) {
        clockData(nullptr, stereo, frames);
    } else {
        push(fifos_[static_cast<size_t>(input)], stereo, frames);
        release();
    }
}

void StreamMixer::push(Fifo& fifo, const float* stereo, int64_t frames) {
    if (fifo.debt > 0) {
        // These frames were due while the FIFO was dry and their place was filled with silence:
        // skip them so the stream stays in step with the clock.
        const int64_t late = std::min(fifo.debt, frames);
        fifo.debt -= late;
        frames -= late;
        if (stereo) stereo += late * 2;
        if (frames == 0) return;
    }
    const int64_t capacity = fifo.mask + 1;
    if (frames > capacity) {
        if (stereo) stereo += (frames - capacity) * 2;
        frames = capacity;
    }
    for (int64_t i = 0; i < frames; ++i) {
        const int64_t slot = ((fifo.tail + i) & fifo.mask) * 2;
        fifo.buffer[static_cast<size_t>(slot)] = stereo ? stereo[2 * i] : 0.0f;
        fifo.buffer[static_cast<size_t>(slot + 1)] = stereo ? stereo[2 * i + 1] : 0.0f;
    }
    fifo.tail += frames;
    fifo.started = true;
    if (fifo.size() > overfill_) {
        // Far ahead of the clock (a backlog, or the clock stalled): keep only the newest audio.
        fifo.head = fifo.tail - target_;
        fifo.average = static_cast<double>(target_);
        fifo.settled = 0;
    }
}

void StreamMixer::takeInto(Fifo& fifo, float* out, int64_t frames) {
    if (!fifo.started) return;
    int64_t fill = fifo.size();
    if (fifo.starved) {
        if (fill < target_) return;
        // A monitor dumps what it held when it starts: begin with the newest audio only.
        if (fill > target_ + tolerance_) fifo.head = fifo.tail - target_;
        fill = fifo.size();
        fifo.starved = false;
        fifo.debt = 0;
        fifo.settled = 0;
        fifo.average = static_cast<double>(fill);
    }
    // The level the stream settles at in its first second is its place relative to the clock
    // (deliveries come in lumps, in any phase); afterwards a slow average (about 2 s) is held
    // there, so only real drift is corrected, one frame at a time.
    int64_t adjust = 0;
    if (fifo.settled < kSettleTakes) {
        fifo.average += (static_cast<double>(fill) - fifo.average) * 0.05;
        if (++fifo.settled == kSettleTakes) {
            fifo.baseline = fifo.average;
            fifo.nearSince = fifo.taken;
        }
    } else {
        fifo.average += (static_cast<double>(fill) - fifo.average) * 0.005;
        fifo.taken += frames;
        const double deviation = fifo.average - fifo.baseline;
        const auto tolerance = static_cast<double>(tolerance_);
        if (std::fabs(deviation) <= tolerance / 4) fifo.nearSince = fifo.taken;
        if (std::fabs(deviation) > tolerance) {
            if (fifo.taken - fifo.nearSince < stepFrames_) {
                // A step within seconds is the server changing its latency (a stream started on
                // the sink, say), not drift: keep the new place instead of creeping back.
                fifo.baseline = fifo.average;
                fifo.nearSince = fifo.taken;
            } else if (frames >= 2) {
                adjust = deviation > 0 ? 1 : -1;
            }
        }
    }
    if (fill < frames + adjust) {
        // Ran dry: what there is, then silence in place of what is late. A short hiccup is made
        // up by skipping the late frames when they come; a long silence (an app that paused and
        // sends nothing) starts afresh at the target once audio comes back.
        for (int64_t i = 0; i < fill; ++i) {
            const int64_t slot = ((fifo.head + i) & fifo.mask) * 2;
            out[2 * i] += fifo.buffer[static_cast<size_t>(slot)];
            out[2 * i + 1] += fifo.buffer[static_cast<size_t>(slot + 1)];
        }
        fifo.head += fill;
        fifo.debt += frames - fill;
        if (fifo.debt > maxDebt_) fifo.starved = true;
        return;
    }
    if (adjust != 0) meter_.corrections.fetch_add(1, std::memory_order_relaxed);
    const int64_t copied = adjust < 0 ? frames - 1 : frames;
    for (int64_t i = 0; i < copied; ++i) {
        const int64_t slot = ((fifo.head + i) & fifo.mask) * 2;
        out[2 * i] += fifo.buffer[static_cast<size_t>(slot)];
        out[2 * i + 1] += fifo.buffer[static_cast<size_t>(slot + 1)];
    }
    if (adjust < 0) {  // repeat the last frame taken
        const int64_t slot = ((fifo.head + copied - 1) & fifo.mask) * 2;
        out[2 * copied] += fifo.buffer[static_cast<size_t>(slot)];
        out[2 * copied + 1] += fifo.buffer[static_cast<size_t>(slot + 1)];
    }
    fifo.head += frames + adjust;
}

void StreamMixer::clockData(const float* mono, const float* stereo, int64_t frames) {
    const auto now = clock_.now();
    if (!anchored_) {
        anchored_ = true;
        anchor_ = now;
        clockFrames_ = 0;
    }
    const double elapsed = core::toSeconds(now - anchor_);
    if (elapsed < 1.0) {
        // A source that was idle dumps what it held when it starts: keep only the newest 100 ms.
        const auto allowed =
            std::max<int64_t>(0, std::llround((elapsed + 0.1) * config_.rate) - clockFrames_);
        if (frames > allowed) {
            const int64_t skip = frames - allowed;
            if (mono) mono += skip;
            if (stereo) stereo += skip * 2;
            frames = allowed;
        }
    }
    if (clockDebt_ > 0) {
        // Frames whose time was already filled with silence: late, not new.
        const int64_t late = std::min(clockDebt_, frames);
        clockDebt_ -= late;
        frames -= late;
        if (mono) mono += late;
        if (stereo) stereo += late * 2;
    }
    clockFrames_ += frames;
    hold(mono, stereo, frames);
}

void StreamMixer::hold(const float* mono, const float* stereo, int64_t frames) {
    while (frames > 0) {
        const int64_t n = std::min(frames, kChunk);
        for (int64_t i = 0; i < n; ++i) {
            clockIn_[static_cast<size_t>(2 * i)] = mono ? mono[i] : stereo ? stereo[2 * i] : 0.0f;
            clockIn_[static_cast<size_t>(2 * i + 1)] = stereo ? stereo[2 * i + 1] : 0.0f;
        }
        push(held_, clockIn_.data(), n);
        release();
        if (mono) mono += n;
        if (stereo) stereo += n * 2;
        frames -= n;
    }
}

void StreamMixer::release() {
    for (;;) {
        const int64_t held = held_.size();
        if (held == 0) return;
        int64_t n = held;
        for (int k = firstFollower(); k < config_.systemInputs; ++k) {
            const auto& f = fifos_[static_cast<size_t>(k)];
            if (f.started && !f.starved) n = std::min(n, f.size() - 1);
        }
        n = std::min(held, std::max(n, held - maxHold_));
        if (n <= 0) return;
        n = std::min(n, kChunk);
        for (int64_t i = 0; i < n; ++i) {
            const int64_t slot = ((held_.head + i) & held_.mask) * 2;
            clockOut_[static_cast<size_t>(2 * i)] = held_.buffer[static_cast<size_t>(slot)];
            clockOut_[static_cast<size_t>(2 * i + 1)] = held_.buffer[static_cast<size_t>(slot + 1)];
            monoOut_[static_cast<size_t>(i)] = held_.buffer[static_cast<size_t>(slot)];
        }
        held_.head += n;
        if (config_.microphone) {
            produce(monoOut_.data(), nullptr, n);
        } else {
            produce(nullptr, clockIsSystem() ? clockOut_.data() : nullptr, n);
        }
    }
}

void StreamMixer::produce(const float* mono, const float* stereo, int64_t frames) {
    const bool withMic = config_.microphone;
    while (frames > 0) {
        const int64_t n = std::min(frames, kChunk);
        if (stereo) {
            std::memcpy(system_.data(), stereo, static_cast<size_t>(n) * 2 * sizeof(float));
        } else {
            std::fill(system_.begin(), system_.begin() + n * 2, 0.0f);
        }
        for (int k = firstFollower(); k < config_.systemInputs; ++k)
            takeInto(fifos_[static_cast<size_t>(k)], system_.data(), n);
        float micPeak = 0, systemPeak = 0;
        double micSum = 0, systemSum = 0;
        for (int64_t i = 0; i < n; ++i) {
            const float l = system_[static_cast<size_t>(2 * i)];
            const float r = system_[static_cast<size_t>(2 * i + 1)];
            const float sys = (l + r) * 0.5f;
            if (withMic) {
                const float m = mono ? mono[i] : 0.0f;
                out_[static_cast<size_t>(2 * i)] = m;
                out_[static_cast<size_t>(2 * i + 1)] = sys;
                micPeak = std::max(micPeak, std::fabs(m));
                micSum += static_cast<double>(m) * m;
                systemPeak = std::max(systemPeak, std::fabs(sys));
            } else {
                out_[static_cast<size_t>(2 * i)] = l;
                out_[static_cast<size_t>(2 * i + 1)] = r;
                systemPeak = std::max(systemPeak, std::max(std::fabs(l), std::fabs(r)));
            }
            systemSum += static_cast<double>(sys) * sys;
        }
        if (!meter_.paused.load(std::memory_order_relaxed)) ring_.write(out_.data(), n);
        raise(meter_.micPeak, micPeak);
        raise(meter_.systemPeak, systemPeak);
        meter_.micSumSquares.fetch_add(micSum, std::memory_order_relaxed);
        meter_.systemSumSquares.fetch_add(systemSum, std::memory_order_relaxed);
        meter_.frames.fetch_add(n, std::memory_order_relaxed);
        meter_.captured.fetch_add(n, std::memory_order_relaxed);
        if (mono) mono += n;
        if (stereo) stereo += n * 2;
        frames -= n;
    }
}

void StreamMixer::tick() {
    resetMeterIfAsked();
    const auto now = clock_.now();
    const bool hasClockInput = config_.microphone || config_.systemInputs > 0;
    if (!anchored_) {
        // Wait for the clock's first data, but not forever: a stream that never delivers (an
        // app that is paused from the start) is then timed by the wall clock.
        if (hasClockInput && now - created_ < core::seconds(2.5)) return;
        anchored_ = true;
        anchor_ = now;
        clockFrames_ = 0;
        return;
    }
    const auto expected = std::llround(core::toSeconds(now - anchor_) * config_.rate);
    const int64_t gap = expected - clockFrames_;
    const auto rate = static_cast<int64_t>(config_.rate);
    if (gap > 5 * rate || gap < -rate / 2) {
        // A sleep, or a clock faster than the wall: start counting again from here.
        anchor_ = now - core::seconds(static_cast<double>(clockFrames_) / config_.rate);
        return;
    }
    // A microphone never pauses: only a long stall counts as a gap there. A system stream
    // (a paused app) may send nothing for seconds.
    const int64_t threshold = config_.microphone ? 2 * rate : rate / 4;
    if (gap > threshold) {
        clockFrames_ += gap;
        clockDebt_ += gap;
        // Up to a second may still arrive late; beyond that whatever comes is new audio.
        if (clockDebt_ > rate) clockDebt_ = 0;
        hold(nullptr, nullptr, gap);
    }
}

}  // namespace sayloft::recorder
