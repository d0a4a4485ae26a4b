#include "recorder/recording_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "core/clock.hpp"
#include "recorder/audio_process_catalog.hpp"
#include "recorder/hal/simulated_audio_hardware.hpp"
#include "recorder/stream_mixer.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

namespace sayloft::recorder {
namespace {

using hal::Port;
using hal::PortType;
using hal::SimulatedAudioHardware;
using namespace std::chrono_literals;

constexpr int64_t kStep = 480;  // 10 ms at 48 kHz

hal::SinkInfo sink(const std::string& name, std::map<std::string, std::string> props = {},
                   std::optional<Port> port = std::nullopt) {
    hal::SinkInfo s;
    s.name = name;
    s.description = name;
    s.properties = std::move(props);
    s.activePort = std::move(port);
    return s;
}

hal::SourceInfo microphone(const std::string& name) {
    hal::SourceInfo s;
    s.name = name;
    s.description = "Mic " + name;
    return s;
}

// A simulated computer with built-in speakers, a microphone and one app playing; the clock moves
// only with the audio the test feeds.
class EngineTest : public ::testing::Test {
  protected:
    EngineTest() : hw(std::make_shared<SimulatedAudioHardware>()) {
        hw->addSink(sink("speakers", {{"device.bus", "pci"}},
                         Port{"analog-output-speaker", "Speakers", PortType::speaker}));
        hw->addSource(microphone("mic"));
        player = hw->addSinkInput("speakers", "player", 4242, "Player");
    }

    std::unique_ptr<RecordingEngine> makeEngine(RecordingOptions options = {}) {
        auto e = std::make_unique<RecordingEngine>(options, hw, clock);
        e->onFormatChange = [this](double, std::optional<std::string> mic) {
            std::lock_guard lock(mutex);
            formatChanges.push_back(mic.value_or("off"));
        };
        e->onError = [this](const std::string& m) {
            std::lock_guard lock(mutex);
            errors.push_back(m);
        };
        e->onOutputKindChange = [this](AudioOutputKind k) {
            std::lock_guard lock(mutex);
            kinds.push_back(k);
        };
        return e;
    }

    // Feeds `seconds` of audio in 10 ms steps: the microphone hears micSample, every playing
    // input plays its own signal (the player systemSample, others its negation), and the clock
    // moves along.
    void pump(RecordingEngine& engine, double seconds, std::vector<uint32_t> inputs = {}) {
        if (inputs.empty()) inputs = {player};
        std::vector<float> mono(kStep), stereo(kStep * 2);
        for (int64_t step = 0; step < std::llround(seconds * 100); ++step) {
            for (int64_t i = 0; i < kStep; ++i) mono[i] = test::micSample(t + i);
            hw->speak("mic", mono.data(), kStep);
            for (uint32_t input : inputs) {
                const float sign = input == player ? 1.0f : -1.0f;
                for (int64_t i = 0; i < kStep; ++i) {
                    stereo[2 * i] = sign * test::systemSample(t + i);
                    stereo[2 * i + 1] = sign * test::systemSample(t + i + 1000);
                }
                hw->play(input, stereo.data(), kStep);
            }
            t += kStep;
            clock.advance(10ms);
        }
        engine.flush();
    }

    // Advances product time without audio (for debounces and retries).
    void wait(RecordingEngine& engine, double seconds) {
        for (int i = 0; i < std::llround(seconds * 10); ++i) {
            clock.advance(100ms);
            engine.flush();
        }
    }

    std::vector<float> drain(RecordingEngine& engine) {
        const int64_t frames = engine.ring().availableFrames();  // more may come meanwhile
        std::vector<float> out(static_cast<size_t>(frames) * 2);
        engine.ring().read(out.data(), frames);
        return out;
    }

    std::vector<hal::RecordSetup> streams() {
        std::vector<hal::RecordSetup> out;
        for (auto& s : hw->openStreams()) out.push_back(s.setup);
        return out;
    }

    size_t count(const std::vector<std::string>& v) {
        std::lock_guard lock(mutex);
        return v.size();
    }

    std::shared_ptr<SimulatedAudioHardware> hw;
    core::ManualClock clock;
    uint32_t player;
    int64_t t = 0;
    std::mutex mutex;
    std::vector<std::string> formatChanges, errors;
    std::vector<AudioOutputKind> kinds;
    test::LogCollector logs;
};

// The offset at which `channel` of `frames` carries `expected`, searched in the second half.
std::optional<int64_t> delayOf(const std::vector<float>& frames, int channel,
                               const std::function<float(int64_t)>& expected) {
    const int64_t n = static_cast<int64_t>(frames.size() / 2);
    const int64_t probe = n / 2;
    for (int64_t d = 0; d < 5000; ++d) {
        bool all = true;
        for (int64_t i = probe; i < n && all; ++i)
            all = std::fabs(frames[2 * i + channel] - expected(i - d)) < 1e-6f;
        if (all) return d;
    }
    return std::nullopt;
}

TEST_F(EngineTest, MicrophoneLeftSystemMonoRightThenStereoWithoutMicrophone) {
    auto engine = makeEngine();
    EXPECT_TRUE(streams().empty());  // nothing open while idle
    engine->start();
    EXPECT_EQ(engine->microphoneName(), "Mic mic");
    EXPECT_TRUE(engine->recordsMicrophone());
    EXPECT_EQ(engine->outputKind(), AudioOutputKind::builtInSpeakers);
    pump(*engine, 2);
    auto out = drain(*engine);
    ASSERT_GT(out.size(), 2u * 48000);
    // The microphone is the clock: every frame in order, from the first.
    EXPECT_EQ(delayOf(out, 0, test::micSample), 0);
    auto systemMono = [](int64_t i) {
        return (test::systemSample(i) + test::systemSample(i + 1000)) * 0.5f;
    };
    auto d = delayOf(out, 1, systemMono);
    ASSERT_TRUE(d.has_value());
    EXPECT_LE(*d, 2400);  // the FIFO's ~30 ms and one delivery
    engine->stop();
    EXPECT_TRUE(streams().empty());
    EXPECT_THROW(engine->start(), EngineError);

    auto stereo = makeEngine({.includeMicrophone = false});
    stereo->start();
    t = 0;
    EXPECT_FALSE(stereo->recordsMicrophone());
    ASSERT_EQ(streams().size(), 1u);
    EXPECT_EQ(streams()[0].sourceName, "speakers.monitor");
    pump(*stereo, 1);
    out = drain(*stereo);
    EXPECT_TRUE(delayOf(out, 0, test::systemSample).has_value());
    EXPECT_TRUE(delayOf(out, 1, [](int64_t i) { return test::systemSample(i + 1000); }));
}

TEST_F(EngineTest, MicrophoneChoiceNeverTakesAMonitor) {
    hw->addSource(microphone("usb-mic"));
    auto chosen = makeEngine({.microphoneUID = "usb-mic"});
    chosen->start();
    EXPECT_EQ(chosen->microphoneName(), "Mic usb-mic");
    chosen->stop();

    auto gone = makeEngine({.microphoneUID = "unplugged"});
    gone->start();
    EXPECT_EQ(gone->microphoneName(), "Mic mic");
    EXPECT_TRUE(logs.contains("chosen microphone unplugged is not connected"));
    gone->stop();

    // The default input is a monitor once the last microphones are gone: system audio only,
    // in stereo, and no stream on any monitor stands in for a microphone.
    hw->removeSource("usb-mic");
    hw->removeSource("mic");
    auto none = makeEngine();
    none->start();
    EXPECT_FALSE(none->microphoneName());
    EXPECT_FALSE(none->options().includeMicrophone);
    for (auto& s : streams()) EXPECT_EQ(s.channels, 2);
    EXPECT_TRUE(logs.contains("recording system audio only"));
}

TEST_F(EngineTest, OneAppIsRecordedAloneAndMustBePlayingToStart) {
    RecordingSource app{RecordingSource::App{"player", "Player"}};
    auto silent = makeEngine({.source = {RecordingSource::App{"radio", "Radio"}}});
    try {
        silent->start();
        FAIL() << "started without the app playing";
    } catch (const EngineError& e) {
        EXPECT_STREQ(e.what(),
                     "Radio is not using audio right now. Start Radio first, or record All audio.");
    }
    EXPECT_TRUE(streams().empty());

    const uint32_t other = hw->addSinkInput("speakers", "radio", 5151, "Radio");
    auto engine = makeEngine({.source = app, .includeMicrophone = false});
    engine->start();
    ASSERT_EQ(streams().size(), 1u);
    EXPECT_EQ(streams()[0].monitorSinkInput, player);
    pump(*engine, 1, {player, other});
    auto out = drain(*engine);
    EXPECT_TRUE(delayOf(out, 0, test::systemSample).has_value());  // the radio is not in it

    // A second stream of the app joins the recording after the debounce.
    const uint32_t second = hw->addSinkInput("speakers", "player", 4242);
    engine->flush();
    wait(*engine, 0.6);
    EXPECT_EQ(streams().size(), 2u);
    EXPECT_EQ(count(formatChanges), 1u);
    (void)second;
}

TEST_F(EngineTest, DefaultOutputChangeRebuildsOnceAfterTheDebounce) {
    hw->addSink(sink("headset", {{"device.bus", "usb"}},
                     Port{"analog-output-headphones", "Headphones", PortType::headphones}));
    auto engine = makeEngine();
    engine->start();
    pump(*engine, 0.5);
    hw->setDefaultSink("headset");
    hw->setDefaultSink("speakers");
    hw->setDefaultSink("headset");
    engine->flush();
    pump(*engine, 0.5);  // the debounce has not run out yet: nothing rebuilt
    EXPECT_EQ(count(formatChanges), 0u);
    pump(*engine, 0.3);
    EXPECT_EQ(count(formatChanges), 1u);
    EXPECT_TRUE(logs.contains("the default output device changed"));
    EXPECT_EQ(engine->outputKind(), AudioOutputKind::headphones);
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(kinds.size(), 1u);
        EXPECT_EQ(kinds[0], AudioOutputKind::headphones);
    }
    // The system side follows the new output and never the microphone.
    bool onHeadset = false;
    for (auto& s : streams()) {
        if (s.channels == 2) {
            EXPECT_NE(s.sourceName, "mic");
        }
        onHeadset |= s.sourceName == "headset.monitor";
    }
    EXPECT_TRUE(onHeadset);
}

TEST_F(EngineTest, RemovedOutputRetriesAfterOneTwoThreeSecondsThenFails) {
    hw->addSink(sink("hdmi"));
    auto engine = makeEngine();
    engine->start();
    hw->failNextOpens(100);
    hw->removeSink("speakers");  // the stream fails: a rebuild at once, then the debounced check
    engine->flush();
    EXPECT_EQ(logs.count("rebuild failed (1 of 4)"), 1u);
    wait(*engine, 0.8);
    EXPECT_TRUE(logs.contains("rebuild failed (2 of 4)"));
    wait(*engine, 1.8);
    EXPECT_FALSE(logs.contains("rebuild failed (3 of 4)"));
    wait(*engine, 0.3);  // 2 s after the second failure
    EXPECT_TRUE(logs.contains("rebuild failed (3 of 4)"));
    wait(*engine, 2.7);
    EXPECT_EQ(count(errors), 0u);
    wait(*engine, 0.3);  // 3 s after the third
    ASSERT_EQ(count(errors), 1u);
    EXPECT_EQ(
        errors[0].rfind("The audio devices changed and the recorder could not reconnect (", 0), 0u);
    EXPECT_TRUE(streams().empty());
    engine->stop();

    // A rebuild that works on its second try resets the count.
    hw->addSink(sink("speakers2"));
    hw->failNextOpens(0);
    auto next = makeEngine();
    next->start();
    hw->failNextOpens(1);
    hw->setDefaultSink("speakers2");
    next->flush();
    wait(*next, 0.8);
    EXPECT_EQ(logs.count("rebuild failed (1 of 4)"), 2u);
    wait(*next, 1.1);
    EXPECT_EQ(count(formatChanges), 1u);
    EXPECT_EQ(streams().size(), 2u);
}

TEST_F(EngineTest, DeadServerIsReconnectedEverySecondWithinBounds) {
    auto engine = makeEngine();
    engine->start();
    pump(*engine, 0.5);
    const int64_t before = engine->framesCaptured();
    hw->killServer();
    engine->flush();
    engine->flush();
    EXPECT_TRUE(streams().empty());
    const int attempts = hw->connectAttempts();
    wait(*engine, 3.0);
    EXPECT_EQ(hw->connectAttempts(), attempts + 3);
    hw->restartServer();
    wait(*engine, 1.0);
    EXPECT_EQ(count(formatChanges), 1u);
    EXPECT_TRUE(logs.contains("reconnected to the sound server"));
    pump(*engine, 0.5);
    EXPECT_GT(engine->framesCaptured(), before + 20000);

    hw->killServer();
    wait(*engine, 12);
    EXPECT_EQ(hw->connectAttempts(), attempts + 4 + 10);
    ASSERT_EQ(count(errors), 1u);
    EXPECT_NE(errors[0].find("could not reconnect"), std::string::npos);
}

TEST_F(EngineTest, WakeCheckRebuildsOnlyWhenAudioStopped) {
    auto engine = makeEngine();
    engine->start();
    engine->verifyIOAfterWake();
    pump(*engine, 3);
    EXPECT_TRUE(logs.contains("audio IO resumed after sleep"));
    engine->verifyIOAfterWake();
    wait(*engine, 2.6);
    EXPECT_TRUE(logs.contains("rebuilding the audio graph: the audio IO did not resume"));
    EXPECT_EQ(count(formatChanges), 1u);
}

TEST_F(EngineTest, GapsBecomeSilenceAndPauseKeepsTheRingEmpty) {
    RecordingSource app{RecordingSource::App{"player", "Player"}};
    auto engine = makeEngine({.source = app, .includeMicrophone = false});
    engine->start();
    pump(*engine, 1);
    wait(*engine, 1.5);  // the app sends nothing, as a paused app does on some servers
    pump(*engine, 1);
    const double seconds = static_cast<double>(engine->framesCaptured()) / 48000;
    EXPECT_NEAR(seconds, 3.5, 0.3);

    engine->setPaused(true);
    drain(*engine);
    pump(*engine, 0.5);
    EXPECT_EQ(engine->ring().availableFrames(), 0);
}

TEST_F(EngineTest, OwnPlaybackIsLeftOutOfAllAudio) {
    const uint32_t ours = hw->addSinkInput("speakers", "sayloft", hw->ownProcessId());
    hw->addSinkInput("speakers", "sayloft-tray", 777);  // a chime of the tray
    auto engine = makeEngine({.includeMicrophone = false});
    engine->start();
    ASSERT_EQ(streams().size(), 1u);
    EXPECT_EQ(streams()[0].monitorSinkInput, player);
    EXPECT_TRUE(AudioProcessCatalog(hw).processObjectIDs("sayloft").empty());
    (void)ours;
}

TEST_F(EngineTest, LevelsTenTimesASecond) {
    std::atomic<int> ticks{0};
    std::atomic<float> micPeak{0};
    auto engine = makeEngine();
    engine->onLevels = [&](const RecordingLevels& l) {
        ++ticks;
        micPeak = std::max(micPeak.load(), l.micPeak);
    };
    engine->start();
    pump(*engine, 1);
    EXPECT_EQ(ticks.load(), 10);
    EXPECT_NEAR(micPeak.load(), 0.4f, 0.01f);
}

TEST_F(EngineTest, ReconfigureAndPortChanges) {
    auto engine = makeEngine();
    engine->start();
    engine->reconfigure({});  // the same options: nothing happens
    EXPECT_EQ(count(formatChanges), 0u);
    engine->reconfigure({.includeMicrophone = false});
    EXPECT_TRUE(logs.contains("rebuilding the audio graph: the microphone was turned off"));
    EXPECT_FALSE(engine->recordsMicrophone());
    engine->reconfigure(
        {.source = {RecordingSource::App{"player", "Player"}}, .includeMicrophone = false});
    EXPECT_TRUE(logs.contains("rebuilding the audio graph: the source changed to Player"));
    ASSERT_EQ(streams().size(), 1u);
    EXPECT_EQ(streams()[0].monitorSinkInput, player);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(formatChanges, (std::vector<std::string>{"off", "off"}));
    }

    // Plugging headphones into the same output changes its port: a new kind, no rebuild.
    hw->setActivePort("speakers", Port{"analog-output-headphones", "", PortType::headphones});
    engine->flush();
    EXPECT_EQ(engine->outputKind(), AudioOutputKind::headphones);
    std::lock_guard lock(mutex);
    EXPECT_EQ(kinds, std::vector<AudioOutputKind>{AudioOutputKind::headphones});
    EXPECT_EQ(formatChanges.size(), 2u);
}

TEST_F(EngineTest, MicrophoneGoneAndBackRebuildsWithoutEverTakingAMonitor) {
    auto engine = makeEngine();
    engine->start();
    hw->removeSource("mic");
    engine->flush();
    wait(*engine, 0.8);
    EXPECT_TRUE(logs.contains("the microphone went away"));
    EXPECT_FALSE(engine->microphoneName());
    for (auto& s : streams()) EXPECT_EQ(s.channels, 2);  // the default is a monitor now

    hw->addSource(microphone("headset-mic"));
    hw->setDefaultSource("headset-mic");
    engine->flush();
    wait(*engine, 0.8);
    EXPECT_TRUE(logs.contains("the microphone to use changed"));
    EXPECT_EQ(engine->microphoneName(), "Mic headset-mic");
    std::lock_guard lock(mutex);
    EXPECT_EQ(formatChanges, (std::vector<std::string>{"off", "Mic headset-mic"}));
}

TEST(OutputKind, FromPortsAndDeviceProperties) {
    using K = AudioOutputKind;
    struct Case {
        hal::SinkInfo sink;
        K kind;
    };
    const std::vector<Case> cases = {
        {sink("null"), K::unknown},
        {sink("a", {{"device.bus", "pci"}}, Port{"analog-output-speaker", "", PortType::speaker}),
         K::builtInSpeakers},
        {sink("a", {{"device.bus", "pci"}},
              Port{"analog-output-headphones", "", PortType::headphones}),
         K::headphones},
        {sink("a", {}, Port{"hdmi-output-0", "", PortType::hdmi}), K::externalSpeakers},
        {sink("JBL Speaker", {{"device.bus", "bluetooth"}}), K::externalSpeakers},
        {sink("Galaxy Buds", {{"device.api", "bluez"}}), K::headphones},
        {sink("Speaker with headset", {{"device.bus", "bluetooth"}}), K::headphones},
        {sink("USB Audio", {{"device.bus", "usb"}}), K::unknown},
        {sink("USB Speaker", {{"device.bus", "usb"}}), K::externalSpeakers},
        {sink("a", {{"device.form_factor", "headset"}}), K::headphones},
        {sink("raop_output.living-room"), K::externalSpeakers},
    };
    for (const auto& c : cases) EXPECT_EQ(classifyOutput(c.sink), c.kind) << c.sink.name;
    EXPECT_EQ(outputKindFromString("headphones"), K::headphones);
    EXPECT_FALSE(outputKindFromString("loud"));
}

TEST(Catalog, GroupsByExecutablePlayingFirstWithoutOurselves) {
    auto input = [](uint32_t index, const std::string& binary, long pid, bool corked,
                    const std::string& name = {}) {
        hal::SinkInputInfo i;
        i.index = index;
        i.sink = 1;
        i.corked = corked;
        i.properties = {{"application.process.binary", binary},
                        {"application.process.id", std::to_string(pid)}};
        if (!name.empty()) i.properties["application.name"] = name;
        return i;
    };
    auto apps = AudioProcessCatalog::groupApps(
        {input(9, "zoom", 10, true, "Zoom"), input(3, "firefox", 11, false, "Firefox"),
         input(2, "firefox", 12, true), input(7, "sayloft", 99, false)},
        99);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], (AudioApp{"firefox", "Firefox", {2, 3}, true}));
    EXPECT_EQ(apps[1], (AudioApp{"zoom", "Zoom", {9}, false}));

    hal::SourceInfo monitor = microphone("spk.monitor");
    monitor.monitorOfSink = 1;
    auto mics = AudioProcessCatalog::microphones({microphone("b"), monitor, microphone("a")}, "b");
    ASSERT_EQ(mics.size(), 2u);
    EXPECT_EQ(mics[0], (AudioInputDevice{"a", "Mic a", false}));
    EXPECT_EQ(mics[1], (AudioInputDevice{"b", "Mic b", true}));
}

TEST(StreamMixer, HoldsADriftingStreamInStepAndSurvivesBacklogs) {
    core::ManualClock clock;
    AudioRingBuffer ring(1 << 16, 2);
    CaptureMeter meter;
    StreamMixer mixer({.microphone = true, .systemInputs = 1}, ring, meter, clock);
    // The system stream runs 300 ppm fast (480.144 frames per 10 ms); its frames name
    // themselves so that the lag behind the microphone can be read off the output.
    std::vector<float> mono(4800, 0.1f), stereo(9600), out(1 << 17);
    double owed = 0;
    int64_t sent = 0, lastRead = 0;
    for (int step = 0; step < 3000; ++step) {             // 30 s
        if (step == 0) mixer.micData(mono.data(), 4800);  // a backlog: only 100 ms stay
        mixer.micData(mono.data(), 480);
        owed += 480.144;
        const auto n = static_cast<int64_t>(owed);
        owed -= static_cast<double>(n);
        for (int64_t i = 0; i < n; ++i)
            stereo[2 * i] = stereo[2 * i + 1] = test::systemSample(sent + i);
        mixer.systemData(0, stereo.data(), n);
        sent += n;
        clock.advance(10ms);
        if (auto got = ring.read(out.data(), ring.availableFrames())) lastRead = got;
    }
    // The backlog kept its newest 100 ms, which used up the first delivery's allowance.
    EXPECT_EQ(meter.captured.load(), 4800 + 2999 * 480);
    EXPECT_EQ(ring.droppedFrames(), 0);
    // 432 surplus frames: the FIFO first rises by its 5 ms tolerance (and the slow average
    // lags a little more), then every further frame is dropped, one at a time.
    EXPECT_GT(meter.corrections.load(), 120);
    EXPECT_LT(meter.corrections.load(), 432 - 240);
    const float last = out[2 * (lastRead - 1) + 1];
    std::optional<int64_t> lag;
    for (int64_t j = sent - 1; j > sent - 5000 && !lag; --j)
        if (test::systemSample(j) == last) lag = sent - 1 - j;
    ASSERT_TRUE(lag.has_value());
    EXPECT_LT(*lag, 1440 + 240 + 480 + 10);  // target + tolerance + one delivery
}

TEST(StreamMixer, LumpsAndLatencyStepsNeitherLoseNorShiftAudio) {
    core::ManualClock clock;
    AudioRingBuffer ring(1 << 18, 2);
    CaptureMeter meter;
    StreamMixer mixer({.microphone = true, .systemInputs = 1}, ring, meter, clock);
    std::vector<float> mono(9600), stereo(19200);
    int64_t mic = 0, sys = 0;
    auto speak = [&](int64_t n) {
        for (int64_t i = 0; i < n; ++i) mono[i] = test::micSample(mic + i);
        mixer.micData(mono.data(), n);
        mic += n;
    };
    auto play = [&](int64_t n) {
        for (int64_t i = 0; i < n; ++i)
            stereo[2 * i] = stereo[2 * i + 1] = test::systemSample(sys + i);
        mixer.systemData(0, stereo.data(), n);
        sys += n;
    };
    auto steps = [&](int count) {
        for (int i = 0; i < count; ++i) {
            speak(480);
            play(480);
            clock.advance(10ms);
        }
    };
    steps(200);
    clock.advance(100ms);  // the server stalls, then both lumps come, the microphone's first
    speak(9600 - 4800);
    play(9600 - 4800);
    steps(100);
    play(960);  // from here on the system stream comes 20 ms earlier
    steps(500);

    std::vector<float> out(static_cast<size_t>(ring.availableFrames()) * 2);
    const int64_t frames = ring.read(out.data(), ring.availableFrames());
    EXPECT_EQ(meter.corrections.load(), 0);
    // Every frame after the first second pairs the microphone with the same system frame.
    const auto lag = delayOf(out, 1, [](int64_t i) { return test::systemSample(i); });
    ASSERT_TRUE(lag.has_value());
    for (int64_t i = 48000; i < frames; ++i) {
        ASSERT_EQ(out[2 * i], test::micSample(i)) << i;
        ASSERT_EQ(out[2 * i + 1], test::systemSample(i - *lag)) << i;
    }
}

}  // namespace
}  // namespace sayloft::recorder
