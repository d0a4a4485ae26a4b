// A simulated meeting recorded through the real writer, sent to the real local service: it
// becomes a transcribed meeting note.
#include <gtest/gtest.h>

#include "capture/recording_handover.hpp"
#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"
#include "platform_fakes.hpp"
#include "recorder/simulated_source.hpp"
#include "service/keychain.hpp"
#include "wendrel_test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

TEST(MeetingRecording, SimulatedMeetingBecomesATranscribedNote) {
    test::TempHome home;
    test::LogCollector log;
    const auto d = home.path();
    // 60 s: the microphone speaks first; the other side answers five seconds later.
    test::speak("please remember to call the office about the quarterly report tomorrow",
                d / "mic-speech.wav");
    test::speak("the weather will be cold and windy with rain in the evening",
                d / "system-speech.wav");
    ASSERT_EQ(test::runTool({"sox", (d / "mic-speech.wav").string(), (d / "MIC.wav").string(),
                             "pad", "1", "60", "trim", "0", "60"}),
              0);
    ASSERT_EQ(test::runTool({"sox", (d / "system-speech.wav").string(), (d / "SYSTEM.wav").string(),
                             "pad", "5", "60", "trim", "0", "60"}),
              0);

    test::ServerProcess server{d / "wendrel", {"--auto-approve"}};
    server.start();
    auto client = server.client();
    auto store = std::make_shared<platform::FileSecretStore>(d / "secrets.json");
    service::Keychain keychain(store);
    keychain.write(service::Keychain::kDeviceTokenAccount, test::pairDevice(client));

    core::ScaledClock clock(100);  // a 5 s poll wait lasts 50 ms
    settings::Settings settings(d / "settings.json");
    settings.settings().vaultPath = (d / "Vault").string();
    settings.settings().captureWendrelEnabled = true;
    settings.settings().wendrelBaseURL =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v1";
    platform::MemoryDefaults defaults;
    capture::CapturePipeline pipeline({settings, keychain, clock, defaults});
    recorder::RecordingRecovery recordings(d / "Recordings", clock);
    capture::RecordingHandover handover({pipeline, keychain, recordings, clock});

    recorder::SimulatedRecordingOptions options;
    options.micFile = d / "MIC.wav";
    options.systemFile = d / "SYSTEM.wav";
    options.timeScale = 0;
    auto sidecar = recorder::recordSimulated(recordings, options, clock);
    ASSERT_FALSE(recorder::isSilent(sidecar));
    sidecar.status = "recording";  // as if the program had stopped before sending it
    recordings.saveSidecar(sidecar);

    auto unfinished = recorder::listUnfinished(recordings);
    ASSERT_EQ(unfinished.size(), 1u);
    EXPECT_NEAR(unfinished[0].seconds, 60, 0.1);
    EXPECT_EQ(unfinished[0].why, "interrupted while recording");

    EXPECT_EQ(handover.send(sidecar.id), "Sent " + sidecar.id + " (1 min)");
    handover.waitForUploads();
    pipeline.waitUntilIdle();

    vault::InboxWriter inbox(settings.settings().vaultPath);
    auto note = inbox.readFrontmatter(inbox.notePath(sidecar.id));
    EXPECT_EQ(note.classification, "meeting_recording");
    EXPECT_EQ(note.recorderChannelLayout, "L=microphone,R=system");
    EXPECT_EQ(note.wlJobStatus, "done");
    EXPECT_EQ(note.audioDurationSec, 60);
    const auto body = inbox.readBody(inbox.notePath(sidecar.id));
    EXPECT_GT(body.size(), 10u) << body;
    EXPECT_FALSE(fs::exists(recordings.workFolder(sidecar.id)));
}
