#include "recorder/echo_canceller.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <vector>

using sayloft::recorder::EchoCanceller;

// Counts every allocation through operator new in this test program.
static std::atomic<long> allocations{0};

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

std::vector<float> noise(size_t count, float rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, rms);
    std::vector<float> v(count);
    for (auto& x : v) x = dist(rng);
    return v;
}

// A microphone that hears the reference through a short, delayed room response.
std::vector<float> echoOf(const std::vector<float>& ref, int delay) {
    std::vector<float> mic(ref.size(), 0.0f);
    const float taps[] = {0.6f, -0.25f, 0.12f, 0.05f};
    for (size_t t = 0; t < ref.size(); ++t)
        for (int k = 0; k < 4; ++k) {
            const long s = static_cast<long>(t) - delay - 7 * k;
            if (s >= 0) mic[t] += taps[k] * ref[static_cast<size_t>(s)];
        }
    return mic;
}

double energyOf(const std::vector<float>& v, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < to; ++i) e += static_cast<double>(v[i]) * v[i];
    return e;
}

// Feeds whole signals in chunks of `chunk` samples.
std::vector<float> run(EchoCanceller& ec, const std::vector<float>& mic,
                       const std::vector<float>& ref, int chunk) {
    std::vector<float> out(mic.size());
    for (size_t at = 0; at < mic.size(); at += static_cast<size_t>(chunk)) {
        const int frames =
            static_cast<int>(std::min<size_t>(static_cast<size_t>(chunk), mic.size() - at));
        ec.process(mic.data() + at, ref.data() + at, out.data() + at, frames);
    }
    return out;
}

}  // namespace

TEST(EchoCancellerSetup, TypicalRatesGiveTheDocumentedValues) {
    struct Case {
        double rate;
        int n, p, adaptedAfter, divergedAfter, bands;
    };
    for (const Case c : {Case{48000, 512, 29, 46, 19, 12}, Case{16000, 128, 38, 62, 25, 10},
                         Case{44100, 512, 26, 43, 17, 12}}) {
        EchoCanceller ec(c.rate);
        const auto& s = ec.setup();
        EXPECT_EQ(s.blockSize, c.n) << c.rate;
        EXPECT_EQ(s.m, 2 * c.n);
        EXPECT_EQ(s.bins, c.n + 1);
        EXPECT_EQ(s.partitions, c.p) << c.rate;
        EXPECT_EQ(s.adaptedAfterBlocks, c.adaptedAfter) << c.rate;
        EXPECT_EQ(s.divergedAfterBlocks, c.divergedAfter) << c.rate;
        EXPECT_EQ(s.bandCount, c.bands) << c.rate;
        ASSERT_EQ(ec.bandFirst().size(), static_cast<size_t>(c.bands + 1));
        EXPECT_EQ(ec.bandFirst().front(), 0);
        EXPECT_EQ(ec.bandFirst().back(), c.n + 1);
        EXPECT_TRUE(ec.hasFft());
    }
    EchoCanceller ec(48000);
    EXPECT_NEAR(ec.setup().residualDecay, 0.5546, 1e-4);
    // Bin 6 of 1024 at 48 kHz lies at 281 Hz (first band), bin 7 at 328 Hz (second band).
    EXPECT_EQ(ec.bandFirst()[1], 7);
}

TEST(EchoCancellerSetup, RatesBelow4kHzOrNotFiniteAreSetUpAs48kHz) {
    for (double rate : {3999.0, 0.0, -16000.0, std::nan(""), double(INFINITY)}) {
        EchoCanceller ec(rate);
        EXPECT_EQ(ec.setup().setupRate, 48000.0);
        EXPECT_EQ(ec.blockSize(), 512);
        EXPECT_EQ(ec.setup().partitions, 29);
        if (std::isfinite(rate)) {
            EXPECT_EQ(ec.sampleRate(), rate);
        }
    }
    EchoCanceller low(4000);
    EXPECT_EQ(low.setup().setupRate, 4000.0);
    EXPECT_EQ(low.blockSize(), 64);  // 40 samples rounds to 32, clamped up to 64
}

TEST(EchoCancellerSignal, SilenceStaysSilent) {
    EchoCanceller ec(16000);
    std::vector<float> zeros(16000, 0.0f);
    auto out = run(ec, zeros, zeros, 160);
    for (float x : out) ASSERT_EQ(x, 0.0f);
    EXPECT_EQ(ec.diagnostics().farEndActiveBlocks, 0);
}

TEST(EchoCancellerSignal, SilentReferencePassesTheMicrophoneWithTwoBlocksLatency) {
    for (double rate : {16000.0, 48000.0}) {
        EchoCanceller ec(rate);
        const size_t lat = static_cast<size_t>(ec.latency());
        auto mic = noise(static_cast<size_t>(rate), 0.1f, 3);
        std::vector<float> ref(mic.size(), 0.0f);
        auto out = run(ec, mic, ref, 441);
        for (size_t i = 0; i < lat; ++i) ASSERT_NEAR(out[i], 0.0f, 1e-5f) << i;
        for (size_t i = lat; i < out.size(); ++i)
            ASSERT_NEAR(out[i], mic[i - lat], 1e-5f) << "rate " << rate << " sample " << i;
        EXPECT_EQ(ec.diagnostics().foregroundUpdates, 0);
    }
}

TEST(EchoCancellerSignal, WithoutATransformItPassesThroughWithTheSameLatency) {
    EchoCanceller ec(16000, EchoCanceller::WithoutFft{});
    EXPECT_FALSE(ec.hasFft());
    auto mic = noise(4000, 0.1f, 5);
    auto ref = noise(4000, 0.1f, 6);
    auto out = run(ec, mic, ref, 100);
    const size_t lat = static_cast<size_t>(ec.latency());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], i < lat ? 0.0f : mic[i - lat]);
}

TEST(EchoCancellerSignal, EchoOfTheReferenceIsRemovedAndAdaptationIsDeclaredLate) {
    EchoCanceller ec(16000);
    const int n = ec.blockSize();
    const size_t total = 16000 * 6;
    auto ref = noise(total, 0.1f, 11);
    auto mic = echoOf(ref, 37);
    std::vector<float> out(total);
    std::vector<float> erleAt;  // erleDB once per second
    bool sawAdapted = false;
    for (size_t at = 0; at < total; at += static_cast<size_t>(n)) {
        ec.process(mic.data() + at, ref.data() + at, out.data() + at, n);
        const auto& d = ec.diagnostics();
        if (d.adapted && !sawAdapted) {
            sawAdapted = true;
            EXPECT_GE(d.foregroundUpdates, 1);
            EXPECT_GE(d.farEndActiveBlocks, ec.setup().adaptedAfterBlocks);
        }
        if ((at + static_cast<size_t>(n)) % 16000 < static_cast<size_t>(n))
            erleAt.push_back(d.erleDB);
    }
    EXPECT_TRUE(sawAdapted);
    ASSERT_GE(erleAt.size(), 5u);
    EXPECT_GT(erleAt[4], erleAt[0]);
    EXPECT_GT(ec.diagnostics().erleDB, 15.0f);
    // Measured independently of the canceller's own statistics, over the last second.
    const size_t lat = static_cast<size_t>(ec.latency());
    const double micE = energyOf(mic, total - 16000 - lat, total - lat);
    const double outE = energyOf(out, total - 16000, total);
    EXPECT_GT(10 * std::log10(micE / outE), 15.0);
}

TEST(EchoCancellerSignal, NearEndSpeechSurvivesWhileTheEchoIsRemoved) {
    EchoCanceller ec(16000);
    const size_t total = 16000 * 6;
    auto ref = noise(total, 0.1f, 21);
    auto mic = echoOf(ref, 50);
    auto near = noise(total, 0.03f, 22);
    for (size_t i = 4 * 16000; i < total; ++i) mic[i] += near[i];  // double talk from 4 s on
    auto out = run(ec, mic, ref, 160);
    const size_t lat = static_cast<size_t>(ec.latency());
    double errE = 0, nearE = 0;
    for (size_t i = 5 * 16000; i < total; ++i) {
        const double d = out[i] - near[i - lat];
        errE += d * d;
        nearE += static_cast<double>(near[i - lat]) * near[i - lat];
    }
    EXPECT_GT(10 * std::log10(nearE / errE), 6.0);  // the microphone itself is at -8 dB
}

TEST(EchoCancellerSignal, ANonFiniteSampleCausesOneRecoveryAndFiniteOutputAfterwards) {
    for (bool inReference : {false, true}) {
        EchoCanceller ec(16000);
        const size_t total = 16000 * 3;
        auto ref = noise(total, 0.1f, 31);
        auto mic = echoOf(ref, 20);
        (inReference ? ref : mic)[16000 + 5] = std::nanf("");
        auto out = run(ec, mic, ref, 256);
        const auto& d = ec.diagnostics();
        EXPECT_EQ(d.divergenceResets, 1) << inReference;
        const size_t nanBlockEnd = (16000 / 128 + 1) * 128;
        for (size_t i = nanBlockEnd + static_cast<size_t>(ec.latency()); i < total; ++i)
            ASSERT_TRUE(std::isfinite(out[i])) << i;
        // Having started afresh it learns again.
        EXPECT_GT(d.erleDB, 10.0f);
        EXPECT_GE(d.farEndActiveBlocks, static_cast<int64_t>(total / 128 - 2));
    }
}

TEST(EchoCancellerSignal, ChunkSizeDoesNotChangeTheOutput) {
    for (double rate : {16000.0, 48000.0}) {
        const size_t total = static_cast<size_t>(rate * 1.2);
        auto ref = noise(total, 0.1f, 41);
        auto mic = echoOf(ref, 90);
        auto near = noise(total, 0.02f, 42);
        for (size_t i = total * 2 / 3; i < total; ++i) mic[i] += near[i];
        EchoCanceller whole(rate);
        auto expected = run(whole, mic, ref, whole.blockSize());
        ASSERT_GT(whole.diagnostics().foregroundUpdates, 0);  // the adaptive paths did run
        for (int chunk : {1, 7, 100, whole.blockSize() + 3, 3 * whole.blockSize() - 1}) {
            EchoCanceller ec(rate);
            auto out = run(ec, mic, ref, chunk);
            ASSERT_EQ(std::memcmp(out.data(), expected.data(), sizeof(float) * total), 0)
                << "rate " << rate << " chunk " << chunk;
            EXPECT_EQ(ec.diagnostics().erleDB, whole.diagnostics().erleDB);
        }
    }
}

TEST(EchoCancellerSignal, AfterAnEchoPathChangeItNeverAddsEnergyAndLearnsTheNewPath) {
    EchoCanceller ec(16000);
    const size_t total = 16000 * 7, change = 16000 * 3;
    auto ref = noise(total, 0.1f, 61);
    auto before = echoOf(ref, 30);
    auto after = echoOf(ref, 75);
    std::vector<float> mic(total);
    for (size_t i = 0; i < total; ++i) mic[i] = i < change ? before[i] : -1.5f * after[i];
    std::vector<float> out(total);
    ec.process(mic.data(), ref.data(), out.data(), static_cast<int>(change));
    const auto takeOversBefore = ec.diagnostics().foregroundUpdates;
    ec.process(mic.data() + change, ref.data() + change, out.data() + change,
               static_cast<int>(total - change));
    const size_t lat = static_cast<size_t>(ec.latency()), win = 1600;
    for (size_t at = lat; at + win <= total; at += win) {
        const double gain =
            10 * std::log10(energyOf(out, at, at + win) / energyOf(mic, at - lat, at + win - lat));
        ASSERT_LT(gain, 0.5) << "window at " << at;
    }
    const double micE = energyOf(mic, total - 16000 - lat, total - lat);
    const double outE = energyOf(out, total - 16000, total);
    EXPECT_GT(10 * std::log10(micE / outE), 15.0);
    // The new path reaches the output only through the background filter taking over.
    EXPECT_GT(ec.diagnostics().foregroundUpdates, takeOversBefore);
}

TEST(EchoCancellerSignal, ProcessingAndResettingAllocateNothing) {
    EchoCanceller ec(16000);
    const size_t total = 16000 * 2;
    auto ref = noise(total, 0.1f, 71);
    auto mic = echoOf(ref, 12);
    mic[total / 2] = std::nanf("");  // the recovery path too
    std::vector<float> out(total);
    const long before = allocations.load();
    for (size_t at = 0; at < total; at += 100)
        ec.process(mic.data() + at, ref.data() + at, out.data() + at, 100);
    ec.resetState();
    EXPECT_EQ(allocations.load(), before);
    EXPECT_EQ(ec.diagnostics().divergenceResets, 0);  // forgotten by the reset
}

TEST(EchoCancellerSignal, ResetForgetsEverything) {
    EchoCanceller ec(16000);
    auto ref = noise(32000, 0.1f, 51);
    auto mic = echoOf(ref, 10);
    run(ec, mic, ref, 128);
    ASSERT_GT(ec.diagnostics().foregroundUpdates, 0);
    ec.resetState();
    const auto& d = ec.diagnostics();
    EXPECT_EQ(d.farEndActiveBlocks, 0);
    EXPECT_EQ(d.foregroundUpdates, 0);
    EXPECT_EQ(d.leakage, 1.0f);
    EXPECT_FALSE(d.adapted);
    // No filter survives: with a silent reference the microphone comes through untouched.
    auto mic2 = noise(8000, 0.1f, 52);
    std::vector<float> silent(mic2.size(), 0.0f);
    auto out = run(ec, mic2, silent, 128);
    const size_t lat = static_cast<size_t>(ec.latency());
    for (size_t i = lat; i < out.size(); ++i) ASSERT_NEAR(out[i], mic2[i - lat], 1e-5f);
}
