#include <gtest/gtest.h>

#include "capture/capture_state_store.hpp"
#include "core/time_format.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
namespace fs = std::filesystem;

namespace {
struct StoreFiles {
    test::TempDir dir;
    fs::path store = dir / "support" / "state.json";
    fs::path legacy = dir / ".voice_memo_watcher_state.json";
};
}  // namespace

TEST(CaptureStateStore, VersionOneIsMigratedAndRewrittenAtOnce) {
    StoreFiles f;
    test::writeFile(f.store, R"({
      "seenByFolder": {"voice-memos": {"b.m4a": {"canonicalId": "kept", "firstSeen": "2025-01-01T00:00:00Z"}}},
      "voiceMemosSeen": {
        "a.m4a": {"canonicalId": "250314-093012", "firstSeen": "2025-03-14T08:30:12Z"},
        "b.m4a": {"canonicalId": "lost", "firstSeen": "2025-03-14T08:30:12Z"}}})");
    test::LogCollector log;
    core::ManualClock clock;
    CaptureStateStore store(f.store, f.legacy, clock);
    EXPECT_TRUE(log.contains("[sayloft] capture: migrated state v1 -> v2 (2 entries)"));
    auto state = store.snapshot();
    EXPECT_EQ(state.version, 2);
    EXPECT_TRUE(state.voiceMemosSeen.empty());
    EXPECT_EQ(state.seenByFolder["voice-memos"]["b.m4a"].canonicalId, "kept");
    EXPECT_EQ(state.seenByFolder["voice-memos"]["a.m4a"].canonicalId, "250314-093012");
    auto written = core::Json::parse(test::readFile(f.store));
    EXPECT_EQ(written["version"], 2);
    EXPECT_EQ(written["voiceMemosSeen"], core::Json::object());
}

TEST(CaptureStateStore, VersionTwoLoadsAsIsWithoutRewrite) {
    StoreFiles f;
    const std::string text = R"({"version": 2, "seenByFolder": {}, "voiceMemosSeen": {}})";
    test::writeFile(f.store, text);
    CaptureStateStore store(f.store, f.legacy);
    EXPECT_EQ(test::readFile(f.store), text);
}

TEST(CaptureStateStore, LegacyFileImportedOnceAndLeftAlone) {
    StoreFiles f;
    const std::string legacy = R"({"processed": ["20250314 093012.m4a", "x.m4a"], "other": 1})";
    test::writeFile(f.legacy, legacy);
    core::ManualClock clock;
    test::LogCollector log;
    CaptureStateStore store(f.store, f.legacy, clock);
    EXPECT_TRUE(log.contains("migrating 2 entries from voice-memo-watcher state"));
    auto state = store.snapshot();
    auto& vm = state.seenByFolder["voice-memos"];
    ASSERT_EQ(vm.size(), 2u);
    EXPECT_EQ(vm["x.m4a"].canonicalId, "");
    EXPECT_EQ(vm["x.m4a"].firstSeen, vm["20250314 093012.m4a"].firstSeen);
    EXPECT_TRUE(fs::exists(f.store));
    EXPECT_EQ(test::readFile(f.legacy), legacy);

    // A legacy file of the wrong shape is ignored and nothing is written.
    StoreFiles g;
    test::writeFile(g.legacy, R"({"processed": ["a", 3]})");
    CaptureStateStore empty(g.store, g.legacy);
    EXPECT_TRUE(empty.snapshot().seenByFolder.empty());
    EXPECT_FALSE(fs::exists(g.store));
}

TEST(CaptureStateStore, DamagedFileIsSetAsideAndThePreviousGenerationRestored) {
    StoreFiles f;
    core::ManualClock clock;
    {
        CaptureStateStore store(f.store, f.legacy, clock);
        store.markSeen("a.wav", "id-a", "x", clock.now());
        store.save();
        store.markSeen("b.wav", "id-b", "x", clock.now());
        store.save();  // a.wav alone is now the previous generation
    }
    // Truncated, and (second round) the right JSON with a wrong type.
    for (std::string bad : {std::string("{\"version\": 2, \"seenByFolder\": {\"x\": {\"a"),
                            std::string(R"({"version": 2, "seenByFolder": []})")}) {
        test::writeFile(f.store, bad);
        test::LogCollector log;
        CaptureStateStore store(f.store, f.legacy, clock);
        EXPECT_TRUE(log.contains("state file damaged")) << bad;
        EXPECT_TRUE(log.contains("restored the previous generation"));
        EXPECT_TRUE(store.hasSeen("a.wav", "x"));
        EXPECT_FALSE(store.recoveredAfter());
        int aside = 0;
        for (auto& e : fs::directory_iterator(f.store.parent_path()))
            if (e.path().filename().string().starts_with("state.json.damaged-")) {
                ++aside;
                if (aside == 1) {
                    EXPECT_EQ(test::readFile(e.path()), bad);
                }
                fs::remove(e.path());
            }
        EXPECT_EQ(aside, 1);
        store.markSeen("b.wav", "id-b", "x", clock.now());
        store.save();
    }

    // Both generations damaged: nothing is known, but the time of the last good write is.
    test::writeFile(f.store, "garbage");
    test::writeFile(f.store.string() + ".previous", "garbage");
    CaptureStateStore store(f.store, f.legacy, clock);
    EXPECT_EQ(store.seenCount("x"), 0);
    ASSERT_TRUE(store.recoveredAfter());
}

TEST(CaptureStateStore, ClaimsArePendingUntilCapturedAndKeepTheirIdAcrossARestart) {
    StoreFiles f;
    core::ManualClock clock;
    {
        CaptureStateStore store(f.store, f.legacy, clock);
        // Same second, two sources: two ids; a recording's note holds the base id's _2.
        auto usable = [](const std::string& id) { return id != "250314-093012_2"; };
        EXPECT_EQ(store.claim("a.m4a", "f", "250314-093012", clock.now(), usable), "250314-093012");
        EXPECT_EQ(store.claim("b.m4a", "f", "250314-093012", clock.now(), usable),
                  "250314-093012_3");
        EXPECT_EQ(store.claim("a.m4a", "f", "other", clock.now(), usable), "250314-093012");
        EXPECT_TRUE(store.isKnown("a.m4a", "f"));
        EXPECT_FALSE(store.hasSeen("a.m4a", "f"));
        EXPECT_TRUE(store.takeDuePending("f").empty());  // in flight in this process
        store.captured("a.m4a", "f");
        EXPECT_TRUE(store.hasSeen("a.m4a", "f"));
        store.save();
    }
    CaptureStateStore store(f.store, f.legacy, clock);
    auto due = store.takeDuePending("f");  // a new process: every pending file is due
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].fileName, "b.m4a");
    EXPECT_EQ(due[0].entry.captureId, "250314-093012_3");
    // A third source of that second still does not take a held id.
    EXPECT_EQ(store.claim("c.m4a", "f", "250314-093012", clock.now()), "250314-093012_2");

    // Failures come back after a pause that doubles up to an hour.
    EXPECT_EQ(store.captureFailed("b.m4a", "f", "disk full"), 30);
    EXPECT_TRUE(store.takeDuePending("f").empty());
    clock.advance(core::seconds(31));
    ASSERT_EQ(store.takeDuePending("f").size(), 1u);
    EXPECT_EQ(store.captureFailed("b.m4a", "f", "disk full"), 60);
    for (int i = 0; i < 10; ++i) store.captureFailed("b.m4a", "f", "disk full");
    EXPECT_EQ(store.captureFailed("b.m4a", "f", "disk full"), 3600);
    EXPECT_EQ(store.retryPendingNow(), 2);
    auto listed = store.pending();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].entry.lastError, "disk full");
}

TEST(CaptureStateStore, ForgetSetsTheMarkerEvenWhenNothingWasSeen) {
    StoreFiles f;
    core::ManualClock clock;
    CaptureStateStore store(f.store, f.legacy, clock);
    EXPECT_EQ(store.forget({}, "voice-memos"), 0);
    EXPECT_EQ(store.seenCount("voice-memos"), 1);
    EXPECT_TRUE(store.hasSeen(CaptureStateStore::kIndexDoneMarker, "voice-memos"));
    store.markSeen("a.m4a", "1", "voice-memos", clock.now());
    store.markSeen("b.m4a", "2", "voice-memos", clock.now());
    EXPECT_EQ(store.forget({"a.m4a", "never.m4a"}, "voice-memos"), 1);
    EXPECT_FALSE(store.hasSeen("a.m4a", "voice-memos"));
    EXPECT_EQ(store.seenCount("voice-memos"), 2);
}

TEST(CaptureStateStore, NamesThatAreNotUtf8SurviveAReload) {
    StoreFiles f;
    core::ManualClock clock;
    const std::string bad = "rec\xff\xfe name\n.wav";
    {
        CaptureStateStore store(f.store, f.legacy, clock);
        store.markSeen(bad, "", "f", clock.now());
        store.markSeen("caf\xc3\xa9.wav", "", "f", clock.now());
    }
    CaptureStateStore store(f.store, f.legacy, clock);
    EXPECT_TRUE(store.hasSeen(bad, "f"));
    EXPECT_FALSE(store.hasSeen("rec\xff\xfd name\n.wav", "f"));
    EXPECT_TRUE(store.hasSeen("caf\xc3\xa9.wav", "f"));
    EXPECT_NE(test::readFile(f.store).find("caf\xc3\xa9.wav"), std::string::npos);
}

TEST(FilenameNormaliser, ParsesVoiceMemosNamesOnly) {
    auto p = FilenameNormaliser::parse("20250314 093012.m4a");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->hexId, "");
    EXPECT_EQ(core::formatLocal(p->timestamp, "yyyy-MM-dd HH:mm:ss"), "2025-03-14 09:30:12");
    EXPECT_EQ(FilenameNormaliser::canonicalId(p->timestamp), "250314-093012");
    EXPECT_EQ(FilenameNormaliser::parse("20250314 093012-3F2A9C1B.m4a")->hexId, "3F2A9C1B");
    EXPECT_TRUE(FilenameNormaliser::parse("20250314   093012.m4a"));
    EXPECT_TRUE(FilenameNormaliser::parse("20250314\t093012.m4a"));
    for (auto name : {"20250314 093012-abc.M4A", "20250314_093012.m4a", "20250314 093012.qta",
                      "20251314 093012.m4a", "notes 2025.m4a", "20250314 093012-xyz.m4a"}) {
        EXPECT_FALSE(FilenameNormaliser::parse(name)) << name;
    }
}
