#include <gtest/gtest.h>
#include <sndfile.h>

#include "capture/recording_handover.hpp"
#include "core/files.hpp"
#include "core/time_format.hpp"
#include "platform_fakes.hpp"
#include "recorder/simulated_source.hpp"
#include "service_test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
using recorder::RecordingSidecar;
using vault::InboxWriter;
using Upload = RecordingSubmitOutcome::Upload;
namespace fs = std::filesystem;

namespace {

void writeWav(const fs::path& file, int64_t frames, float level) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    std::vector<float> v(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i)
        v[i] = level * static_cast<float>((i * 37) % 200 - 100) / 100;
    sf_writef_float(f, v.data(), frames);
    sf_close(f);
}

// A vault with the pipeline, a scripted service and a recordings folder; upload off at first.
struct HandoverFixture {
    test::TempHome home;
    test::ScriptedServer server;
    test::FileKeychain keys;
    core::ManualClock clock{core::SystemClock::now()};
    platform::MemoryDefaults defaults;
    settings::Settings settings{home.path() / "settings.json"};
    test::LogCollector log;
    recorder::RecordingRecovery recordings{home.path() / "Recordings", clock};
    std::unique_ptr<CapturePipeline> pipeline;
    std::unique_ptr<RecordingHandover> handover;

    HandoverFixture() {
        clock.setAutoAdvance(true);
        settings.settings().vaultPath = (home.path() / "Vault").string();
        settings.settings().captureWendrelEnabled = false;
    }

    void start() {
        server.start();
        settings.settings().wendrelBaseURL = server.baseURL();
        pipeline = std::make_unique<CapturePipeline>(
            CapturePipeline::Dependencies{settings, keys.keychain, clock, defaults});
        handover = std::make_unique<RecordingHandover>(
            RecordingHandover::Dependencies{*pipeline, keys.keychain, recordings, clock});
    }

    InboxWriter inbox() { return InboxWriter(settings.settings().vaultPath, clock); }

    // A recorded meeting in the recordings folder: `seconds` of audio on both sides.
    RecordingSidecar record(double seconds, float level = 0.3f) {
        writeWav(home.path() / "MIC.wav", static_cast<int64_t>(seconds * 48000), level);
        writeWav(home.path() / "SYSTEM.wav", static_cast<int64_t>(seconds * 48000), level);
        recorder::SimulatedRecordingOptions options;
        options.micFile = home.path() / "MIC.wav";
        options.systemFile = home.path() / "SYSTEM.wav";
        options.timeScale = 0;
        return recorder::recordSimulated(recordings, options, clock);
    }

    // Three copies of one real part, as if a long recording had been cut.
    std::vector<fs::path> parts(const RecordingSidecar& s) {
        auto encoded = recorder::RecordingEncoder::encode(recordings.workFolder(s.id), s);
        std::vector<fs::path> out{encoded[0]};
        for (int n = 2; n <= 3; ++n) {
            auto p = recordings.workFolder(s.id) / recorder::RecordingEncoder::partName(s.id, n);
            fs::copy_file(encoded[0], p);
            out.push_back(p);
        }
        return out;
    }
};

}  // namespace

TEST(RecordingHandover, PartsGetTheirIdsAndASecondHandOverPlacesNothingNew) {
    HandoverFixture f;
    f.start();
    auto sidecar = f.record(2);
    auto parts = f.parts(sidecar);
    const auto& base = sidecar.id;

    auto first = f.handover->submitRecording(parts, sidecar);
    ASSERT_EQ(first.partIDs.size(), 3u);
    EXPECT_EQ(first.partIDs[0], base);
    EXPECT_EQ(first.partIDs[1], base + "_2");
    EXPECT_EQ(first.partIDs[2], base + "_3");
    EXPECT_TRUE(first.reused.empty());
    EXPECT_EQ(first.upload, Upload::uploadOff);
    EXPECT_TRUE(f.log.contains("WL upload disabled; " + base + " stays skipped in the vault"));
    auto note = f.inbox().readFrontmatter(f.inbox().notePath(base + "_2"));
    EXPECT_EQ(note.classification, "meeting_recording");
    EXPECT_EQ(note.sourceOrigin, "sayloft_recorder");
    EXPECT_EQ(note.wlJobStatus, "skipped");
    EXPECT_EQ(note.recorderSource, "All audio");
    EXPECT_EQ(note.recorderMicrophone, "Simulated microphone");
    EXPECT_EQ(note.recorderChannelLayout, "L=microphone,R=system");
    EXPECT_EQ(note.audioDurationSec, 2);
    EXPECT_EQ(test::readFile(f.inbox().audioPath(base + "_3")), test::readFile(parts[2]));
    auto onDisk = f.recordings.loadSidecar(base).value();
    EXPECT_EQ(onDisk.submittedParts, (std::vector<std::string>{base, base + "_2", base + "_3"}));

    auto second = f.handover->submitRecording(parts, sidecar);
    EXPECT_EQ(second.partIDs, first.partIDs);
    EXPECT_EQ(second.reused.size(), 3u);
    EXPECT_EQ(f.inbox().readableNotes().size(), 3u);
    EXPECT_TRUE(f.log.contains("part 2 of " + base + " is already in the inbox as " + base +
                               "_2 (skipped)"));
}

TEST(RecordingHandover, AVoiceMemoHoldingTheBaseIdPushesThePartAside) {
    HandoverFixture f;
    f.start();
    auto sidecar = f.record(2);
    auto memo = captureStub(sidecar.id, sidecar.startedAt);  // same time, but a voice memo
    f.inbox().writeMarkdown(memo, "memo");
    test::writeFile(f.inbox().audioPath(sidecar.id), "memo audio");
    auto parts = recorder::RecordingEncoder::encode(f.recordings.workFolder(sidecar.id), sidecar);

    auto outcome = f.handover->submitRecording(parts, sidecar);
    EXPECT_EQ(outcome.partIDs, (std::vector<std::optional<std::string>>{sidecar.id + "_2"}));
    EXPECT_EQ(f.inbox().readBody(f.inbox().notePath(sidecar.id)), "memo");
    EXPECT_EQ(test::readFile(f.inbox().audioPath(sidecar.id)), "memo audio");
}

TEST(RecordingHandover, UploadsRunThroughThePipelineWhenPaired) {
    HandoverFixture f;
    f.settings.settings().captureWendrelEnabled = true;
    f.server.post("/api/v1/sources", [](auto&, auto& res) {
        test::json(res, R"({"status":"queued","cache_key":"K1"})");
    });
    f.server.get("/api/v1/sources/K1/status", [](auto&, auto& res) {
        test::json(res, R"({"status":{"transcription":{"status":"completed"}}})");
    });
    f.server.get("/api/v1/sources/K1", [](auto&, auto& res) {
        test::json(res,
                   R"({"success":true,"cache_key":"K1","result":{"text":"said in the meeting"}})");
    });
    f.start();
    auto sidecar = f.record(2);
    auto parts = recorder::RecordingEncoder::encode(f.recordings.workFolder(sidecar.id), sidecar);

    auto unpaired = f.handover->submitRecording(parts, sidecar);
    EXPECT_EQ(unpaired.upload, Upload::notPaired);
    EXPECT_EQ(f.inbox().readFrontmatter(f.inbox().notePath(sidecar.id)).wlJobStatus, "queued");
    EXPECT_EQ(f.server.count(), 0u);

    f.keys.setToken("wdt_0123456789abcdef0123456789");
    fs::remove(f.inbox().notePath(sidecar.id));
    auto outcome = f.handover->submitRecording(parts, sidecar);
    EXPECT_EQ(outcome.upload, Upload::uploading);
    f.handover->waitForUploads();
    f.pipeline->waitUntilIdle();
    auto upload = f.server.requests().front();
    std::map<std::string, std::string> fields;
    for (auto& p : upload.parts) fields[p.name] = p.content;
    EXPECT_EQ(fields["content_source"], "meeting");
    EXPECT_NE(
        fields["content_source_metadata"].find("\"channel_layout\":\"L=microphone,R=system\""),
        std::string::npos);
    EXPECT_EQ(f.inbox().readBody(f.inbox().notePath(sidecar.id)), "said in the meeting");
}

// Sending an unfinished recording: encoded, placed, checked, and its work folder gone; a silent
// one is refused and kept; discard removes one.
TEST(RecordingHandover, SendAndDiscardUnfinishedRecordings) {
    HandoverFixture f;
    f.start();
    auto sidecar = f.record(3);
    sidecar.status = "recording";  // as if the program had died
    sidecar.endedAt.reset();
    f.recordings.saveSidecar(sidecar);
    ASSERT_EQ(recorder::listUnfinished(f.recordings).size(), 1u);

    auto line = f.handover->send(sidecar.id);
    EXPECT_EQ(line, "Saved " + sidecar.id + " to _inbox (3 s); Wendrel upload is off");
    EXPECT_FALSE(fs::exists(f.recordings.workFolder(sidecar.id)));
    EXPECT_TRUE(fs::exists(f.inbox().audioPath(sidecar.id)));
    EXPECT_TRUE(f.recordings.scan().empty());

    f.clock.advance(std::chrono::minutes(5));
    auto silent = f.record(1, 0.0f);
    EXPECT_TRUE(recorder::isSilent(silent));
    try {
        f.handover->send(silent.id);
        FAIL();
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("It is kept."), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::exists(f.recordings.workFolder(silent.id)));
    f.handover->discard(silent.id);
    EXPECT_FALSE(fs::exists(f.recordings.workFolder(silent.id)));
    EXPECT_THROW(f.handover->discard(silent.id), Error);
    EXPECT_THROW(f.handover->discard("../Vault"), Error);
    EXPECT_THROW(f.handover->send("nope"), Error);
}
