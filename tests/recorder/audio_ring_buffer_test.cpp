#include <gtest/gtest.h>

#include <thread>

#include "recorder/audio_ring_buffer.hpp"

using sayloft::recorder::AudioRingBuffer;

namespace {

std::vector<float> frames(int64_t first, int64_t count) {
    std::vector<float> v;
    for (int64_t i = first; i < first + count; ++i) {
        v.push_back(static_cast<float>(i));
        v.push_back(static_cast<float>(-i));
    }
    return v;
}

}  // namespace

TEST(AudioRingBuffer, CapacityIsRoundedUpToAPowerOfTwo) {
    EXPECT_EQ(AudioRingBuffer(1, 2).capacityFrames(), 1);
    EXPECT_EQ(AudioRingBuffer(3, 2).capacityFrames(), 4);
    EXPECT_EQ(AudioRingBuffer(524288, 2).capacityFrames(), 524288);
}

TEST(AudioRingBuffer, OverfillDropsAndCountsAndWrapsInOrder) {
    AudioRingBuffer ring(64, 2);
    auto in = frames(0, 164);
    EXPECT_EQ(ring.write(in.data(), 164), 64);
    EXPECT_EQ(ring.droppedFrames(), 100);
    std::vector<float> out(2 * 200);
    ASSERT_EQ(ring.read(out.data(), 200), 64);
    out.resize(2 * 64);
    EXPECT_EQ(out, frames(0, 64));

    // A write that runs past the end of storage reads back contiguous.
    auto a = frames(64, 40);
    ring.write(a.data(), 40);
    std::vector<float> part(2 * 30);
    ring.read(part.data(), 30);
    auto b = frames(104, 50);  // wraps
    EXPECT_EQ(ring.write(b.data(), 50), 50);
    std::vector<float> rest(2 * 60);
    ASSERT_EQ(ring.read(rest.data(), 60), 60);
    EXPECT_EQ(rest, frames(94, 60));
    EXPECT_EQ(ring.droppedFrames(), 100);
}

// A producer and a consumer thread: with room nothing is lost or reordered; without it every
// missing frame is counted as dropped, exactly.
TEST(AudioRingBuffer, ProducerAndConsumerThreads) {
    for (bool waitForRoom : {true, false}) {
        AudioRingBuffer ring(1024, 2);
        const int64_t total = 400'000;
        const int64_t chunk = 97;
        std::vector<int64_t> seen;
        seen.reserve(total);
        std::atomic<bool> done{false};
        std::thread consumer([&] {
            std::vector<float> buf(2 * 300);
            int64_t spin = 0;
            for (;;) {
                const bool finished = done.load();
                const int64_t got = ring.read(buf.data(), waitForRoom ? 300 : 50);
                for (int64_t i = 0; i < got; ++i) {
                    ASSERT_EQ(buf[2 * i], -buf[2 * i + 1]);
                    seen.push_back(static_cast<int64_t>(buf[2 * i]));
                }
                if (got == 0 && finished) break;
                if (!waitForRoom && ++spin % 4 == 0) std::this_thread::yield();
            }
        });
        std::thread producer([&] {
            std::vector<float> buf;
            for (int64_t i = 0; i < total; i += chunk) {
                const int64_t n = std::min(chunk, total - i);
                buf = frames(i, n);
                if (waitForRoom)
                    while (ring.capacityFrames() - ring.availableFrames() < n)
                        std::this_thread::yield();
                ring.write(buf.data(), n);
            }
            done = true;
        });
        producer.join();
        consumer.join();
        if (waitForRoom) {
            EXPECT_EQ(ring.droppedFrames(), 0);
            ASSERT_EQ(static_cast<int64_t>(seen.size()), total);
            for (int64_t i = 0; i < total; ++i) ASSERT_EQ(seen[i], i);
        } else {
            EXPECT_EQ(static_cast<int64_t>(seen.size()) + ring.droppedFrames(), total);
            for (size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
        }
    }
}
