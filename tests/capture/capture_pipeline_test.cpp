#include <gtest/gtest.h>

#include "capture/capture_pipeline.hpp"
#include "capture/capture_retry.hpp"
#include "core/time_format.hpp"
#include "platform_fakes.hpp"
#include "service/wendrel_client.hpp"
#include "service_test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
using vault::InboxWriter;
namespace fs = std::filesystem;

namespace {

std::string detailJson(const std::string& key, const std::string& text = "hello world") {
    return core::Json{{"success", true},
                      {"cache_key", key},
                      {"result",
                       {{"text", text},
                        {"llm_title", "Greeting\nwith: a second line"},
                        {"duration", 12.7},
                        {"word_count", 2},
                        {"status", "processing"}}}}
        .dump();
}

std::string statusJson(const std::string& s) {
    return core::Json{{"status", {{"transcription", {{"status", s}}}}}}.dump();
}

// A vault, settings pointing at a scripted service, a paired keychain and a self-advancing clock.
struct PipelineFixture {
    test::TempHome home;
    test::TempDir recordings;
    test::ScriptedServer server;
    test::FileKeychain keys;
    core::ManualClock clock{core::SystemClock::now()};
    platform::MemoryDefaults defaults;
    settings::Settings settings{home.path() / "settings.json"};
    test::LogCollector log;
    std::mutex eventsMutex;
    std::vector<CaptureEvent> events;
    std::unique_ptr<CapturePipeline> pipeline;

    PipelineFixture() {
        clock.setAutoAdvance(true);
        keys.setToken("wdt_0123456789abcdef0123456789");
        settings.settings().vaultPath = (home.path() / "Vault").string();
        settings.settings().captureWendrelEnabled = true;
        settings.settings().watchedFoldersRaw =
            std::vector{settings::WatchedFolder{"voice-memos",
                                                recordings.path().string(),
                                                "Voice Memos",
                                                true,
                                                {},
                                                settings::WatchedFolder::Normaliser::voiceMemos}};
    }

    void start() {
        server.start();
        settings.settings().wendrelBaseURL = server.baseURL();
        pipeline = std::make_unique<CapturePipeline>(
            CapturePipeline::Dependencies{settings, keys.keychain, clock, defaults});
        pipeline->setOnCaptureEvent([this](const CaptureEvent& e) {
            std::lock_guard lock(eventsMutex);
            events.push_back(e);
        });
    }

    InboxWriter inbox() { return InboxWriter(settings.settings().vaultPath, clock); }

    FolderWatcher::NewCapture capture(const std::string& name = "20250314 093012-3F2A9C1B.m4a") {
        test::writeFile(recordings / name, "not really audio, but bytes to copy");
        auto parsed = FilenameNormaliser::parse(name).value();
        return {recordings / name, FilenameNormaliser::canonicalId(parsed.timestamp),
                parsed.timestamp, "voice-memos"};
    }

    InboxWriter::Frontmatter note(const std::string& id) {
        return inbox().readFrontmatter(inbox().notePath(id));
    }

    std::vector<std::string> eventLog() {
        std::lock_guard lock(eventsMutex);
        std::vector<std::string> out;
        for (auto& e : events) {
            const char* kind = e.kind == CaptureEvent::Kind::sent              ? "sent"
                               : e.kind == CaptureEvent::Kind::transcriptReady ? "ready"
                                                                               : "failed";
            out.push_back(std::string(kind) + ":" + e.id +
                          (e.kind == CaptureEvent::Kind::failed ? ":" + e.status : ""));
        }
        return out;
    }

    size_t requestsTo(const std::string& path) {
        size_t n = 0;
        for (auto& r : server.requests()) n += r.path == path;
        return n;
    }

    // The usual answers of a service that transcribes DOC_abc after one "processing".
    void serveHappyPath(const std::string& uploadAnswer = R"({"status":"queued","task_id":"T1"})") {
        server.post("/api/v1/sources",
                    [uploadAnswer](auto&, auto& res) { test::json(res, uploadAnswer); });
        server.get("/api/v1/sources/tasks/T1",
                   [](auto&, auto& res) { test::json(res, R"({"cache_key":"DOC_abc"})"); });
        auto polls = std::make_shared<std::atomic<int>>(0);
        server.get("/api/v1/sources/DOC_abc/status", [polls](auto&, auto& res) {
            test::json(res, statusJson(++*polls < 2 ? "processing" : "completed"));
        });
        server.get("/api/v1/sources/DOC_abc",
                   [](auto&, auto& res) { test::json(res, detailJson("DOC_abc")); });
    }
};

}  // namespace

TEST(CapturePipeline, NewVoiceMemoGoesFromStubToTranscript) {
    PipelineFixture f;
    f.serveHappyPath();
    f.start();
    auto c = f.capture();
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();

    auto note = f.note("250314-093012");
    EXPECT_EQ(note.wlJobStatus, "done");
    EXPECT_EQ(note.externalId, "DOC_abc");
    EXPECT_EQ(note.title, "Greeting with: a second line");  // no line break reaches the frontmatter
    EXPECT_EQ(note.audioDurationSec, 12);
    EXPECT_EQ(note.classification, "voice_memo");
    EXPECT_EQ(note.sourceOrigin, "voice_memo");
    EXPECT_TRUE(note.uploadedAt);
    EXPECT_EQ(f.inbox().readBody(f.inbox().notePath("250314-093012")), "hello world");
    EXPECT_EQ(test::readFile(f.inbox().audioPath("250314-093012")), test::readFile(c.sourceURL));
    EXPECT_EQ(f.eventLog(),
              (std::vector<std::string>{"sent:250314-093012", "ready:250314-093012"}));
    EXPECT_TRUE(f.log.contains(
        "[sayloft] capture pipeline: 250314-093012 queued as task T1; resolving its cache_key"));
    EXPECT_TRUE(f.log.contains(
        "[sayloft] capture pipeline: transcript written for 250314-093012 (2 words)"));

    auto upload = f.server.requests().front();
    ASSERT_EQ(upload.path, "/api/v1/sources");
    std::map<std::string, std::string> parts;
    for (auto& p : upload.parts) parts[p.name] = p.content;
    EXPECT_EQ(parts["content_source"], "voice_memo");
    EXPECT_EQ(parts["tags"], "voice-memo,sayloft-mac");
    EXPECT_EQ(parts["content_source_metadata"], R"({"sayloft_id":"250314-093012"})");

    // A capture whose note is done is never handled again.
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();
    EXPECT_TRUE(f.log.contains("250314-093012 already has its transcript; skipping"));
    EXPECT_EQ(f.requestsTo("/api/v1/sources"), 1u);
}

TEST(CapturePipeline, UploadSwitchedOffLeavesASkippedStubAndSendsNothing) {
    PipelineFixture f;
    f.settings.settings().captureWendrelEnabled = false;
    f.start();
    f.pipeline->handle(f.capture());
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "skipped");
    EXPECT_EQ(f.server.count(), 0u);
    EXPECT_TRUE(f.log.contains("WL upload disabled; 250314-093012 remains pending in vault"));
}

TEST(CapturePipeline, KeyResolutionShortcutsAndDuplicates) {
    {
        PipelineFixture f;  // a completed task's id is its key: no task poll
        f.serveHappyPath(R"({"status":"completed","task_id":"DOC_abc"})");
        f.start();
        f.pipeline->handle(f.capture());
        f.pipeline->waitUntilIdle();
        EXPECT_EQ(f.note("250314-093012").wlJobStatus, "done");
        EXPECT_EQ(f.requestsTo("/api/v1/sources/tasks/T1"), 0u);
    }
    {
        PipelineFixture f;
        f.serveHappyPath(
            R"({"status":"duplicate_upload","cache_key":"DOC_abc","message":"seen before"})");
        f.start();
        f.pipeline->handle(f.capture());
        f.pipeline->waitUntilIdle();
        EXPECT_TRUE(
            f.log.contains("250314-093012 already in WL library; cache_key=DOC_abc (seen before)"));
        EXPECT_EQ(f.note("250314-093012").wlJobStatus, "done");
    }
    {
        PipelineFixture f;
        f.server.post("/api/v1/sources",
                      [](auto&, auto& res) { test::json(res, R"({"status":"weird"})"); });
        f.start();
        f.pipeline->handle(f.capture());
        f.pipeline->waitUntilIdle();
        EXPECT_TRUE(f.log.contains(
            "upload for 250314-093012 returned neither cache_key nor task_id (status weird)"));
        EXPECT_EQ(f.note("250314-093012").wlJobStatus, "upload_failed");
        EXPECT_EQ(f.eventLog(), std::vector<std::string>{"failed:250314-093012:upload_failed"});
    }
}

TEST(CapturePipeline, PollWaitsGrowAndSixHoursEndInPollTimeout) {
    PipelineFixture f;
    std::mutex m;
    std::vector<core::TimePoint> polls;
    f.server.post("/api/v1/sources", [](auto&, auto& res) {
        test::json(res, R"({"status":"queued","cache_key":"K1"})");
    });
    f.server.get("/api/v1/sources/K1/status", [&](auto&, auto& res) {
        std::lock_guard lock(m);
        polls.push_back(f.clock.now());
        test::json(res, statusJson("processing"));
    });
    f.start();
    f.pipeline->handle(f.capture());
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "poll_timeout");
    EXPECT_TRUE(f.log.contains("polling timed out for 250314-093012 (>360 min)"));
    ASSERT_GT(polls.size(), 60u);
    std::map<int, int> gaps;  // seconds between polls -> how often
    for (size_t i = 1; i < polls.size(); ++i)
        ++gaps[int(std::lround(core::toSeconds(polls[i] - polls[i - 1])))];
    EXPECT_EQ(gaps[5], 12);    // 0..60 s
    EXPECT_EQ(gaps[30], 18);   // 60..600 s
    EXPECT_EQ(gaps[120], 25);  // 600..3600 s
    EXPECT_EQ(gaps.size(), 4u);
    EXPECT_EQ(f.eventLog().back(), "failed:250314-093012:poll_timeout");
}

TEST(CapturePipeline, TenNotFoundAnswersLeadToOneSearchOfTheList) {
    {
        PipelineFixture f;  // the list knows the recording under a new key
        f.server.post("/api/v1/sources", [](auto&, auto& res) {
            test::json(res, R"({"status":"queued","cache_key":"DOC_old"})");
        });
        f.server.get("/api/v1/sources", [](auto&, auto& res) {
            test::json(
                res,
                R"({"files":[{"cache_key":"DOC_abc","original_filename":"250314-093012.m4a","status":"completed"}],"count":1,"has_more":false})");
        });
        f.server.get("/api/v1/sources/DOC_abc/status",
                     [](auto&, auto& res) { test::json(res, statusJson("completed")); });
        f.server.get("/api/v1/sources/DOC_abc",
                     [](auto&, auto& res) { test::json(res, detailJson("DOC_abc")); });
        f.start();
        f.pipeline->handle(f.capture());
        f.pipeline->waitUntilIdle();
        EXPECT_EQ(f.requestsTo("/api/v1/sources/DOC_old/status"), 10u);
        EXPECT_TRUE(f.log.contains("250314-093012 moved in WL: DOC_old -> DOC_abc"));
        auto note = f.note("250314-093012");
        EXPECT_EQ(note.wlJobStatus, "done");
        EXPECT_EQ(note.externalId, "DOC_abc");
    }
    {
        PipelineFixture f;  // nowhere to be found, and the upload to learn the key fails too
        auto uploads = std::make_shared<std::atomic<int>>(0);
        f.server.post("/api/v1/sources", [uploads](auto&, auto& res) {
            if (++*uploads == 1)
                return test::json(res, R"({"status":"queued","cache_key":"DOC_old"})");
            test::json(res, R"({"error":"boom"})", 500);
        });
        f.server.get("/api/v1/sources", [](auto&, auto& res) {
            test::json(res, R"({"files":[],"count":0,"has_more":false})");
        });
        f.start();
        f.pipeline->handle(f.capture());
        f.pipeline->waitUntilIdle();
        EXPECT_EQ(f.requestsTo("/api/v1/sources/DOC_old/status"), 10u);
        EXPECT_TRUE(f.log.contains(
            "250314-093012 not in the source list; uploading again to learn its key"));
        EXPECT_TRUE(
            f.log.contains("WL has no document for 250314-093012 (cache_key DOC_old); giving up"));
        EXPECT_EQ(f.note("250314-093012").wlJobStatus, "failed");
        EXPECT_EQ(f.eventLog().back(), "failed:250314-093012:failed");
    }
}

TEST(CapturePipeline, RefusedRetrievalFailsAndServiceFailureIsRecorded) {
    PipelineFixture f;
    f.server.post("/api/v1/sources", [](auto&, auto& res) {
        test::json(res, R"({"status":"queued","cache_key":"K1"})");
    });
    f.server.get("/api/v1/sources/K1/status",
                 [](auto&, auto& res) { test::json(res, statusJson("completed")); });
    f.server.get("/api/v1/sources/K1", [](auto&, auto& res) {
        test::json(
            res,
            R"({"error":"plan_required","plan":"pro","message":"Upgrade to read transcripts"})",
            402);
    });
    f.start();
    f.pipeline->handle(f.capture());
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "failed");
    EXPECT_TRUE(f.log.contains("retrieval refused for 250314-093012: "));
}

TEST(CapturePipeline, FailedUploadIsRetriedAfterTheWatermarkOnly) {
    PipelineFixture f;
    auto healthy = std::make_shared<std::atomic<bool>>(false);
    f.server.post("/api/v1/sources", [healthy](auto&, auto& res) {
        if (!*healthy) return test::json(res, "", 500);
        test::json(res, R"({"status":"completed","task_id":"DOC_abc"})");
    });
    f.server.get("/api/v1/sources/DOC_abc/status",
                 [](auto&, auto& res) { test::json(res, statusJson("completed")); });
    f.server.get("/api/v1/sources/DOC_abc",
                 [](auto&, auto& res) { test::json(res, detailJson("DOC_abc")); });
    f.start();
    CaptureRetry retry(*f.pipeline, f.defaults, f.clock);
    auto watermark = CaptureRetry::retryWatermark(f.defaults, f.clock);
    EXPECT_TRUE(f.log.contains("capture retry: watermark set to "));

    auto old = f.capture("20000101 000000.m4a");  // recorded long before the watermark
    auto fresh = f.capture();
    fresh.timestamp = watermark + std::chrono::hours(1);
    f.pipeline->handle(old);
    f.pipeline->handle(fresh);
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "upload_failed");
    EXPECT_EQ(f.note("000101-000000").wlJobStatus, "upload_failed");
    EXPECT_EQ(retry.pendingIds(), std::vector<std::string>{"250314-093012"});

    *healthy = true;
    std::vector<std::string> progress;
    retry.run([&](const CaptureRetry::Progress& p) { progress.push_back(p.text()); });
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(progress, (std::vector<std::string>{"Scanning _inbox…", "Uploading 1 of 1",
                                                  "Done. 1 uploaded, 0 skipped, 0 failed."}));
    EXPECT_TRUE(f.log.contains("capture retry: 250314-093012 uploaded; cache_key=DOC_abc"));
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "done");
    EXPECT_EQ(f.note("000101-000000").wlJobStatus, "upload_failed");
}

TEST(CapturePipeline, RetryGapsAndQueuedNotesWithAKeyAreLeftAlone) {
    PipelineFixture f;
    f.settings.settings().captureWendrelEnabled = false;  // stubs only
    f.start();
    auto watermark = CaptureRetry::retryWatermark(f.defaults, f.clock);
    for (auto name : {"20990101 000001.m4a", "20990101 000002.m4a", "20990101 000003.m4a"})
        f.pipeline->handle(f.capture(name));
    f.pipeline->waitUntilIdle();
    auto writer = f.inbox();
    auto queued = f.note("990101-000003");
    queued.wlJobStatus = "queued";
    queued.externalId = "DOC_x";
    writer.writeMarkdown(queued, "");
    EXPECT_FALSE(CaptureRetry::isRetryable(queued));
    queued.externalId.reset();
    EXPECT_TRUE(CaptureRetry::isRetryable(queued));
    queued.externalId = "DOC_x";

    f.settings.settings().captureWendrelEnabled = true;
    f.server.post("/api/v1/sources", [](auto&, auto& res) { test::json(res, "", 500); });
    CaptureRetry retry(*f.pipeline, f.defaults, f.clock);
    auto before = f.clock.totalSlept();
    std::string last;
    retry.run([&](const CaptureRetry::Progress& p) { last = p.text(); });
    EXPECT_EQ(last, "Done. 0 uploaded, 0 skipped, 2 failed.");
    EXPECT_GE(f.clock.totalSlept() - before, core::seconds(2));  // one gap between two uploads
    EXPECT_GE(watermark, core::TimePoint{});
}

TEST(CapturePipeline, CollisionWithARecordingFilesTheMemoUnderASuffix) {
    PipelineFixture f;
    f.settings.settings().captureWendrelEnabled = false;
    f.start();
    auto writer = f.inbox();
    writer.ensureDirectories();
    InboxWriter::Frontmatter recording;
    recording.id = "250314-093012";
    recording.classification = "meeting_recording";
    recording.sourceOrigin = "sayloft_recorder";
    writer.writeMarkdown(recording, "meeting");

    auto c = f.capture();
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();
    EXPECT_TRUE(
        f.log.contains("250314-093012 is a recording's id; capturing 20250314 093012-3F2A9C1B.m4a "
                       "as 250314-093012_2"));
    EXPECT_EQ(f.note("250314-093012_2").sourceOrigin, "voice_memo");
    EXPECT_EQ(writer.readBody(writer.notePath("250314-093012")), "meeting");
    EXPECT_EQ(f.pipeline->resolveCollision("250314-093012"),
              "250314-093012_2");  // finds its own stub again
}

TEST(CapturePipeline, ResumeFollowsKnownKeysAndUploadsTheRest) {
    PipelineFixture f;
    f.serveHappyPath(R"({"status":"completed","task_id":"DOC_abc"})");
    f.server.get("/api/v1/sources/DOC_known/status",
                 [](auto&, auto& res) { test::json(res, statusJson("completed")); });
    f.server.get("/api/v1/sources/DOC_known",
                 [](auto&, auto& res) { test::json(res, detailJson("DOC_known", "resumed")); });
    f.start();
    CaptureRetry::retryWatermark(f.defaults, f.clock);
    auto writer = f.inbox();
    writer.ensureDirectories();
    auto add = [&](const std::string& id, const std::string& status,
                   std::optional<std::string> key) {
        InboxWriter::Frontmatter n;
        n.id = id;
        n.created = f.clock.now() + std::chrono::minutes(1);
        n.wlJobStatus = status;
        n.externalId = key;
        writer.writeMarkdown(n, "");
        test::writeFile(writer.audioPath(id), "audio");
    };
    add("a", "processing", "DOC_known");
    add("b", "upload_failed", "DOC_stale");
    add("c", "skipped", std::nullopt);  // not resumed: waits for a manual retry
    add("d", "done", "DOC_done");
    EXPECT_EQ(f.pipeline->resumeUnfinished(), 2);
    f.pipeline->waitUntilIdle();
    EXPECT_TRUE(f.log.contains("a resumed (polling DOC_known)"));
    EXPECT_TRUE(f.log.contains("b resumed (uploading again)"));
    EXPECT_EQ(f.note("a").wlJobStatus, "done");
    EXPECT_EQ(writer.readBody(writer.notePath("a")), "resumed");
    EXPECT_EQ(f.note("b").wlJobStatus, "done");
    EXPECT_EQ(f.note("b").externalId, "DOC_abc");
    EXPECT_EQ(f.note("c").wlJobStatus, "skipped");
}

TEST(BackfillSync, SameSecondSourcesGetSuffixesAndASecondSyncFetchesNothing) {
    PipelineFixture f;
    f.server.get("/api/v1/sources", [](auto&, auto& res) {
        test::json(res,
                   R"({"files":[{"cache_key":"DOC_1","created_at":1741941012,"llm_title":"One"},
                                     {"cache_key":"DOC_2","created_at":1741941012.4}],
                            "count":2,"has_more":false})");
    });
    f.server.get("/api/v1/sources/DOC_1",
                 [](auto&, auto& res) { test::json(res, detailJson("DOC_1", "first")); });
    f.server.get("/api/v1/sources/DOC_2", [](auto&, auto& res) {
        test::json(res, R"({"success":true,"cache_key":"DOC_2","result":{}})");
    });
    f.start();
    service::WendrelClient client(f.server.baseURL(), f.keys.keychain, f.clock);
    BackfillSync sync(client, f.inbox(), f.clock);
    std::vector<std::string> texts;
    sync.run([&](const BackfillSync::Progress& p) { texts.push_back(p.text()); });
    EXPECT_EQ(texts.back(), "Done.\nSynced: 2\nAlready in vault (skipped): 0\nFailed: 0");
    auto id = FilenameNormaliser::canonicalId(core::TimePoint{std::chrono::seconds(1741941012)});
    auto first = f.note(id), second = f.note(id + "_2");
    EXPECT_EQ(first.externalId, "DOC_1");
    EXPECT_EQ(first.sourceOrigin, "wendrel_backfill");
    EXPECT_EQ(first.wlJobStatus, "done");
    EXPECT_EQ(second.externalId, "DOC_2");
    EXPECT_EQ(f.inbox().readBody(f.inbox().notePath(id + "_2")),
              "(no transcript content available)");

    texts.clear();
    sync.run([&](const BackfillSync::Progress& p) { texts.push_back(p.text()); });
    EXPECT_TRUE(f.log.contains("BackfillSync: total_remote=2 already_local=2 to_fetch=0"));
    EXPECT_EQ(texts.back(), "Nothing to sync — your vault is already up to date.");
}

TEST(CapturePipeline, AFailureBeforeTheNoteLeavesTheFileToBeCapturedAgain) {
    PipelineFixture f;
    f.serveHappyPath();
    f.start();
    CaptureStateStore store(f.home.path() / "state.json", f.home.path() / "legacy.json", f.clock);
    f.pipeline = std::make_unique<CapturePipeline>(CapturePipeline::Dependencies{
        f.settings, f.keys.keychain, f.clock, f.defaults, nullptr, nullptr, &store});
    // The vault path is a file: nothing can be written below it.
    const auto vault = f.home.path() / "Vault";
    test::writeFile(vault, "not a folder");
    auto c = f.capture();
    c.canonicalId =
        store.claim(c.sourceURL.filename().string(), c.folderId, c.canonicalId, f.clock.now());
    c.claimed = true;
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();
    EXPECT_TRUE(f.log.contains("copyAudio failed for 250314-093012"));
    EXPECT_TRUE(f.log.contains("250314-093012 stays pending; trying again in 30s"));
    auto pending = store.pending();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].entry.attempts, 1);
    EXPECT_FALSE(store.hasSeen(c.sourceURL.filename().string(), c.folderId));

    // Mended: the next due hand-on captures it, under the same id, to its transcript.
    fs::remove(vault);
    EXPECT_TRUE(store.takeDuePending(c.folderId).empty());
    f.clock.advance(core::seconds(31));
    ASSERT_EQ(store.takeDuePending(c.folderId).size(), 1u);
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "done");
    EXPECT_TRUE(store.hasSeen(c.sourceURL.filename().string(), c.folderId));
    EXPECT_TRUE(store.pending().empty());
    // No partial copy is left in the audio folder.
    for (auto& e : fs::directory_iterator(f.inbox().audioDir()))
        EXPECT_FALSE(e.path().filename().string().ends_with(".tmp"));
}

TEST(CapturePipeline, ImplausibleNumbersFromTheServiceStayOutOfTheNote) {
    PipelineFixture f;
    f.server.get("/api/v1/sources/DOC_abc", [](auto&, auto& res) {  // first route wins
        auto j = core::Json::parse(detailJson("DOC_abc"));
        j["result"]["duration"] = 1e308;
        test::json(res, j.dump());
    });
    f.serveHappyPath();
    f.start();
    f.pipeline->handle(f.capture());
    f.pipeline->waitUntilIdle();
    auto note = f.note("250314-093012");
    EXPECT_EQ(note.wlJobStatus, "done");
    EXPECT_FALSE(note.audioDurationSec);
}

TEST(CapturePipeline, ARefusedPairingStopsPollingUntilPairedAgain) {
    PipelineFixture f;
    auto polls = std::make_shared<std::atomic<int>>(0);
    f.server.get("/api/v1/sources/DOC_abc/status", [polls](auto&, auto& res) {
        ++*polls;
        test::json(res, R"({"error":"revoked"})", 401);
    });
    f.serveHappyPath();
    platform::FakeNotifications notes;
    f.start();
    f.pipeline = std::make_unique<CapturePipeline>(CapturePipeline::Dependencies{
        f.settings, f.keys.keychain, f.clock, f.defaults, nullptr, nullptr, nullptr, &notes});
    f.pipeline->handle(f.capture());
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(polls->load(), 1);                               // no polling for ever
    EXPECT_EQ(f.note("250314-093012").wlJobStatus, "queued");  // resumed once paired again
    EXPECT_TRUE(f.log.contains("refused this computer's pairing (401)"));
    EXPECT_EQ(notes.posted().size(), 1u);
    EXPECT_FALSE(CapturePipeline::pairingRefusedLine(f.defaults, f.keys.keychain).empty());

    // The next start does not resume while the same token is refused; a new pairing does.
    EXPECT_TRUE(CapturePipeline::pairingRefused(f.defaults, f.keys.keychain));
    f.keys.setToken("wdt_fedcba9876543210fedcba9876");
    EXPECT_FALSE(CapturePipeline::pairingRefused(f.defaults, f.keys.keychain));
}

TEST(CapturePipeline, RetryCountsFromFirstSightAndMendsAFailedTranscriptFetch) {
    PipelineFixture f;
    auto fetches = std::make_shared<std::atomic<int>>(0);
    f.server.get("/api/v1/sources/DOC_abc", [fetches](auto&, auto& res) {
        if (++*fetches <= 2) return test::json(res, "not json at all", 500);  // probe, fetch
        test::json(res, detailJson("DOC_abc"));
    });
    f.serveHappyPath(R"({"status":"completed","task_id":"DOC_abc"})");
    f.start();
    CaptureStateStore store(f.home.path() / "state.json", f.home.path() / "legacy.json", f.clock);
    f.pipeline = std::make_unique<CapturePipeline>(CapturePipeline::Dependencies{
        f.settings, f.keys.keychain, f.clock, f.defaults, nullptr, nullptr, &store});
    CaptureRetry retry(*f.pipeline, f.defaults, f.clock);
    CaptureRetry::retryWatermark(f.defaults, f.clock);
    f.clock.advance(core::seconds(60));

    // Named for a day long before the watermark, first seen after it.
    auto c = f.capture("20000101 000000.m4a");
    c.canonicalId =
        store.claim(c.sourceURL.filename().string(), c.folderId, c.canonicalId, f.clock.now());
    c.claimed = true;
    f.pipeline->handle(c);
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("000101-000000").wlJobStatus, "completed");  // the fetch failed
    EXPECT_EQ(retry.pendingIds(), std::vector<std::string>{"000101-000000"});

    retry.run([](const CaptureRetry::Progress&) {});
    f.pipeline->waitUntilIdle();
    EXPECT_EQ(f.note("000101-000000").wlJobStatus, "done");
    EXPECT_EQ(f.inbox().readBody(f.inbox().notePath("000101-000000")), "hello world");
}
