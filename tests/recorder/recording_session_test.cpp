#include "recorder/recording_session.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <thread>

#include "core/error.hpp"
#include "core/time_format.hpp"
#include "recorder/engine_graph.hpp"
#include "recorder/hal/simulated_audio_hardware.hpp"
#include "recorder/recording_encoder.hpp"
#include "recorder/sound_server_leftovers.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

namespace sayloft::recorder {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Work queued for the "main thread" runs when the test pumps it.
class PumpQueue : public core::MainQueue {
  public:
    void async(std::function<void()> work) override {
        std::lock_guard guard(mutex_);
        work_.push_back(std::move(work));
    }
    void pump() {
        for (;;) {
            std::function<void()> next;
            {
                std::lock_guard guard(mutex_);
                if (work_.empty()) return;
                next = std::move(work_.front());
                work_.pop_front();
            }
            next();
        }
    }

  private:
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

// The hardware the test decides: output, latency, microphone, and the levels it reports.
struct Hardware {
    AudioOutputKind output = AudioOutputKind::headphones;
    double latency = 0.02;
    bool network = false;
    std::optional<std::string> microphone = "Desk microphone";
    bool failStart = false;
};

class TestGraph : public RecordingGraph {
  public:
    TestGraph(Hardware& hw, RecordingOptions options, TestGraph** self)
        : hw_(hw), options_(std::move(options)), self_(self) {
        *self_ = this;
    }
    ~TestGraph() override { *self_ = nullptr; }
    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    std::shared_ptr<AudioRingBuffer> ring() override { return ring_; }
    void start() override {
        if (hw_.failStart) throw Error("the sound server is gone");
        running = true;
    }
    void stop() override { running = false; }
    void reconfigure(const RecordingOptions& o) override {
        options_ = o;
        callbacks.onFormatChange(48000, microphoneName());
    }
    void verifyIOAfterWake() override { verified = true; }
    void setPaused(bool p) override { paused = p; }
    double sampleRate() const override { return 48000; }
    std::optional<std::string> microphoneName() const override {
        return options_.includeMicrophone ? hw_.microphone : std::nullopt;
    }
    AudioOutputKind outputKind() const override { return hw_.output; }
    double outputLatency() const override { return hw_.latency; }
    bool outputIsNetwork() const override { return hw_.network; }
    RecordingOptions options() const override {
        auto o = options_;
        o.includeMicrophone = o.includeMicrophone && hw_.microphone.has_value();
        return o;
    }

    Callbacks callbacks;
    bool running = false, paused = false, verified = false;

  private:
    Hardware& hw_;
    RecordingOptions options_;
    TestGraph** self_;
    std::shared_ptr<AudioRingBuffer> ring_ = std::make_shared<AudioRingBuffer>(48000, 2);
};

struct TestCatalog : AudioCatalog {
    std::vector<AudioApp> apps;
    std::vector<AudioInputDevice> inputs{{"mic", "Desk microphone", true}};
    std::vector<AudioApp> audioApps() override { return apps; }
    std::vector<AudioInputDevice> inputDevices() override { return inputs; }
    AudioOutputKind outputKind() override { return AudioOutputKind::unknown; }
};

struct TestPower : platform::PowerSource {
    std::optional<bool> battery = false;
    std::optional<bool> onBattery() override { return battery; }
};

struct TestSleep : platform::SleepWatch {
    bool held = false;
    std::function<void(bool)> handler;
    bool hold(const std::string&) override { return held = true; }
    void release() override { held = false; }
    void setHandler(std::function<void(bool)> h) override { handler = std::move(h); }
};

struct Rig {
    TempDir dir;
    core::ManualClock clock{*core::parseLocal("2025-03-14 10:00:00", "yyyy-MM-dd HH:mm:ss")};
    PumpQueue main;
    RecordingRecovery recordings{dir.path() / "Recordings", clock};
    Hardware hw;
    TestCatalog catalog;
    TestPower power;
    TestSleep sleep;
    platform::DiskSpace disk{int64_t(100) << 30, int64_t(100) << 30};
    RecorderSettings settings;
    TestGraph* graph = nullptr;
    std::vector<std::string> sent;
    std::optional<std::string> sendError;
    std::vector<std::string> notSent;
    int leftoversRemoved = 0;
    std::unique_ptr<RecordingSession> session;

    Rig() {
        settings.consentReminder = false;
        RecordingSession::Dependencies deps{clock, main, recordings};
        deps.makeGraph = [this](const RecordingOptions& o) {
            return std::make_unique<TestGraph>(hw, o, &graph);
        };
        deps.catalog = &catalog;
        deps.settings = [this] { return settings; };
        deps.power = &power;
        deps.sleep = &sleep;
        deps.diskSpace = [this](const fs::path&) { return disk; };
        deps.notSent = [this](const std::string& id, const std::string&) { notSent.push_back(id); };
        deps.send = [this](const std::string& id) {
            if (sendError) throw Error(*sendError);
            sent.push_back(id);
            recordings.removeWorkFolder(id);
            return "Sent " + id + " (1 min)";
        };
        deps.removeLeftovers = [this] { ++leftoversRemoved; };
        session = std::make_unique<RecordingSession>(deps);
    }

    void start(RecordingOptions o = {}) {
        session->start(o);
        main.pump();
    }
    // Moves the clock a second at a time, the graph reporting `levels` each second.
    void run(double seconds, RecordingLevels levels = {}) {
        for (double t = 0; t < seconds; t += 1) {
            if (graph && graph->running) graph->callbacks.onLevels(levels);
            main.pump();
            clock.advance(core::seconds(1));
            main.pump();
        }
    }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            main.pump();
            session->drainWorker();
        }
        main.pump();
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (auto& w : session->warnings()) t.push_back(w.text);
        return t;
    }
    bool hasWarning(RecordingWarning::Kind kind) const {
        for (auto& w : session->warnings())
            if (w.kind == kind) return true;
        return false;
    }
    RecordingSidecar sidecar() const { return *recordings.loadSidecar(*session->currentID()); }
};

const RecordingLevels kBoth{0.3f, 0.1f, 0.4f, 0.2f};
const RecordingLevels kMicOnly{0.3f, 0.1f, 0, 0};
const RecordingLevels kSilence{};

TEST(RecordingSession, RecordsAndSendsAndOnlyOneRunsAtATime) {
    Rig rig;
    rig.settings.consentReminder = true;
    rig.start();
    ASSERT_EQ(rig.session->state(), RecordingState::recording);
    const std::string id = *rig.session->currentID();
    EXPECT_EQ(id, "250314-100000");
    EXPECT_TRUE(rig.sleep.held);
    EXPECT_EQ(rig.session->status().consentReminder.value_or(""), settings::kDefaultConsentText);

    rig.session->start({});  // a second start changes nothing
    EXPECT_EQ(*rig.session->currentID(), id);

    rig.run(12, kBoth);
    EXPECT_NEAR(rig.session->status().elapsed, 12, 0.01);
    auto sidecar = rig.sidecar();
    EXPECT_FALSE(sidecar.systemSideSilent);
    EXPECT_FALSE(sidecar.micSideSilent);
    EXPECT_EQ(sidecar.channelLayout, kLayoutMicrophoneSystem);
    EXPECT_TRUE(rig.session->warnings().empty());

    std::optional<std::string> result;
    rig.session->stopAndSend([&](bool ok, const std::string& text) {
        EXPECT_TRUE(ok);
        result = text;
    });
    rig.settle();
    EXPECT_EQ(rig.sent, std::vector<std::string>{id});
    EXPECT_EQ(result.value_or(""), "Sent " + id + " (1 min)");
    EXPECT_EQ(rig.session->state(), RecordingState::idle);
    EXPECT_FALSE(rig.sleep.held);
    EXPECT_EQ(rig.graph, nullptr) << "the graph is closed after the recording";

    // A second recording in the same second gets its own folder.
    rig.clock.setNow(*core::parseLocal("2025-03-14 10:00:00", "yyyy-MM-dd HH:mm:ss"));
    fs::create_directories(rig.recordings.workFolder(id));
    rig.start();
    EXPECT_EQ(*rig.session->currentID(), id + "_2");
}

TEST(RecordingSession, SilenceWarningsWaitForSixSecondsAndComeOnce) {
    Rig rig;
    rig.catalog.apps = {{"player", "Player", {}, true}};
    rig.start();
    rig.run(5, kSilence);
    rig.clock.advance(core::seconds(0.9));
    rig.main.pump();
    EXPECT_TRUE(rig.session->warnings().empty()) << "nothing before 6 s";
    rig.run(3, kSilence);
    ASSERT_EQ(rig.session->warnings().size(), 2u);
    EXPECT_EQ(rig.session->warnings()[0].kind, RecordingWarning::Kind::systemAudio);
    EXPECT_EQ(rig.session->warnings()[1].kind, RecordingWarning::Kind::microphoneSilent);
    EXPECT_NE(rig.texts()[1].find("Desk microphone"), std::string::npos);
    rig.run(30, kSilence);
    EXPECT_EQ(rig.session->warnings().size(), 2u);

    // One app chosen: only that app playing counts; the microphone heard stays quiet.
    Rig quiet;
    quiet.catalog.apps = {{"player", "Player", {}, true}, {"meet", "Meet", {}, false}};
    quiet.start({settings::RecordingSource{settings::RecordingSource::App{"meet", "Meet"}}});
    quiet.run(20, kMicOnly);
    EXPECT_TRUE(quiet.session->warnings().empty());
}

TEST(RecordingSession, BatteryWarningComesAndGoesWithThePower) {
    Rig rig;
    rig.power.battery = true;
    rig.start();
    EXPECT_TRUE(rig.hasWarning(RecordingWarning::Kind::power));
    rig.power.battery = false;
    rig.run(31, kBoth);
    EXPECT_FALSE(rig.hasWarning(RecordingWarning::Kind::power));
}

TEST(RecordingSession, StopsAutomaticallyAfterTheSilenceSetting) {
    Rig rig;
    rig.settings.autoStopMinutes = 10;
    rig.start();
    rig.run(5, kBoth);  // the last sound at 4 s
    rig.run(598, kSilence);
    EXPECT_EQ(rig.session->state(), RecordingState::recording);
    rig.run(2, kSilence);
    rig.settle();
    EXPECT_EQ(rig.session->state(), RecordingState::idle);
    ASSERT_EQ(rig.sent.size(), 1u);
    const auto status = rig.session->status();
    EXPECT_EQ(status.lastResult.value_or(""),
              "Sent " + rig.sent[0] + " (1 min). Stopped automatically after 10 min of silence.");

    Rig never;
    never.settings.autoStopMinutes = 0;
    never.start();
    never.run(3, kBoth);
    never.run(2000, kSilence);
    EXPECT_EQ(never.session->state(), RecordingState::recording);
}

TEST(RecordingSession, StopsWhenTheDiskIsNearlyFull) {
    // Free bytes as statvfs gives them (both the same on Linux); -1 where unknown.
    const int64_t plenty = int64_t(100) << 30;
    const int64_t important = RecordingSession::kImportantFloor;
    const int64_t available = RecordingSession::kAvailableFloor;
    struct Case {
        platform::DiskSpace disk;
        bool stops;
    };
    const Case cases[] = {
        {{plenty, important}, false},
        {{plenty, important - 1}, true},
        {{available, -1}, false},
        {{available - 1, -1}, true},
        {{-1, -1}, false},
    };
    for (auto& c : cases) {
        Rig rig;
        rig.start();
        const auto id = *rig.session->currentID();
        rig.run(40, kBoth);  // checked at 1 s and 31 s
        rig.disk = c.disk;
        rig.run(20, kBoth);
        EXPECT_EQ(rig.session->state(), RecordingState::recording) << "checked every 30 s";
        rig.run(2, kBoth);
        rig.settle();
        const auto status = rig.session->status();
        EXPECT_EQ(rig.sent.size(), c.stops ? 1u : 0u)
            << c.disk.available << " " << c.disk.important;
        EXPECT_EQ(status.stoppedOnFailure, c.stops);
        if (c.stops) {
            EXPECT_EQ(status.lastResult.value_or(""),
                      "Sent " + id + " (1 min). Recording stopped: the disk is nearly full.");
        }
    }
}

TEST(RecordingSession, ARecordingsFolderThatIsNoFolderFailsTheStartNamingIt) {
    Rig rig;
    fs::remove_all(rig.recordings.root());
    ASSERT_EQ(::mkfifo(rig.recordings.root().c_str(), 0600), 0);
    rig.start();
    EXPECT_EQ(rig.session->state(), RecordingState::failed);
    EXPECT_EQ(rig.session->status().failure,
              "Could not create the recording folder: " + rig.recordings.root().string() +
                  " is a named pipe (FIFO), not a folder");
    EXPECT_EQ(rig.graph, nullptr) << "no stream opened for a recording that cannot be kept";
    EXPECT_FALSE(rig.sleep.held);
}

TEST(RecordingSession, SilentRecordingIsKeptNotSent) {
    Rig rig;
    rig.start();
    const auto id = *rig.session->currentID();
    rig.run(8, kSilence);
    rig.session->stopAndSend();
    rig.settle();
    EXPECT_TRUE(rig.sent.empty());
    EXPECT_EQ(rig.session->state(), RecordingState::failed);
    EXPECT_EQ(rig.notSent, std::vector<std::string>{id});
    EXPECT_EQ(rig.session->status().pendingRecovery, std::vector<std::string>{id});
    EXPECT_TRUE(fs::exists(rig.recordings.workFolder(id)));
    rig.session->discard();  // dismiss
    EXPECT_EQ(rig.session->state(), RecordingState::idle);

    // Only the microphone heard something: that is sent.
    rig.clock.advance(core::seconds(5));
    rig.start();
    rig.run(8, kMicOnly);
    rig.session->stopAndSend();
    rig.settle();
    EXPECT_EQ(rig.sent.size(), 1u);
}

TEST(RecordingSession, AFailedSendKeepsTheRecording) {
    Rig rig;
    rig.sendError = "the vault is not writable";
    rig.start();
    const auto id = *rig.session->currentID();
    rig.run(3, kBoth);
    rig.session->stopAndSend();
    rig.settle();
    EXPECT_EQ(rig.session->state(), RecordingState::failed);
    EXPECT_EQ(rig.session->status().failure,
              "Could not send the recording " + id +
                  ": the vault is not writable. It is kept and can be sent again.");
    EXPECT_TRUE(fs::exists(rig.recordings.workFolder(id) / "recording.json"));
}

TEST(RecordingSession, SleepLeavesAGapNoteAndANewSegment) {
    Rig rig;
    rig.start();
    rig.clock.setNow(*core::parseLocal("2025-03-14 10:02:00", "yyyy-MM-dd HH:mm:ss"));
    rig.run(1, kBoth);
    {
        // logind's signal arrives on the bus thread, which waits for the segment to close.
        std::atomic<bool> answered{false};
        std::thread bus([&] {
            rig.sleep.handler(true);
            answered = true;
        });
        while (!answered) rig.main.pump();
        bus.join();
    }
    EXPECT_FALSE(rig.sleep.held);
    rig.clock.setNow(*core::parseLocal("2025-03-14 10:15:00", "yyyy-MM-dd HH:mm:ss"));
    rig.sleep.handler(false);
    rig.main.pump();
    EXPECT_TRUE(rig.sleep.held);
    EXPECT_EQ(rig.texts(), std::vector<std::string>{"This computer slept from 10:02 to 10:15; the "
                                                    "recording has a gap there."});
    auto sidecar = rig.sidecar();
    ASSERT_EQ(sidecar.segments.size(), 2u);
    EXPECT_TRUE(sidecar.segments[0].endedAt.has_value());
    EXPECT_EQ(sidecar.segments[1].reason, "wake");
    EXPECT_TRUE(rig.graph->verified);
}

TEST(RecordingSession, EchoCancellationFollowsTheOutput) {
    struct Case {
        AudioOutputKind output;
        double latency;
        bool network;
        std::string mode;
        bool active;
        bool speakerWarning;
    };
    const Case cases[] = {
        {AudioOutputKind::builtInSpeakers, 0.2, false, "automatic", true, false},
        {AudioOutputKind::headphones, 0.2, false, "automatic", false, false},
        {AudioOutputKind::externalSpeakers, 0.2, true, "automatic", false, true},
        {AudioOutputKind::externalSpeakers, 0.6, false, "automatic", false, true},
        {AudioOutputKind::builtInSpeakers, 0.2, false, "off", false, true},
        {AudioOutputKind::headphones, 0.2, false, "on", true, false},
    };
    for (auto& c : cases) {
        Rig rig;
        rig.hw.output = c.output;
        rig.hw.latency = c.latency;
        rig.hw.network = c.network;
        rig.settings.echoMode = c.mode;
        rig.start();
        auto status = rig.session->status();
        EXPECT_EQ(status.echoCancellationActive, c.active) << outputKindWord(c.output) << c.mode;
        EXPECT_EQ(rig.hasWarning(RecordingWarning::Kind::speakerEcho), c.speakerWarning)
            << outputKindWord(c.output) << " " << c.latency << " " << c.mode;
    }

    // Headphones unplugged mid-recording: a new segment with cancellation on.
    Rig rig;
    rig.start();
    EXPECT_EQ(rig.session->status().echoLine, "Headphones: no echo");
    rig.hw.output = AudioOutputKind::builtInSpeakers;
    rig.graph->callbacks.onOutputKindChange(AudioOutputKind::builtInSpeakers);
    rig.main.pump();
    auto sidecar = rig.sidecar();
    ASSERT_EQ(sidecar.segments.size(), 2u);
    EXPECT_EQ(sidecar.segments[1].reason, "echo-change");
    EXPECT_EQ(rig.session->status().echoLine, "Echo cancellation on (speakers)");
}

TEST(RecordingSession, PauseResumeAndChangesMakeSegments) {
    Rig rig;
    rig.start();
    rig.run(10, kBoth);
    rig.session->pause();
    EXPECT_TRUE(rig.graph->paused);
    EXPECT_EQ(rig.sidecar().status, "paused");
    rig.run(100, kBoth);
    EXPECT_NEAR(rig.session->status().elapsed, 10, 0.01) << "paused time does not count";
    rig.session->resume();
    rig.run(5, kBoth);
    EXPECT_NEAR(rig.session->status().elapsed, 15, 0.01);

    rig.session->change({settings::RecordingSource{settings::RecordingSource::App{"meet", "Meet"}},
                         true, std::nullopt});
    rig.main.pump();
    rig.session->change({settings::RecordingSource{settings::RecordingSource::App{"meet", "Meet"}},
                         false, std::nullopt});
    rig.main.pump();
    auto sidecar = rig.sidecar();
    std::vector<std::string> reasons;
    for (auto& s : sidecar.segments) reasons.push_back(s.reason);
    EXPECT_EQ(reasons,
              (std::vector<std::string>{"start", "resume", "source-change", "microphone-off"}));
    EXPECT_EQ(sidecar.channelLayout, kLayoutMixed);
    EXPECT_EQ(sidecar.segments.back().channelLayout.value_or(""), kLayoutSystemStereo);
}

TEST(RecordingSession, EngineErrorSendsWhatWasRecordedAndFailuresBeforeTheFirstSegmentDoNot) {
    Rig rig;
    rig.start();
    rig.run(3, kBoth);
    rig.graph->callbacks.onError("the sound server went away");
    rig.settle();
    EXPECT_EQ(rig.sent.size(), 1u);
    EXPECT_NE(
        rig.session->status().lastResult->find("Recording stopped: the sound server went away"),
        std::string::npos);

    Rig broken;
    broken.hw.failStart = true;
    broken.start();
    EXPECT_EQ(broken.session->state(), RecordingState::failed);
    EXPECT_EQ(broken.session->status().failure,
              "Could not start recording: the sound server is gone");
    EXPECT_TRUE(fs::is_empty(broken.recordings.root()));
    EXPECT_FALSE(broken.sleep.held);
}

TEST(RecordingSession, NoMicrophoneMeansSystemOnlyAndDiscardRemovesEverything) {
    Rig rig;
    rig.catalog.inputs.clear();
    rig.start();
    EXPECT_FALSE(rig.session->status().options.includeMicrophone);
    EXPECT_EQ(rig.sidecar().channelLayout, kLayoutSystemStereo);
    const auto id = *rig.session->currentID();
    rig.run(3, kBoth);
    rig.session->discard();
    EXPECT_EQ(rig.session->state(), RecordingState::idle);
    EXPECT_FALSE(fs::exists(rig.recordings.workFolder(id)));
    EXPECT_FALSE(rig.sleep.held);
    rig.settle();
    EXPECT_TRUE(rig.sent.empty());
}

TEST(RecordingSession, DiscardWhileFinishingEitherWinsOrComesTooLateNeverBoth) {
    for (int round = 0; round < 5; ++round) {
        Rig rig;
        rig.start();
        const auto id = *rig.session->currentID();
        rig.run(3, kBoth);
        std::optional<bool> sentOk;
        rig.session->stopAndSend([&](bool ok, const std::string&) { sentOk = ok; });
        const bool discarded = rig.session->discard();
        rig.settle();
        ASSERT_TRUE(sentOk.has_value());
        EXPECT_EQ(rig.session->state(), RecordingState::idle);
        if (discarded) {
            EXPECT_FALSE(*sentOk);
            EXPECT_TRUE(rig.sent.empty());
            EXPECT_FALSE(fs::exists(rig.recordings.workFolder(id)));
        } else {
            EXPECT_TRUE(*sentOk);
            EXPECT_EQ(rig.sent, std::vector<std::string>{id});
        }
    }
}

TEST(RecordingSession, LaunchCheckOffersUnfinishedRecordingsAndShutdownKeepsTheRunningOne) {
    std::string id;
    TempDir keep;
    {
        Rig rig;
        rig.start();
        id = *rig.session->currentID();
        rig.run(3, kBoth);
        rig.session->shutdown();
        EXPECT_FALSE(rig.sleep.held);
        fs::rename(rig.recordings.root(), keep.path() / "Recordings");
    }
    Rig rig;
    fs::remove_all(rig.recordings.root());
    fs::rename(keep.path() / "Recordings", rig.recordings.root());
    rig.session->launchCheck();
    EXPECT_EQ(rig.leftoversRemoved, 1);
    EXPECT_EQ(rig.session->status().pendingRecovery, std::vector<std::string>{id});
}

// The same session on the capture graph over a simulated sound server: built-in speakers, a
// microphone and one app playing; the clock moves with the audio fed.
class SessionOnSimulatedServer : public ::testing::Test {
  protected:
    SessionOnSimulatedServer() : hw(std::make_shared<hal::SimulatedAudioHardware>()) {
        hal::SinkInfo speakers;
        speakers.name = "speakers";
        speakers.description = "Speakers";
        speakers.properties = {{"device.bus", "pci"}};
        speakers.activePort =
            hal::Port{"analog-output-speaker", "Speakers", hal::PortType::speaker};
        hw->addSink(speakers);
        hal::SourceInfo mic;
        mic.name = "mic";
        mic.description = "Desk microphone";
        hw->addSource(mic);
        player = hw->addSinkInput("speakers", "player", 4242, "Player");
        settings.consentReminder = false;
        RecordingSession::Dependencies deps{clock, main, recordings};
        deps.makeGraph = engineGraphFactory([this] { return hw; }, clock);
        catalog = hardwareCatalog(hw);
        deps.catalog = catalog.get();
        deps.settings = [this] { return settings; };
        deps.send = [this](const std::string& id) {
            if (encode)
                RecordingEncoder::encode(recordings.workFolder(id), *recordings.loadSidecar(id));
            sentSeconds = recordedSeconds(recordings.workFolder(id), *recordings.loadSidecar(id));
            sent.push_back(id);
            recordings.removeWorkFolder(id);
            return "Sent " + id;
        };
        session = std::make_unique<RecordingSession>(deps);
    }

    // Feeds 10 ms steps: a tone to the microphone and the player when asked.
    void feed(double seconds, bool mic, bool system) {
        std::vector<float> mono(480), stereo(960);
        for (int step = 0; step < int(seconds * 100); ++step) {
            for (int i = 0; i < 480; ++i) {
                const float v = 0.3f * std::sin(float(t + i) * 0.0577f);
                mono[i] = v;
                stereo[2 * i] = stereo[2 * i + 1] = 0.5f * v;
            }
            // A microphone always delivers, if only digital silence.
            if (!mic) std::fill(mono.begin(), mono.end(), 0.0f);
            hw->speak("mic", mono.data(), 480);
            if (system) hw->play(player, stereo.data(), 480);
            t += 480;
            clock.advance(core::seconds(0.01));
            if (step % 10 == 9) {
                session->flushGraph();
                main.pump();
                // The writer keeps up in real time; here the test waits for it instead.
                for (int i = 0; i < 5000 && session->ringBacklog() > 9600; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    void settle() {
        for (int i = 0; i < 3; ++i) {
            main.pump();
            session->drainWorker();
        }
        main.pump();
    }
    bool hasWarning(RecordingWarning::Kind kind) const {
        for (auto& w : session->warnings())
            if (w.kind == kind) return true;
        return false;
    }

    TempDir dir;
    core::ManualClock clock;
    PumpQueue main;
    RecordingRecovery recordings{dir.path() / "Recordings", clock};
    std::shared_ptr<hal::SimulatedAudioHardware> hw;
    std::shared_ptr<AudioCatalog> catalog;
    RecorderSettings settings;
    uint32_t player = 0;
    int64_t t = 0;
    std::vector<std::string> sent;
    double sentSeconds = 0;
    bool encode = false;  // the hand-over writes the encoded parts, as the product's does
    std::unique_ptr<RecordingSession> session;
};

TEST_F(SessionOnSimulatedServer, RecordsBothSidesAndStopsAfterTheSilenceSetting) {
    settings.autoStopMinutes = 1;
    session->start({});
    main.pump();
    ASSERT_EQ(session->state(), RecordingState::recording) << session->status().failure;
    EXPECT_EQ(session->status().echoLine, "Echo cancellation on (speakers)");
    feed(10, true, true);
    EXPECT_TRUE(session->warnings().empty());
    feed(59, false, false);
    EXPECT_EQ(session->state(), RecordingState::recording);
    feed(2, false, false);
    settle();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NEAR(sentSeconds, 70, 1.5) << "the silence is recorded too, up to the stop";
    EXPECT_EQ(session->state(), RecordingState::idle);
    EXPECT_TRUE(hw->openStreams().empty()) << "nothing stays open after the recording";
}

TEST_F(SessionOnSimulatedServer, WritesThatFailStopTheRecordingAndKeepWhatWasSaved) {
    encode = true;
    session->start({});
    main.pump();
    ASSERT_EQ(session->state(), RecordingState::recording) << session->status().failure;
    const auto id = *session->currentID();
    const auto folder = recordings.workFolder(id);
    feed(3, true, true);
    double saved = 0;
    {
        // The segment cannot grow any more, nor can the hand-over's encoded part; the small
        // sidecar still gets through.
        test::FileSizeLimit full(4 * 1024);
        saved = recordedSeconds(folder, *recordings.loadSidecar(id));
        feed(2, true, true);
        settle();
        std::vector<std::string> texts;
        for (auto& w : session->warnings()) texts.push_back(w.text);
        EXPECT_EQ(texts, std::vector<std::string>{
                             "Recording stopped: sayloft could not save the audio to disk (File "
                             "too large). What was saved before is being sent."});
        const auto status = session->status();
        EXPECT_EQ(status.state, RecordingState::failed);
        EXPECT_TRUE(status.stoppedOnFailure);
        EXPECT_EQ(status.failure, "Could not send the recording " + id + ": Could not write " + id +
                                      ".m4a: File too large. It is kept and can be sent again.");
        EXPECT_EQ(status.pendingRecovery, std::vector<std::string>{id});
        EXPECT_TRUE(hw->openStreams().empty());
    }
    EXPECT_TRUE(sent.empty());

    // With room again it is offered with every second that reached the disk, and it encodes.
    auto offered = listUnfinished(recordings);
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].id, id);
    EXPECT_GT(saved, 2.5);
    EXPECT_NEAR(offered[0].seconds, saved, 0.2);
    auto parts = RecordingEncoder::encode(folder, recordings.closeOpenEnds(offered[0].sidecar));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_GT(fs::file_size(parts[0]), 4u * 1024);
}

TEST_F(SessionOnSimulatedServer, WarnsWhenAPlayingAppAndTheMicrophoneReachNothing) {
    session->start({});
    main.pump();
    feed(5.5, false, false);
    EXPECT_TRUE(session->warnings().empty());
    feed(3, false, false);
    EXPECT_TRUE(hasWarning(RecordingWarning::Kind::systemAudio));
    EXPECT_TRUE(hasWarning(RecordingWarning::Kind::microphoneSilent));
    session->discard();
    EXPECT_TRUE(hw->openStreams().empty());
}

TEST(SoundServerLeftovers, OnlyDevicesNamedWithOurPrefixAreOurs) {
    const std::string listing =
        "0\tmodule-native-protocol-unix\tauth-anonymous=1 socket=/tmp/sayloft-x/run/native\t\n"
        "1\tmodule-null-sink\tsink_name=speakers format=float32le\t\n"
        "7\tmodule-null-sink\tsink_name=sayloft.capture rate=48000\t\n"
        "8\tmodule-remap-source\tmaster=x source_name=sayloft.mic\t\n"
        "9\tmodule-null-sink\tsink_name=notsayloft.capture\t\n";
    EXPECT_EQ(ownModules(listing), (std::vector<std::string>{"7", "8"}));
}

}  // namespace
}  // namespace sayloft::recorder
