// recorder_mixer_bench
//
// Cost of combining the capture streams, per second of audio, as ratios against a baseline run
// in the same process: writing the same stereo frames straight into the ring.
// 1. microphone + one system stream (all audio): its speed as a multiple of real time (target
//    ≥ 100: the capture callback must take at most 1 % of a core), and its overhead against the
//    plain ring writes (a per-sample loop against a copy; printed for comparison between runs);
// 2. microphone + eight system streams (one app with many streams) against one stream: the cost
//    grows with the number of streams, never faster (target ≤ 8).
#include <chrono>
#include <cstdio>
#include <vector>

#include "core/clock.hpp"
#include "recorder/audio_ring_buffer.hpp"
#include "recorder/stream_mixer.hpp"

using namespace sayloft;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kSeconds = 60;
constexpr int kChunk = 480;  // 10 ms deliveries

double baseline() {
    recorder::AudioRingBuffer ring(1 << 19, 2);
    std::vector<float> stereo(kChunk * 2, 0.25f), sink(1 << 20);
    const auto start = Steady::now();
    for (int i = 0; i < kSeconds * 100; ++i) {
        ring.write(stereo.data(), kChunk);
        ring.read(sink.data(), kChunk);
    }
    return std::chrono::duration<double>(Steady::now() - start).count();
}

double mixer(int systemStreams) {
    core::ManualClock clock;
    recorder::AudioRingBuffer ring(1 << 19, 2);
    recorder::CaptureMeter meter;
    recorder::StreamMixer mix({.microphone = true, .systemInputs = systemStreams}, ring, meter,
                              clock);
    std::vector<float> mono(kChunk, 0.1f), stereo(kChunk * 2, 0.25f), sink(1 << 20);
    const auto start = Steady::now();
    for (int i = 0; i < kSeconds * 100; ++i) {
        for (int s = 0; s < systemStreams; ++s) mix.systemData(s, stereo.data(), kChunk);
        mix.micData(mono.data(), kChunk);
        clock.advance(std::chrono::milliseconds(10));
        ring.read(sink.data(), kChunk);
    }
    return std::chrono::duration<double>(Steady::now() - start).count();
}

}  // namespace

int main() {
    double base = 1e9, one = 1e9, eight = 1e9;
    for (int run = 0; run < 3; ++run) {  // best of three each
        base = std::min(base, baseline());
        one = std::min(one, mixer(1));
        eight = std::min(eight, mixer(8));
    }
    std::printf("ring baseline: %.1f s of audio per second\n", kSeconds / base);
    std::printf("mixer, 1 system stream: %.1f x real time (target >= 100); %.2f x the baseline\n",
                kSeconds / one, one / base);
    std::printf("mixer, 8 system streams vs 1: ratio %.2f (target <= 8)\n", eight / one);
    return 0;
}
