#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sayloft::recorder {

// Single-producer, single-consumer ring of interleaved float frames. The producer (the audio
// callback) never locks, allocates or waits: frames that find no room are dropped and counted.
// Both indices count every frame ever written or read; each has one writer.
class AudioRingBuffer {
  public:
    // `capacityFrames` is rounded up to a power of two. Both arguments must be at least 1.
    AudioRingBuffer(int64_t capacityFrames, int channels);
    ~AudioRingBuffer();
    AudioRingBuffer(const AudioRingBuffer&) = delete;
    AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

    int64_t capacityFrames() const { return capacity_; }
    int channels() const { return channels_; }

    // Producer: stores up to `frames` frames, returns how many fit. The rest is dropped and
    // added to droppedFrames().
    int64_t write(const float* interleaved, int64_t frames);
    // Consumer: takes up to `maxFrames` frames in order, returns how many.
    int64_t read(float* interleaved, int64_t maxFrames);

    int64_t availableFrames() const;
    int64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    void copyIn(int64_t start, const float* src, int64_t frames);
    void copyOut(int64_t start, float* dst, int64_t frames) const;

    int64_t capacity_;
    int channels_;
    int64_t mask_;
    float* storage_;
    // Write index at byte 0 and read index at byte 128 of one aligned block: the producer and the
    // consumer never share a cache line.
    struct alignas(128) Index {
        std::atomic<int64_t> value{0};
    };
    Index* indices_;  // [0] write, [1] read
    std::atomic<int64_t> dropped_{0};
};

}  // namespace sayloft::recorder
