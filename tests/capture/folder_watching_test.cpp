#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstring>

#include "capture/capture_coordinator.hpp"
#include "capture/folder_watcher.hpp"
#include "core/time_format.hpp"
#include "platform/notify_once.hpp"
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

TEST(FolderWatcher, SizeStillChangingAfterFiveSamplesTakesTenSecondsAndDefers) {
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
    EXPECT_GE(f.clock.totalSlept() - before, core::seconds(10 + 2));  // 5 samples + 1 for the other
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
    for (auto& n : names) EXPECT_TRUE(reread.hasSeen(n, "folder-t")) << n;
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
    CaptureCoordinator c(
        {[&] { return std::vector{f.folder()}; }, f.store, f.clock, defaults, notes});
    c.setOnNewCapture(
        [&](const FolderWatcher::NewCapture& n) { seen.push_back(n.sourceURL.filename()); });
    c.setOnPoll([&](int n) { polls.push_back(n); });
    c.start();
    c.drain();
    EXPECT_TRUE(c.isRunning());
    EXPECT_TRUE(f.log.contains("coordinator started (poll=30s, folders=Test)"));
    writeWav(f.folderDir / "after.wav", 1);

    f.clock.advance(core::seconds(2));  // first tick; it blocks in its first size sample
    ASSERT_TRUE(f.clock.waitForSleepers(1));
    f.clock.advance(core::seconds(2));
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
    CaptureCoordinator c(
        {[] { return std::vector<WatchedFolder>{}; }, f.store, f.clock, defaults, notes});
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
