#include <gtest/gtest.h>

#include "core/files.hpp"
#include "recorder/recording_writer.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::recorder;
namespace fs = std::filesystem;

namespace {

struct WriterFixture {
    test::TempDir dir;
    test::LogCollector log;
    core::ManualClock clock{core::SystemClock::now()};
    std::shared_ptr<AudioRingBuffer> ring = std::make_shared<AudioRingBuffer>(1 << 19, 2);
    std::unique_ptr<RecordingWriter> writer;
    int64_t fed = 0;

    fs::path folder() const { return dir / "250314-093012"; }

    WriterFixture() {
        RecordingSidecar s;
        s.id = "250314-093012";
        s.startedAt = clock.now();
        s.microphoneName = "Mic";
        writer = std::make_unique<RecordingWriter>(folder(), s, clock);
        // No thread: segment changes and finish drain the ring themselves, deterministically.
        writer->startDraining(ring);
    }

    // Interleaved frames: left micSample, right systemSample, counting on from the last call.
    void feed(int64_t frames) {
        std::vector<float> v;
        for (int64_t i = 0; i < frames; ++i, ++fed) {
            v.push_back(test::micSample(fed));
            v.push_back(test::systemSample(fed));
        }
        ASSERT_EQ(ring->write(v.data(), frames), frames);
    }

    RecordingSidecar sidecarOnDisk() const {
        return parseSidecar(core::readFile(folder() / "recording.json").value()).value();
    }
};

}  // namespace

// The delay line and its flush leave each segment exactly as long as what was fed, aligned to
// the first frame, on both channels; the sidecar follows every step.
TEST(RecordingWriter, SegmentsHoldExactlyWhatWasFedInTime) {
    WriterFixture f;
    f.writer->beginSegment(48000, std::string("Mic"), "start", false, 0.0);
    EXPECT_EQ(f.sidecarOnDisk().segments.size(), 1u);
    f.feed(30'001);
    f.writer->beginSegment(48000, std::nullopt, "microphone-off");
    f.feed(5'000);
    auto sidecar = f.writer->finish();

    ASSERT_EQ(sidecar.segments.size(), 2u);
    EXPECT_EQ(sidecar.status, "stopped");
    EXPECT_TRUE(sidecar.endedAt.has_value());
    EXPECT_EQ(sidecar.segments[0].file, "segment-001.caf");
    EXPECT_EQ(sidecar.segments[1].reason, "microphone-off");
    EXPECT_TRUE(sidecar.segments[0].endedAt && sidecar.segments[1].endedAt);
    EXPECT_EQ(sidecar.segments[0].echoReferenceDelay, 0.0);
    EXPECT_FALSE(sidecar.segments[1].echoReferenceDelay.has_value());
    EXPECT_FALSE(sidecar.micSideSilent);
    EXPECT_FALSE(sidecar.systemSideSilent);
    EXPECT_EQ(renderSidecar(f.sidecarOnDisk()), renderSidecar(sidecar));

    auto first = test::readAudio(f.folder() / "segment-001.caf");
    auto second = test::readAudio(f.folder() / "segment-002.caf");
    ASSERT_EQ(first.frames(), 30'001);
    ASSERT_EQ(second.frames(), 5'000);
    EXPECT_EQ(first.rate, 48000);
    for (int64_t i = 0; i < 30'001; ++i) {
        ASSERT_EQ(first.samples[2 * i], test::micSample(i)) << i;
        ASSERT_EQ(first.samples[2 * i + 1], test::systemSample(i)) << i;
    }
    for (int64_t i = 0; i < 5'000; ++i)
        ASSERT_EQ(second.samples[2 * i], test::micSample(30'001 + i)) << i;
    EXPECT_TRUE(
        f.log.contains("segment segment-002.caf started (48000 Hz, reason "
                       "microphone-off, echo cancellation n/a, reference delay 0 ms)"));
    EXPECT_TRUE(f.log.contains("segment segment-001.caf closed (30001 frames)"));
}

// Cancellation wanted from the start is fully on from the first frame; switched on mid-segment
// it keeps the raw microphone for the delay, then fades in over one block.
TEST(RecordingWriter, EchoCancellationFades) {
    WriterFixture f;
    f.writer->beginSegment(48000, std::string("Mic"), "start", true, 3.0);
    EXPECT_EQ(f.writer->refHistoryLengthLocked(), 120'000);  // capped at 2.5 s
    f.feed(2'000);
    f.writer->beginSegment(48000, std::string("Mic"), "echo-change", false, -1.0);
    {
        auto lock = f.writer->lock();
        EXPECT_EQ(f.writer->stateLocked().segments[0].echoCancelled, true);
        EXPECT_EQ(f.writer->refHistoryLengthLocked(), 0);
    }
    const int delay = [&] {
        auto lock = f.writer->lock();
        return f.writer->delayLengthLocked();
    }();
    ASSERT_EQ(delay, 2 * 512);
    f.feed(3'000);
    {
        auto lock = f.writer->lock();
        f.writer->drainLocked();
    }
    f.writer->setEchoSwitch(true);
    f.feed(2'000);
    f.writer->beginSegment(48000, std::string("Mic"), "echo-change");  // drains the 2,000
    auto lock = f.writer->lock();
    auto& segments = f.writer->stateLocked().segments;
    EXPECT_EQ(segments[1].echoCancelled, true);
    EXPECT_EQ(f.log.count("echo cancellation on in segment-002.caf"), 1u);
    lock.unlock();
    f.writer->finish();

    // What was recorded before the switch stays the raw microphone (the delay line still held
    // the last `delay` frames of it); the cleaned signal fades in after.
    auto audio = test::readAudio(f.folder() / "segment-002.caf");
    ASSERT_EQ(audio.frames(), 5'000);
    for (int64_t i = 0; i < 3'000; ++i)
        ASSERT_EQ(audio.samples[2 * i], test::micSample(2'000 + i)) << i;
    int differing = 0;
    for (int64_t i = 3'000; i < 5'000; ++i)
        differing += audio.samples[2 * i] != test::micSample(2'000 + i);
    EXPECT_GT(differing, 1'000);
}

TEST(RecordingWriter, WithoutASegmentTheRingIsDrainedAndDiscarded) {
    WriterFixture f;
    f.feed(10'000);
    f.writer->beginSegment(48000, std::nullopt, "start");  // nothing open yet: nothing drained
    f.writer->finish();
    EXPECT_EQ(test::readAudio(f.folder() / "segment-001.caf").frames(), 10'000);

    WriterFixture g;
    g.writer->beginSegment(48000, std::nullopt, "start");
    {
        auto lock = g.writer->lock();
        g.writer->endSegmentLocked();  // paused
    }
    g.feed(10'000);
    auto s = g.writer->finish();  // drains and discards
    EXPECT_EQ(g.ring->availableFrames(), 0);
    EXPECT_EQ(test::readAudio(g.folder() / "segment-001.caf").frames(), 0);
    EXPECT_EQ(s.segments.size(), 1u);
}

TEST(RecordingWriter, OnlyTheFirstFailedAppendOfASegmentIsLogged) {
    WriterFixture f;
    int calls = 0;
    f.writer->setAppendHookForTesting([&](int64_t) { return ++calls == 2; });
    f.writer->beginSegment(48000, std::nullopt, "start");
    for (int i = 0; i < 4; ++i) {
        f.feed(100);
        auto lock = f.writer->lock();
        f.writer->endSegmentLocked();
        lock.unlock();
        if (i < 3) f.writer->beginSegment(48000, std::nullopt, "resume");
    }
    auto lock = f.writer->lock();
    EXPECT_EQ(f.writer->failedWritesLocked(), 3);
    EXPECT_EQ(f.writer->lastWriteErrorLocked(), "injected write failure");
    EXPECT_EQ(f.log.count("write failed in segment-00"), 3u);  // one per segment
}

// A disk that fills up in the middle of a chunk: that chunk is lost, the audio before it stays
// as it was, and what comes once there is room again follows it.
TEST(RecordingWriter, AFailedWriteLosesItsChunkOnly) {
    WriterFixture f;
    f.writer->beginSegment(48000, std::nullopt, "start");
    // Fed and written under the writer's lock: its thread cannot cut the chunks otherwise.
    auto write = [&](int64_t frames) {
        auto lock = f.writer->lock();
        f.feed(frames);
        f.writer->drainLocked();
    };
    write(10'000);
    const auto segment = f.folder() / "segment-001.caf";
    {
        test::FileSizeLimit full(fs::file_size(segment) + 1000);  // 125 frames more
        for (int i = 0; i < 3; ++i) write(2'000);
    }
    write(5'000);
    f.writer->finish();
    {
        auto lock = f.writer->lock();
        EXPECT_EQ(f.writer->failedWritesLocked(), 3);
        EXPECT_EQ(f.writer->lastWriteErrorLocked(), "File too large");
    }
    auto audio = test::readAudio(segment);
    ASSERT_EQ(audio.frames(), 15'000);
    for (int64_t i = 0; i < 15'000; ++i) {
        const int64_t fed = i < 10'000 ? i : i + 6'000;
        ASSERT_EQ(audio.samples[2 * i], test::micSample(fed)) << i;
        ASSERT_EQ(audio.samples[2 * i + 1], test::systemSample(fed)) << i;
    }
}

TEST(RecordingWriter, AThreadDrainsWhileRecording) {
    test::TempDir dir;
    test::LogCollector log;
    RecordingSidecar s;
    s.id = "x";
    s.startedAt = core::SystemClock::now();
    RecordingWriter writer(dir / "x", s);
    auto ring = std::make_shared<AudioRingBuffer>(4096, 2);
    writer.startDraining(ring);
    writer.beginSegment(16000, std::nullopt, "start");
    std::vector<float> chunk(2 * 1000, 0.25f);
    int64_t stored = 0;
    // Far more than the ring holds: only a running writer thread makes room.
    while (stored < 100'000)
        stored += ring->write(chunk.data(), std::min<int64_t>(1000, 100'000 - stored));
    writer.finish();
    EXPECT_EQ(test::readAudio(dir / "x" / "segment-001.caf").frames(), 100'000);
}
