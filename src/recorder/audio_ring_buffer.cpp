#include "recorder/audio_ring_buffer.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace sayloft::recorder {

namespace {

int64_t roundUpToPowerOfTwo(int64_t n) {
    int64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

AudioRingBuffer::AudioRingBuffer(int64_t capacityFrames, int channels) {
    if (capacityFrames < 1 || channels < 1) std::abort();  // a programming error
    capacity_ = roundUpToPowerOfTwo(capacityFrames);
    channels_ = channels;
    mask_ = capacity_ - 1;
    storage_ = new float[static_cast<size_t>(capacity_ * channels_)]();
    indices_ = new Index[2];
    static_assert(sizeof(Index) == 128);
}

AudioRingBuffer::~AudioRingBuffer() {
    delete[] storage_;
    delete[] indices_;
}

void AudioRingBuffer::copyIn(int64_t start, const float* src, int64_t frames) {
    const int64_t slot = start & mask_;
    const int64_t first = std::min(frames, capacity_ - slot);
    std::memcpy(storage_ + slot * channels_, src, sizeof(float) * first * channels_);
    if (frames > first)
        std::memcpy(storage_, src + first * channels_,
                    sizeof(float) * (frames - first) * channels_);
}

void AudioRingBuffer::copyOut(int64_t start, float* dst, int64_t frames) const {
    const int64_t slot = start & mask_;
    const int64_t first = std::min(frames, capacity_ - slot);
    std::memcpy(dst, storage_ + slot * channels_, sizeof(float) * first * channels_);
    if (frames > first)
        std::memcpy(dst + first * channels_, storage_,
                    sizeof(float) * (frames - first) * channels_);
}

// The index protocol: each side loads the other's index with acquire (nothing it reads or writes
// afterwards moves before it) and publishes its own with release (everything it did before is
// visible first). That is all an SPSC ring needs, and what ThreadSanitizer checks.
int64_t AudioRingBuffer::write(const float* interleaved, int64_t frames) {
    if (frames < 1) return 0;
    const int64_t w = indices_[0].value.load(std::memory_order_relaxed);
    const int64_t r = indices_[1].value.load(std::memory_order_acquire);
    const int64_t free = capacity_ - (w - r);
    const int64_t n = free < 1 ? 0 : std::min(frames, free);
    if (n > 0) {
        copyIn(w, interleaved, n);
        indices_[0].value.store(w + n, std::memory_order_release);
    }
    if (n < frames) dropped_.fetch_add(frames - n, std::memory_order_relaxed);
    return n;
}

int64_t AudioRingBuffer::read(float* interleaved, int64_t maxFrames) {
    if (maxFrames < 1) return 0;
    const int64_t w = indices_[0].value.load(std::memory_order_acquire);
    const int64_t r = indices_[1].value.load(std::memory_order_relaxed);
    const int64_t k = std::min(maxFrames, w - r);
    if (k < 1) return 0;
    copyOut(r, interleaved, k);
    indices_[1].value.store(r + k, std::memory_order_release);
    return k;
}

int64_t AudioRingBuffer::availableFrames() const {
    return indices_[0].value.load(std::memory_order_acquire) -
           indices_[1].value.load(std::memory_order_acquire);
}

}  // namespace sayloft::recorder
