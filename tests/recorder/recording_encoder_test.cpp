#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "media/duration_probe.hpp"
#include "recorder/recording_encoder.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::recorder;
namespace fs = std::filesystem;

namespace {

struct EncoderFixture : ::testing::Test {
    test::TempDir dir;
    test::LogCollector log;
    RecordingSidecar sidecar;

    EncoderFixture() {
        sidecar.id = "250314-093012";
        sidecar.startedAt = core::SystemClock::now();
    }

    // A segment of stereo noise at `level`, except for quiet stretches [from, to) in seconds.
    void segment(const std::string& name, double seconds, int rate = 48000, int channels = 2,
                 std::vector<std::pair<double, double>> quiet = {}, float level = 0.3f) {
        std::mt19937 random(static_cast<unsigned>(sidecar.segments.size() + 1));
        std::uniform_real_distribution<float> noise(-level, level);
        const auto frames = static_cast<int64_t>(seconds * rate);
        std::vector<float> v(static_cast<size_t>(frames * channels));
        for (int64_t i = 0; i < frames; ++i) {
            const double t = static_cast<double>(i) / rate;
            bool hush = false;
            for (auto [a, b] : quiet) hush |= t >= a && t < b;
            for (int c = 0; c < channels; ++c)
                v[i * channels + c] = hush ? noise(random) * 0.01f : noise(random);
        }
        test::writeAudio(dir / name, rate, channels, v);
        RecordingSegment g;
        g.file = name;
        g.startedAt = sidecar.startedAt;
        g.sampleRate = rate;
        g.reason = sidecar.segments.empty() ? "start" : "resume";
        sidecar.segments.push_back(g);
    }

    double length(const fs::path& part) { return media::probeDuration(part).value_or(-1); }
};

}  // namespace

// Under a 10 s limit the window is the 5 s before it; the quiet second in it decides the cut.
TEST_F(EncoderFixture, CutsAtTheQuietestSecondBeforeTheLimit) {
    segment("segment-001.caf", 12, 48000, 2, {{7, 8}});
    auto parts = RecordingEncoder::encode(dir.path(), sidecar, {10 * 48000});
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].filename(), "250314-093012.m4a");
    EXPECT_EQ(parts[1].filename(), "250314-093012_2.m4a");
    EXPECT_NEAR(length(parts[0]), 7.5, 0.05);
    EXPECT_NEAR(length(parts[1]), 4.5, 0.05);
    EXPECT_TRUE(log.contains("part 1 cut at 7.5 s"));
    EXPECT_TRUE(log.contains("encoded 250314-093012 into 2 part(s), 12 s"));

    // Equally loud seconds (silence): the cut lands in the middle of the window's last second.
    sidecar.segments.clear();
    segment("segment-001.caf", 12, 48000, 2, {}, 0.0f);
    parts = RecordingEncoder::encode(dir.path(), sidecar, {10 * 48000});
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_NEAR(length(parts[0]), 9.5, 0.05);
}

TEST_F(EncoderFixture, MixedRatesBecomeOne48kStereoStreamAndStalePartsGo) {
    segment("segment-001.caf", 2, 44100, 1);
    segment("segment-002.caf", 3, 48000, 2);
    test::writeFile(dir / "250314-093012_3.m4a", "stale");
    auto parts = RecordingEncoder::encode(dir.path(), sidecar);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "250314-093012_3.m4a"));
    EXPECT_NEAR(length(parts[0]), 5.0, 0.05);
    EXPECT_FALSE(log.contains("cut at"));
}

// A damaged middle segment is skipped with a log line; the rest is encoded. A segment that ends
// in garbage is used up to it.
TEST_F(EncoderFixture, DamagedAndMissingSegmentsAreTolerated) {
    segment("segment-001.caf", 2);
    segment("segment-002.caf", 2);
    segment("segment-003.caf", 2);
    auto bytes = test::readFile(dir / "segment-002.caf");
    bytes.replace(0, 4, "RIFX");
    test::writeFile(dir / "segment-002.caf", bytes);
    RecordingSegment missing;
    missing.file = "segment-004.caf";
    sidecar.segments.push_back(missing);
    test::writeFile(dir / "segment-005.caf", "");
    missing.file = "segment-005.caf";
    sidecar.segments.push_back(missing);

    auto parts = RecordingEncoder::encode(dir.path(), sidecar);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_NEAR(length(parts[0]), 4.0, 0.05);
    EXPECT_TRUE(log.contains("cannot open segment-002.caf, skipped"));
    EXPECT_TRUE(log.contains("skipping empty or missing segment-004.caf"));
    EXPECT_TRUE(log.contains("skipping empty or missing segment-005.caf"));
}

TEST_F(EncoderFixture, NothingReadableLeavesNoPart) {
    RecordingSegment g;
    g.file = "segment-001.caf";
    sidecar.segments = {g};
    try {
        RecordingEncoder::encode(dir.path(), sidecar);
        FAIL();
    } catch (const EncodeError& e) {
        EXPECT_EQ(e.kind(), EncodeError::Kind::noAudio);
        EXPECT_STREQ(e.what(), "The recording contains no readable audio.");
    }
    test::writeAudio(dir / "segment-001.caf", 48000, 2, {});
    EXPECT_THROW(RecordingEncoder::encode(dir.path(), sidecar), EncodeError);
    EXPECT_TRUE(log.contains("skipping zero-length segment-001.caf"));
    EXPECT_FALSE(fs::exists(dir / "250314-093012.m4a"));
    sidecar.segments.clear();
    EXPECT_THROW(RecordingEncoder::encode(dir.path(), sidecar), EncodeError);
}
