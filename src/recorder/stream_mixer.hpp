#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/clock.hpp"
#include "recorder/audio_ring_buffer.hpp"

namespace sayloft::recorder {

// Shared without locks between the data thread (writes) and the level tick (reads, and asks
// for a reset that the data thread performs at its next delivery).
struct CaptureMeter {
    std::atomic<float> micPeak{0}, systemPeak{0};
    std::atomic<double> micSumSquares{0}, systemSumSquares{0};
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> callbacks{0};
    std::atomic<int64_t> captured{0};  // frames produced since start, paused ones included
    std::atomic<int64_t> corrections{0};
    std::atomic<bool> resetRequested{false};
    std::atomic<bool> paused{false};
};

// Combines a microphone and any number of system streams into interleaved stereo frames in the
// ring. One stream is the clock: the microphone, else the first system stream. The clock's audio
// is held until every other stream has delivered its part (at most 200 ms: one server lump may
// bring the clock's audio before the others'), so lumpy deliveries lose nothing. Each other
// stream waits in a FIFO primed with 30 ms; the level it settles at in its first second is kept
// by dropping or repeating one frame when its slow average drifts more than 5 ms from there; a
// step of the level within 4 s is the server changing its latency and becomes the new level. A FIFO
// that runs dry gives silence; frames that come up to 300 ms late are skipped so the stream stays
// in step, and after a longer silence it starts afresh at its target. A FIFO 1.5 s ahead (the clock
// stalled) skips to its newest audio; anything less is a lump the clock will take when it comes. A
// clock that stops delivering (a paused app on some servers sends nothing) is filled with silence
// at tick(), so the recording keeps its length; a clock that dumps a backlog when it starts is cut
// to its newest 100 ms.
//
// All calls except the constructor run on the hardware's data thread or under its exclusion;
// none of them locks or allocates.
class StreamMixer {
  public:
    struct Config {
        bool microphone = true;  // input "mic" exists (mono) and is the clock
        int systemInputs = 1;    // stereo inputs 0..n-1
        double rate = 48000;
    };
    StreamMixer(Config config, AudioRingBuffer& ring, CaptureMeter& meter,
                const core::Clock& clock);

    // Null data: a hole of `frames` frames.
    void micData(const float* mono, int64_t frames);
    void systemData(int input, const float* stereo, int64_t frames);
    // Fills a gap of the clock with silence up to `now` (gaps longer than 5 s, as after a sleep,
    // are skipped instead).
    void tick();

    // Left = microphone, right = system mono; else the system's own left and right.
    bool stereoSystem() const { return !config_.microphone; }

  private:
    struct Fifo {
        std::vector<float> buffer;  // stereo frames, capacity a power of two
        int64_t mask = 0;
        int64_t head = 0, tail = 0;  // frames ever read / written
        bool started = false;
        bool starved = true;
        int64_t debt = 0;  // frames given as silence that the stream still owes
        double average = 0;
        double baseline = 0;    // the level it settled at
        int settled = 0;        // takes since it (re)started
        int64_t taken = 0;      // frames taken since it settled
        int64_t nearSince = 0;  // `taken` when the average was last close to the baseline
        int64_t size() const { return tail - head; }
    };
    void push(Fifo& fifo, const float* stereo, int64_t frames);
    // Takes `frames` frames added into `out` (stereo), with drift correction.
    void takeInto(Fifo& fifo, float* out, int64_t frames);
    void clockData(const float* mono, const float* stereo, int64_t frames);
    void produce(const float* mono, const float* stereo, int64_t frames);
    // Holds clock frames (stereo layout; a microphone in the left slot).
    void hold(const float* mono, const float* stereo, int64_t frames);
    // Produces the held clock frames that every running stream can match, and at least those
    // held longer than the limit.
    void release();
    bool clockIsSystem() const { return !config_.microphone && config_.systemInputs > 0; }
    int firstFollower() const { return clockIsSystem() ? 1 : 0; }
    void resetMeterIfAsked();

    Config config_;
    AudioRingBuffer& ring_;
    CaptureMeter& meter_;
    const core::Clock& clock_;
    core::TimePoint created_;
    bool anchored_ = false;
    core::TimePoint anchor_;
    int64_t clockFrames_ = 0;  // frames produced since the anchor
    int64_t clockDebt_ = 0;    // silence given for the clock that late frames may still pay
    std::vector<Fifo> fifos_;  // one per system input (the clock's own is unused)
    Fifo held_;                // the clock's frames waiting for the others
    std::vector<float> system_, out_, clockIn_, clockOut_, monoOut_;
    int64_t target_, tolerance_, overfill_, maxDebt_, maxHold_, stepFrames_;
};

}  // namespace sayloft::recorder
