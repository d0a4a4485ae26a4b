// The capture graph against a real, private PulseAudio: known signals in, the recording out.

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "core/clock.hpp"
#include "private_pulse_server.hpp"
#include "recorder/audio_process_catalog.hpp"
#include "recorder/hal/pulse_audio_hardware.hpp"
#include "recorder/recording_engine.hpp"
#include "test_support.hpp"

namespace sayloft::recorder {
namespace {

using namespace std::chrono_literals;

std::vector<float> noise(int64_t frames, uint32_t seed) {
    std::vector<float> out(static_cast<size_t>(frames));
    for (auto& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.6f;
    }
    out[0] = 0.3f;  // a clear onset
    return out;
}

std::vector<float> stereoOf(const std::vector<float>& mono) {
    std::vector<float> out;
    for (float v : mono) out.insert(out.end(), {v, v});
    return out;
}

double correlationAt(const std::vector<float>& rec, int channel, const std::vector<float>& sig,
                     int64_t lag) {
    const auto frames = static_cast<int64_t>(rec.size() / 2);
    double xy = 0, xx = 0, yy = 0;
    for (int64_t i = 0; i < static_cast<int64_t>(sig.size()); ++i) {
        const int64_t j = i + lag;
        const double x = j >= 0 && j < frames ? rec[static_cast<size_t>(2 * j + channel)] : 0.0;
        xy += x * sig[static_cast<size_t>(i)];
        xx += x * x;
        yy += static_cast<double>(sig[static_cast<size_t>(i)]) * sig[static_cast<size_t>(i)];
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
}

// Where `sig` lies in `channel` and how well it matches there. The first loud frame gives a
// first guess (a server may swallow the first few milliseconds of a new stream); an excerpt
// from the middle fixes the lag, and the whole signal is compared at that lag.
std::pair<int64_t, double> locate(const std::vector<float>& rec, int channel,
                                  const std::vector<float>& sig) {
    const auto frames = static_cast<int64_t>(rec.size() / 2);
    int64_t onset = 0;
    while (onset < frames && std::fabs(rec[static_cast<size_t>(2 * onset + channel)]) < 0.01f)
        ++onset;
    const std::vector<float> excerpt(sig.begin() + 8192, sig.begin() + 8192 + 4096);
    std::pair<int64_t, double> best{onset, -1};
    for (int64_t lag = onset - 2048; lag <= onset + 2048; ++lag) {
        const double c = correlationAt(rec, channel, excerpt, lag + 8192);
        if (c > best.second) best = {lag, c};
    }
    return {best.first, correlationAt(rec, channel, sig, best.first)};
}

// Moves a manual clock along with real time, so the engine's timers and its gap filling see the
// time the audio takes; tests add jumps of their own for the engine's delays.
class RealTime {
  public:
    explicit RealTime(core::ManualClock& clock)
        : thread_([&clock](std::stop_token stop) {
              auto last = std::chrono::steady_clock::now();
              while (!stop.stop_requested()) {
                  std::this_thread::sleep_for(5ms);
                  const auto now = std::chrono::steady_clock::now();
                  clock.advance(now - last);
                  last = now;
              }
          }) {}

  private:
    std::jthread thread_;
};

class PulseCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new test::PrivatePulseServer({.sinks = {"speakers", "headset"}});
        if (server->start()) server->useInThisProcess();
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override {
        if (!server->running() && !server->start())
            GTEST_SKIP() << "no private PulseAudio here: " << server->whyNot();
        server->pactl({"set-default-sink", "speakers"});
    }

    std::unique_ptr<RecordingEngine> makeEngine(RecordingOptions options) {
        auto engine =
            std::make_unique<RecordingEngine>(options, hal::makePulseAudioHardware(), clock);
        engine->onFormatChange = [this](double, std::optional<std::string>) { ++formatChanges; };
        engine->onError = [this](const std::string& m) {
            std::lock_guard lock(mutex);
            errors.push_back(m);
        };
        return engine;
    }

    std::vector<float> drain(RecordingEngine& engine) {
        const int64_t frames = engine.ring().availableFrames();  // more may come meanwhile
        std::vector<float> out(static_cast<size_t>(frames) * 2);
        engine.ring().read(out.data(), frames);
        return out;
    }

    // Waits for the players, then for another 0.3 s of audio to reach the ring.
    void finish(RecordingEngine& engine, std::vector<pid_t> players) {
        for (pid_t p : players) EXPECT_EQ(test::waitExit(p), 0);
        const int64_t at = engine.framesCaptured();
        EXPECT_TRUE(test::eventually([&] { return engine.framesCaptured() > at + 14400; }, 20));
    }

    // Advances product time by `step` until `done`, at most `limit` times.
    template <class F>
    bool advanceUntil(F done, core::Duration step, int limit) {
        for (int i = 0; i < limit && !done(); ++i) {
            clock.advance(step);
            std::this_thread::sleep_for(50ms);
        }
        return done();
    }

    size_t recordStreams() const {
        auto r = server->pactl({"list", "short", "source-outputs"});
        size_t n = 0;
        for (char c : r.out) n += c == '\n';
        return n;
    }

    static test::PrivatePulseServer* server;
    test::TempDir dir;
    core::ManualClock clock;
    RealTime realTime{clock};
    std::atomic<int> formatChanges{0};
    std::mutex mutex;
    std::vector<std::string> errors;
    test::LogCollector logs;
};

test::PrivatePulseServer* PulseCaptureTest::server = nullptr;

TEST_F(PulseCaptureTest, AllAudioAndMicrophoneArriveAlignedInTheirChannels) {
    const auto mic = noise(96000, 1), system = noise(96000, 2);
    test::writeWav(dir / "mic.wav", mic, 1);
    test::writeWav(dir / "system.wav", stereoOf(system), 2);
    auto engine = makeEngine({});
    const size_t others = recordStreams();  // the virtual microphone's own
    engine->start();
    EXPECT_EQ(engine->microphoneName(), "Microphone");
    EXPECT_EQ(recordStreams(), others + 2);
    ASSERT_TRUE(test::eventually([&] { return engine->callbackCount() > 50; }, 10));
    finish(*engine, {server->speak(dir / "mic.wav"), server->play(dir / "system.wav", "speakers")});
    engine->stop();
    EXPECT_EQ(recordStreams(), others);  // nothing left open
    const auto rec = drain(*engine);

    const auto [micLag, micCorr] = locate(rec, 0, mic);
    const auto [sysLag, sysCorr] = locate(rec, 1, system);
    EXPECT_GE(micCorr, 0.99);
    EXPECT_GE(sysCorr, 0.99);
    EXPECT_LT(std::fabs(correlationAt(rec, 1, mic, micLag)), 0.05);  // no mic on the right
    EXPECT_LT(std::fabs(correlationAt(rec, 0, system, sysLag)), 0.05);
}

TEST_F(PulseCaptureTest, OneAppIsRecordedWhileAnotherIsNot) {
    auto tuner = std::vector<float>(96000, 0.0f);  // 2 s of silence, then the signal
    const auto signal = noise(72000, 3), other = noise(72000 + 96000, 4);
    tuner.insert(tuner.end(), signal.begin(), signal.end());
    test::writeWav(dir / "tuner.wav", stereoOf(tuner), 2);
    test::writeWav(dir / "radio.wav", stereoOf(other), 2);
    const pid_t tunerPid = server->play(dir / "tuner.wav", "speakers",
                                        {{"PULSE_PROP", "application.process.binary=tuner"}});
    const pid_t radioPid = server->play(dir / "radio.wav", "speakers",
                                        {{"PULSE_PROP", "application.process.binary=radio"}});
    AudioProcessCatalog catalog(hal::makePulseAudioHardware());
    ASSERT_TRUE(test::eventually([&] { return catalog.audioApps().size() == 2; }, 10));
    const auto mics = catalog.inputDevices();
    ASSERT_EQ(mics.size(), 1u);  // monitors are never offered
    EXPECT_EQ(mics[0], (AudioInputDevice{"mic", "Microphone", true}));

    auto engine = makeEngine(
        {.source = {RecordingSource::App{"tuner", "Tuner"}}, .includeMicrophone = false});
    engine->start();
    finish(*engine, {tunerPid, radioPid});
    engine->stop();
    const auto rec = drain(*engine);

    const auto [lag, corr] = locate(rec, 0, signal);
    EXPECT_GE(corr, 0.99);
    EXPECT_GE(correlationAt(rec, 1, signal, lag), 0.99);
    // Whatever is not the tuner's signal is the other app leaking in.
    double residual = 0, otherEnergy = 0;
    for (size_t i = 0; i < rec.size() / 2; ++i) {
        const auto k = static_cast<int64_t>(i) - lag;
        const float expected =
            k >= 0 && k < static_cast<int64_t>(signal.size()) ? signal[static_cast<size_t>(k)] : 0;
        residual += std::pow(rec[2 * i] - expected, 2);
    }
    for (float v : other) otherEnergy += static_cast<double>(v) * v;
    EXPECT_LE(10 * std::log10(residual / otherEnergy + 1e-30), -60);
}

TEST_F(PulseCaptureTest, DefaultOutputChangeRebuildsAndTheMicrophoneStaysOnTheLeft) {
    const auto mic = noise(96000, 5), system = noise(96000, 6);
    test::writeWav(dir / "mic.wav", mic, 1);
    test::writeWav(dir / "system.wav", stereoOf(system), 2);
    auto engine = makeEngine({});
    engine->start();
    server->pactl({"set-default-sink", "headset"});
    ASSERT_TRUE(advanceUntil([&] { return formatChanges > 0; }, 100ms, 100));
    EXPECT_TRUE(logs.contains("the default output device changed"));
    const int64_t calls = engine->callbackCount();  // let the new streams settle
    ASSERT_TRUE(test::eventually([&] { return engine->callbackCount() > calls + 100; }, 10));
    drain(*engine);
    finish(*engine, {server->speak(dir / "mic.wav"), server->play(dir / "system.wav", "headset")});
    engine->stop();
    const auto rec = drain(*engine);
    const auto [micLag, micCorr] = locate(rec, 0, mic);
    EXPECT_GE(micCorr, 0.99);
    EXPECT_GE(locate(rec, 1, system).second, 0.99);
    EXPECT_LT(std::fabs(correlationAt(rec, 1, mic, micLag)), 0.05);
}

TEST_F(PulseCaptureTest, KilledServerIsReconnectedAndTheRecordingGoesOn) {
    const auto mic = noise(48000, 7);
    test::writeWav(dir / "mic.wav", mic, 1);
    auto engine = makeEngine({});
    engine->start();
    for (int round = 1; round <= 3; ++round) {  // SIGKILL, as a crash, several times
        const int64_t before = engine->callbackCount();
        ASSERT_TRUE(test::eventually([&] { return engine->callbackCount() > before + 10; }, 10));
        server->kill();
        ASSERT_TRUE(test::eventually(
            [&] { return logs.count("the sound server went away") == static_cast<size_t>(round); },
            10));
        advanceUntil([] { return false; }, 1s, 2);  // two failed attempts while it is down
        ASSERT_TRUE(server->start());
        ASSERT_TRUE(advanceUntil([&] { return formatChanges == round; }, 1s, 8));
    }
    EXPECT_EQ(logs.count("reconnected to the sound server"), 3u);
    const int64_t calls = engine->callbackCount();  // let the new streams settle
    ASSERT_TRUE(test::eventually([&] { return engine->callbackCount() > calls + 100; }, 10));
    drain(*engine);
    finish(*engine, {server->speak(dir / "mic.wav")});
    const auto rec = drain(*engine);
    EXPECT_GE(locate(rec, 0, mic).second, 0.99);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace sayloft::recorder
