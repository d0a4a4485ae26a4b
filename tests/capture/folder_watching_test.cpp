#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "capture/capture_coordinator.hpp"
#include "capture/folder_watcher.hpp"
#include "core/time_format.hpp"
#include "platform/notify_once.hpp"
#include "platform_fakes.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
using settings::WatchedFolder;
namespace fs = std::filesystem;
using Kind = CaptureAccess::State::Kind;

namespace {

// A 16-bit mono PCM WAV of the given length.
void writeWav(const fs::path& path, double seconds, int rate = 8000) {
    uint32_t samples = uint32_t(seconds * rate), bytes = samples * 2;
    std::string out = "RIFF";
    auto u32 = [&](uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    u32(36 + bytes);
    out += "WAVEfmt ";
    u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
    out += "data";
    u32(bytes);
    out.append(bytes, '\0');
    test::writeFile(path, out);
}

void setModified(const fs::path& path, core::TimePoint t) {
    struct timespec times[2];
    auto s = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    times[0] = times[1] = {s, 0};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct Fixture {
    test::TempHome home;
    test::TempDir folderDir;
    core::ManualClock clock{core::SystemClock::now()};
    CaptureStateStore store{home.path() / "state.json", home.path() / "legacy.json", clock};
    test::LogCollector log;

    Fixture() { clock.setAutoAdvance(true); }

    WatchedFolder folder(WatchedFolder::Normaliser n = WatchedFolder::Normaliser::none) {
        return WatchedFolder{"folder-t", folderDir.path().string(), "Test", true, {}, n};
    }
};

}  // namespace

TEST(FolderWatcher, InitialIndexAbsorbsWhatIsThereAndLaterFilesAreNew) {
    Fixture f;
    for (int i = 0; i < 12; ++i) writeWav(f.folderDir / ("old" + std::to_string(i) + ".wav"), 1);
    test::writeFile(f.folderDir / "notes.txt", "not audio");
    FolderWatcher w(f.folder(), f.store, f.clock);
    EXPECT_EQ(w.runInitialIndex(), 12);
    EXPECT_TRUE(f.log.contains(
        "[sayloft] capture: [Test] initial index complete (12 existing files marked seen)"));
    EXPECT_TRUE(w.poll().empty());

    FolderWatcher again(f.folder(), f.store, f.clock);  // as after a reload
    EXPECT_EQ(again.runInitialIndex(), 0);
    writeWav(f.folderDir / "new.wav", 1);
    auto when = core::parseLocal("20250314093012", "yyyyMMddHHmmss").value();
    setModified(f.folderDir / "new.wav", when);
    auto captures = again.poll();
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].canonicalId, "250314-093012");
    EXPECT_EQ(captures[0].sourceURL, f.folderDir / "new.wav");
    EXPECT_EQ(captures[0].folderId, "folder-t");
    EXPECT_TRUE(f.log.contains("[sayloft] capture: [Test] new file -- new.wav -> 250314-093012"));
    EXPECT_TRUE(again.poll().empty());
}

TEST(FolderWatcher, GuardsDeferOrSkipAsTheyShould) {
    Fixture f;
    auto vm = f.folder(WatchedFolder::Normaliser::voiceMemos);
    vm.extensions = {"m4a", "qta", "wav"};
    f.store.forget({}, vm.id);  // index done: everything below is new
    writeWav(f.folderDir / "20250314 093012.m4a", 1);
    writeWav(f.folderDir / "20250314 093012.qta", 1);  // has a finished twin
    writeWav(f.folderDir / "20250315 101010.qta", 1);  // young, no twin
    writeWav(f.folderDir / "20250316 111111.qta", 1);  // old, no twin
    setModified(f.folderDir / "20250316 111111.qta", f.clock.now() - std::chrono::hours(1));
    test::writeFile(f.folderDir / "20250317 120000.m4a", "");  // 0 bytes
    writeWav(f.folderDir / "20250318 120000.m4a", 0.3);        // too short
    writeWav(f.folderDir / "notes 2025.m4a", 1);               // unparseable

    FolderWatcher w(vm, f.store, f.clock);
    auto captures = w.poll();
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].canonicalId, "250314-093012");
    EXPECT_TRUE(
        f.log.contains("skipping 20250314 093012.qta (20250314 093012.m4a is the canonical twin)"));
    EXPECT_TRUE(f.log.contains("deferring 20250315 101010.qta (young .qta ("));
    EXPECT_TRUE(f.log.contains("s < 600s), may still be recording)"));
    EXPECT_TRUE(f.log.contains("unparseable name, marking seen: 20250316 111111.qta"));
    EXPECT_TRUE(f.log.contains("deferring 20250317 120000.m4a (0-byte file, sync in flight)"));
    EXPECT_TRUE(f.log.contains("skipping 20250318 120000.m4a (audio too short (0.30s < 0.50s))"));
    EXPECT_TRUE(f.log.contains("unparseable name, marking seen: notes 2025.m4a"));
    EXPECT_FALSE(f.store.hasSeen("20250315 101010.qta", vm.id));  // deferred: looked at again
    EXPECT_FALSE(f.store.hasSeen("20250317 120000.m4a", vm.id));
    EXPECT_TRUE(f.store.hasSeen("20250318 120000.m4a", vm.id));

    // The same unparseable name in a folder without the normaliser is captured by its date.
    test::TempDir other;
    writeWav(other / "notes 2025.m4a", 1);
    WatchedFolder plain{"folder-p", other.path().string(),          "Plain", true,
                        {},         WatchedFolder::Normaliser::none};
    f.store.forget({}, plain.id);
    EXPECT_EQ(FolderWatcher(plain, f.store, f.clock).poll().size(), 1u);
}

TEST(FolderWatcher, SizeStillChangingThroughTheWindowIsDeferred) {
    Fixture f;
    writeWav(f.folderDir / "growing.wav", 1);
    writeWav(f.folderDir / "unknown-length.wav", 1);
    f.store.forget({}, "folder-t");
    std::uint64_t grow = 100;
    CaptureGuards guards = CaptureGuards::defaults();
    guards.size = [&](const fs::path& p) -> std::optional<std::uint64_t> {
        if (p.filename() == "growing.wav") return grow += 10;
        return CaptureGuards::defaultSize(p);
    };
    guards.duration = [](const fs::path&) { return std::optional<double>(); };
    FolderWatcher w(f.folder(), f.store, f.clock, guards);
    auto before = f.clock.totalSlept();
    auto captures = w.poll();
    // One window for both files: the stable one does not wait for the other.
    EXPECT_GE(f.clock.totalSlept() - before, core::seconds(FolderWatcher::kWindow));
    EXPECT_LT(f.clock.totalSlept() - before, core::seconds(FolderWatcher::kWindow + 3));
    EXPECT_TRUE(f.log.contains("deferring growing.wav (size still changing)"));
    ASSERT_EQ(captures.size(), 1u);  // an unknown duration is no reason to skip
    EXPECT_EQ(captures[0].sourceURL.filename(), "unknown-length.wav");
}

TEST(FolderWatcher, HostileNamesAreCapturedAndLoggedOnOneLine) {
    Fixture f;
    f.store.forget({}, "folder-t");
    std::vector<std::string> names = {"it's \"quoted\".wav", "$(touch pwned).wav", "`id`.wav",
                                      "line\nbreak.wav", "bad\xff\xfe.wav"};
    for (auto& n : names) writeWav(f.folderDir / n, 1);
    auto captures = FolderWatcher(f.folder(), f.store, f.clock).poll();
    EXPECT_EQ(captures.size(), names.size());
    EXPECT_FALSE(fs::exists(f.folderDir / "pwned"));
    for (auto& line : f.log.lines()) EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_TRUE(f.log.contains("new file -- line\\nbreak.wav"));
    CaptureStateStore reread(f.home.path() / "state.json", f.home.path() / "legacy.json", f.clock);
    for (auto& n : names) EXPECT_TRUE(reread.isKnown(n, "folder-t")) << n;
}

TEST(CaptureAccess, ChecksAndTexts) {
    test::TempDir dir;
    EXPECT_EQ(CaptureAccess::check(dir / "nope", {"wav"}, true), CaptureAccess::State::missing());
    EXPECT_EQ(CaptureAccess::check(dir.path(), {"wav"}, false),
              CaptureAccess::State::notConfigured());
    EXPECT_EQ(CaptureAccess::check(dir.path(), {"wav"}, true), CaptureAccess::State::empty());
    test::writeFile(dir / "a.WAV", "x");
    test::writeFile(dir / ".hidden.wav", "x");
    auto ok = CaptureAccess::check(dir.path(), {"wav"}, true);
    EXPECT_EQ(ok, CaptureAccess::State::ok(1));
    EXPECT_EQ(ok.summary("Rec"), "Rec: 1 file visible");
    EXPECT_EQ(CaptureAccess::State::ok(2).summary("Rec"), "Rec: 2 files visible");
    EXPECT_EQ(CaptureAccess::State::ok(1).explanation(),
              "sayloft can read the Voice Memos folder (1 file).");
    EXPECT_NE(CaptureAccess::State::ok(1), CaptureAccess::State::ok(2));
    EXPECT_EQ(CaptureAccess::State::missing().summary("Voice Memos"),
              "Voice Memos folder not found");
    EXPECT_EQ(CaptureAccess::State::denied().summary("X"), "Folder permission needed");
}

TEST(CaptureGuards, ParsesAfinfoStyleDuration) {
    EXPECT_EQ(CaptureGuards::parseDuration("File: x\n  estimated duration: 12.5 sec\n"),
              std::nullopt);
    EXPECT_EQ(CaptureGuards::parseDuration("bit rate: 64000\n  12.500 sec\n"), 12.5);
    EXPECT_EQ(CaptureGuards::parseDuration("nothing here"), std::nullopt);
    EXPECT_EQ(CaptureGuards::parseDuration(" abc sec\n 0.25 sec"), 0.25);
}

TEST(CaptureCoordinator, AccessChangesLogAndNotifyOncePerProblem) {
    Fixture f;
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notes;
    std::vector<CaptureAccess::State> script;
    size_t next = 0;
    CaptureCoordinator c({[&] { return std::vector{f.folder()}; }, f.store, f.clock, defaults,
                          notes, CaptureGuards::defaults(),
                          [&](const FolderWatcher&) { return script[next++]; }});
    auto run = [&](std::vector<CaptureAccess::State> states) {
        script = states;
        next = 0;
        for (size_t i = 0; i < states.size(); ++i) c.runOnce();
    };
    using S = CaptureAccess::State;
    run({S::ok(1), S::denied(), S::denied()});
    EXPECT_EQ(f.log.count("[sayloft] capture: [Test] access -> Folder permission needed"), 1u);
    EXPECT_EQ(notes.posted().size(), 1u);
    EXPECT_EQ(notes.posted()[0].identifier, "env.capture-access-folder-t-denied");
    EXPECT_EQ(notes.posted()[0].title, "Folder permission needed");

    run({S::ok(1), S::denied()});
    EXPECT_EQ(notes.posted().size(), 2u);  // recovery re-armed the notice
    run({S::missing(), S::empty(), S::missing()});
    EXPECT_EQ(notes.posted().size(), 4u);  // missing and empty once each until a recovery
    EXPECT_TRUE(
        defaults.boolValue("sayloft.envNotified.capture-access-folder-t-missing").value_or(false));
    run({S::notConfigured()});
    EXPECT_FALSE(defaults.contains("sayloft.envNotified.capture-access-folder-t-missing"));
}

TEST(CaptureCoordinator, TicksOnTheClockAndStopsCleanly) {
    Fixture f;
    f.clock.setAutoAdvance(false);
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notes;
    writeWav(f.folderDir / "before.wav", 1);
    std::vector<std::string> seen;
    std::vector<int> polls;
    CaptureCoordinator c({[&] { return std::vector{f.folder()}; },
                          f.store,
                          f.clock,
                          defaults,
                          notes,
                          CaptureGuards::defaults(),
                          {}});
    c.watchChanges = false;  // the timer alone
    c.setOnNewCapture(
        [&](const FolderWatcher::NewCapture& n) { seen.push_back(n.sourceURL.filename()); });
    c.setOnPoll([&](int n) { polls.push_back(n); });
    c.start();
    c.drain();
    EXPECT_TRUE(c.isRunning());
    EXPECT_TRUE(f.log.contains("coordinator started (poll=30s, folders=Test)"));
    writeWav(f.folderDir / "after.wav", 1);

    f.clock.advance(core::seconds(2));  // first tick; it blocks in its first size sample
    for (int i = 0; i < 4; ++i) {       // unchanged for 8 seconds
        ASSERT_TRUE(f.clock.waitForSleepers(1));
        f.clock.advance(core::seconds(2));
    }
    c.drain();
    EXPECT_EQ(seen, std::vector<std::string>{"after.wav"});
    f.clock.advance(core::seconds(30));
    c.drain();
    EXPECT_EQ(polls, (std::vector<int>{1, 0}));

    c.stop();
    c.drain();
    EXPECT_FALSE(c.isRunning());
    f.clock.advance(core::seconds(300));
    c.drain();
    EXPECT_EQ(polls.size(), 2u);
    EXPECT_TRUE(f.log.contains("coordinator stopped"));
}

TEST(CaptureCoordinator, NoEnabledFolderLeavesItIdle) {
    Fixture f;
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notes;
    CaptureCoordinator c({[] { return std::vector<WatchedFolder>{}; },
                          f.store,
                          f.clock,
                          defaults,
                          notes,
                          CaptureGuards::defaults(),
                          {}});
    c.start();
    EXPECT_FALSE(c.isRunning());
    EXPECT_TRUE(f.log.contains("[sayloft] capture: no folders enabled; coordinator idle"));
}

TEST(CaptureImport, QueuesFromTheSinceDateAndForgetsThem) {
    Fixture f;
    auto vm = f.folder(WatchedFolder::Normaliser::voiceMemos);
    for (auto n :
         {"20250228 235959.m4a", "20250301 093000.m4a", "20250302 080000.m4a", "notes.m4a"})
        writeWav(f.folderDir / n, 1);
    FolderWatcher(vm, f.store, f.clock).runInitialIndex();
    auto since = core::parseLocal("2025-03-01", "yyyy-MM-dd");
    auto result = CaptureImport::queueExisting(since, vm, f.store);
    EXPECT_EQ(result.queued, 2);
    EXPECT_EQ(result.wereMarkedSeen, 2);
    EXPECT_EQ(
        result.text(),
        "Queued 2 recordings. They are uploaded one at a time over the next minutes; anything "
        "Wendrel already has is not transcribed again.");
    auto captures = FolderWatcher(vm, f.store, f.clock).poll();
    ASSERT_EQ(captures.size(), 2u);
    EXPECT_EQ(captures[0].canonicalId, "250301-093000");

    auto later = core::parseLocal("2030-01-01", "yyyy-MM-dd");
    auto before = test::readFile(f.home.path() / "state.json");
    EXPECT_EQ(CaptureImport::queueExisting(later, vm, f.store).text(), "No recordings to send.");
    EXPECT_EQ(test::readFile(f.home.path() / "state.json"), before);

    vm.path = (f.folderDir / "gone").string();
    EXPECT_THROW(CaptureImport::queueExisting(std::nullopt, vm, f.store),
                 CaptureImport::Unreadable);
}

TEST(FolderWatcher, ClaimIsOnDiskBeforeACaptureIsHandedOn) {
    Fixture f;
    FolderWatcher w(f.folder(), f.store, f.clock);
    EXPECT_EQ(w.runInitialIndex(), 0);  // an empty folder: its index still ran, once
    for (int i = 0; i < 20; ++i) writeWav(f.folderDir / ("memo" + std::to_string(i) + ".wav"), 1);

    // A restart before the next tick: the 20 files are new, not absorbed by a second index.
    CaptureStateStore restarted(f.home.path() / "state.json", f.home.path() / "legacy.json",
                                f.clock);
    FolderWatcher again(f.folder(), restarted, f.clock);
    EXPECT_EQ(again.runInitialIndex(), 0);
    std::vector<FolderWatcher::NewCapture> resumed;
    auto candidates = again.scan(resumed);
    EXPECT_EQ(candidates.size(), 20u);
    size_t handed = 0;
    FolderWatcher::watch(candidates, f.clock, {}, [&](std::vector<FolderWatcher::NewCapture> b) {
        // What a crash now would leave: every handed-on file pending in the file on disk.
        CaptureStateStore disk(f.home.path() / "state.json", f.home.path() / "legacy.json",
                               f.clock);
        auto pending = disk.snapshot().pendingByFolder["folder-t"];
        for (auto& c : b) {
            EXPECT_TRUE(c.claimed);
            EXPECT_TRUE(pending.count(c.sourceURL.filename().string()));
        }
        handed += b.size();
    });
    EXPECT_EQ(handed, 20u);

    // Same modification second: every file has its own id.
    std::set<std::string> ids;
    for (auto& p : restarted.pending()) ids.insert(p.entry.captureId);
    EXPECT_EQ(ids.size(), 20u);

    // Another start: the pending files are handed on again at once, under the same ids.
    restarted.save();
    CaptureStateStore third(f.home.path() / "state.json", f.home.path() / "legacy.json", f.clock);
    FolderWatcher w3(f.folder(), third, f.clock);
    std::vector<FolderWatcher::NewCapture> again3;
    EXPECT_TRUE(w3.scan(again3).empty());
    ASSERT_EQ(again3.size(), 20u);
    for (auto& c : again3) EXPECT_TRUE(ids.count(c.canonicalId));
}

TEST(FolderWatcher, AFileWrittenInBurstsOrCutShortIsNotTaken) {
    Fixture f;
    f.store.forget({}, "folder-t");
    // 64 KiB every 3 seconds: between two writes the size holds still for one sample.
    writeWav(f.folderDir / "burst.wav", 1);
    const auto t0 = f.clock.now();
    CaptureGuards guards = CaptureGuards::defaults();
    auto sizeOf = [&](const fs::path& p) -> std::optional<std::uint64_t> {
        if (p.filename() == "burst.wav")
            return 65536 * (1 + std::uint64_t(core::toSeconds(f.clock.now() - t0) / 3));
        return CaptureGuards::defaultSize(p);
    };
    guards.size = sizeOf;
    // A WAV whose header promises 4 seconds and holds 1.
    std::string wav;
    {
        writeWav(f.folderDir / "tmp.wav", 4);
        wav = test::readFile(f.folderDir / "tmp.wav");
        fs::remove(f.folderDir / "tmp.wav");
    }
    test::writeFile(f.folderDir / "cut.wav", wav.substr(0, 44 + 16000));
    FolderWatcher w(f.folder(), f.store, f.clock, guards);
    EXPECT_TRUE(w.poll().empty());
    EXPECT_TRUE(f.log.contains("deferring burst.wav (size still changing)"));
    EXPECT_TRUE(f.log.contains("deferring cut.wav (audio does not read to its end yet)"));
    EXPECT_FALSE(f.store.isKnown("cut.wav", "folder-t"));

    // The writer died: after ten quiet minutes the recording is taken as it is.
    fs::remove(f.folderDir / "burst.wav");
    setModified(f.folderDir / "cut.wav", f.clock.now() - std::chrono::minutes(11));
    auto captures = FolderWatcher(f.folder(), f.store, f.clock).poll();
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].sourceURL.filename(), "cut.wav");
}

TEST(FolderWatcher, OnlyRegularFilesInsideTheFolderAreTaken) {
    Fixture f;
    f.store.forget({}, "folder-t");
    ASSERT_EQ(::mkfifo((f.folderDir / "evil.wav").c_str(), 0600), 0);
    fs::create_symlink("/etc/passwd", f.folderDir / "passwd.wav");
    test::TempDir outside;
    writeWav(outside / "elsewhere.wav", 1);
    fs::create_symlink(outside / "elsewhere.wav", f.folderDir / "out.wav");
    writeWav(f.folderDir / ".real.wav", 1);
    fs::create_symlink(f.folderDir / ".real.wav", f.folderDir / "alias.wav");
    auto captures = FolderWatcher(f.folder(), f.store, f.clock).poll();
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].sourceURL.filename(), "alias.wav");
    EXPECT_TRUE(f.log.contains("skipping evil.wav (not a regular file)"));
    EXPECT_TRUE(f.log.contains("skipping passwd.wav (link to a file outside the folder)"));
    EXPECT_TRUE(f.log.contains("skipping out.wav (link to a file outside the folder)"));
}

TEST(FolderWatcher, AfterADamagedStateFilesChangedSinceItsLastWriteAreNew) {
    Fixture f;
    writeWav(f.folderDir / "old.wav", 1);
    setModified(f.folderDir / "old.wav", core::SystemClock::now() - std::chrono::hours(2));
    writeWav(f.folderDir / "new.wav", 1);
    auto state = f.home.path() / "s2.json";
    test::writeFile(state, "{\"version\": 2, \"seenByFolder\": {\"folder-t\": 7}}");
    setModified(state, core::SystemClock::now() - std::chrono::hours(1));
    CaptureStateStore damaged(state, f.home.path() / "legacy.json", f.clock);
    FolderWatcher w(f.folder(), damaged, f.clock);
    EXPECT_EQ(w.runInitialIndex(), 1);
    auto captures = w.poll();
    ASSERT_EQ(captures.size(), 1u);
    EXPECT_EQ(captures[0].sourceURL.filename(), "new.wav");
}

TEST(CaptureCoordinator, ANewFileIsFoundWithoutWaitingForTheTimer) {
    Fixture f;  // the clock moves only inside the waiting window: the timer never fires
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notes;
    std::mutex mutex;
    std::vector<std::string> seen;
    CaptureCoordinator c({[&] { return std::vector{f.folder()}; },
                          f.store,
                          f.clock,
                          defaults,
                          notes,
                          CaptureGuards::defaults(),
                          {}});
    c.setOnNewCapture([&](const FolderWatcher::NewCapture& n) {
        std::lock_guard lock(mutex);
        seen.push_back(n.sourceURL.filename());
    });
    c.start();
    c.drain();
    writeWav(f.folderDir / "now.wav", 1);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (!seen.empty() || std::chrono::steady_clock::now() > until) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    c.stop();
    c.drain();
    EXPECT_EQ(seen, std::vector<std::string>{"now.wav"});
}

TEST(CaptureCoordinator, StopDoesNotWaitForATickInItsWaitingWindow) {
    Fixture f;
    f.clock.setAutoAdvance(false);
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notes;
    f.store.forget({}, "folder-t");
    writeWav(f.folderDir / "slow.wav", 1);
    CaptureCoordinator c({[&] { return std::vector{f.folder()}; },
                          f.store,
                          f.clock,
                          defaults,
                          notes,
                          CaptureGuards::defaults(),
                          {}});
    c.watchChanges = false;
    c.start();
    c.drain();
    f.clock.advance(core::seconds(2));  // the first tick now waits in its window
    ASSERT_TRUE(f.clock.waitForSleepers(1));
    c.stop();
    c.drain();  // returns without the clock moving: the window was cut short
    EXPECT_FALSE(c.isRunning());
    EXPECT_TRUE(f.log.contains("deferring slow.wav (stopping)"));
    EXPECT_FALSE(f.store.isKnown("slow.wav", "folder-t"));  // looked at again next start
}
