#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <set>

#include "browser/file_classifier.hpp"
#include "browser/file_scanner.hpp"
#include "browser/scan_commands.hpp"
#include "browser_test_support.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

using namespace sayloft;
using namespace sayloft::browser;
namespace fs = std::filesystem;

namespace {

std::set<std::string> names(const std::vector<FileEntry>& files) {
    std::set<std::string> out;
    for (auto& f : files) out.insert(f.filename);
    return out;
}

std::vector<std::string> namesInOrder(const std::vector<FileEntry>& files) {
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(f.filename);
    return out;
}

void touch(const fs::path& file, std::optional<core::TimePoint> mtime = std::nullopt) {
    fs::create_directories(file.parent_path());
    test::writeFile(file, "x");
    if (mtime) test::setMtime(file, *mtime);
}

// A settings store (never saved) with the vault and workspace folders given.
struct VaultSetup {
    test::TempHome home;
    fs::path vault = home.path() / "vault";
    settings::Settings store{home.path() / "settings.json"};

    VaultSetup() {
        fs::create_directories(vault);
        auto& s = store.settings();
        s.vaultPath = vault.string();
        s.additionalPaths = {};
        s.remotesPath.reset();
    }
};

// A `find` that blocks when asked to search HUNG_ROOT (touching HUNG_MARK), like one stuck on a
// dead network mount, until HUNG_RELEASE exists; every other find is the real one.
constexpr const char* kHangingFind = R"(#!/bin/bash
for a in "$@"; do
  if [ "$a" = "$HUNG_ROOT" ]; then
    touch "$HUNG_MARK"
    while [ ! -e "$HUNG_RELEASE" ]; do sleep 0.05; done
  fi
done
exec /usr/bin/find "$@"
)";

}  // namespace

TEST(FileScanner, HostileNamesAreListedAndNeverExecuted) {
    VaultSetup setup;
    // The vault's own path is hostile too.
    setup.vault = setup.home.path() / "v'a\"ult $(touch PWNED) `touch PWNED`";
    setup.store.settings().vaultPath = setup.vault.string();
    setup.store.settings().excludeDirs = {"$(touch PWNED)", "it's"};
    // Creation dates are asked for: where find cannot read them, the batch stat must match
    // every hostile name too.
    setup.store.settings().timeBasis = settings::TimeBasis::creation;
    const std::vector<std::string> hostile = {
        "it's \"quoted\".md", "$(touch PWNED).md", "`touch PWNED`.md",      "new\nline.md",
        "-dash.md",           "bad\xff.md",        "semi;colon&amp|pipe.md"};
    // Changed two days ago but created now: listed today only by a creation date that stat
    // read for that very name (where the file system keeps birth times).
    struct statx probe {};
    touch(setup.vault / "probe");
    bool birthTimes =
        ::statx(AT_FDCWD, (setup.vault / "probe").c_str(), 0, STATX_BTIME, &probe) == 0 &&
        (probe.stx_mask & STATX_BTIME);
    fs::remove(setup.vault / "probe");
    for (auto& n : hostile) {
        touch(setup.vault / n);
        if (birthTimes)
            test::setMtime(setup.vault / n,
                           std::chrono::system_clock::now() - std::chrono::hours(48));
    }
    touch(setup.vault / "$(touch PWNED)" / "pruned.md");
    touch(setup.vault / "it's" / "pruned-too.md");
    touch(setup.vault / "sub $(touch PWNED)" / "nested.md");
    touch(setup.vault / "_inbox" / "$(touch PWNED)-note.md");
    touch(setup.vault / "_outbox" / "d'elivery" / "`touch PWNED`.md");

    test::InlineQueue main;
    FileScanner scanner(setup.store, core::systemClock(), main,
                        {setup.home.path() / "cache.json", {}, {}});
    scanner.refreshNow();
    auto lists = scanner.lists();

    std::set<std::string> expected = {
        "it's \"quoted\".md", "$(touch PWNED).md",  "`touch PWNED`.md",       "new\nline.md",
        "-dash.md",           "bad\xEF\xBF\xBD.md", "semi;colon&amp|pipe.md", "nested.md"};
    EXPECT_EQ(names(lists.today), expected);
    for (auto& f : lists.today) {
        EXPECT_TRUE(fs::exists(f.fullPath)) << f.fullPath;
        EXPECT_GT(f.modificationDate, core::TimePoint{}) << f.fullPath;
        EXPECT_GT(f.creationDate, core::TimePoint{}) << "stat matched " << f.fullPath;
    }
    EXPECT_EQ(names(lists.inbox), std::set<std::string>{"$(touch PWNED)-note.md"});
    ASSERT_EQ(lists.outbox.size(), 1u);
    EXPECT_EQ(lists.outbox[0].relativePath, "_outbox/d'elivery/`touch PWNED`.md");
    EXPECT_EQ(lists.outbox[0].parentFolder, "d'elivery");

    for (auto& entry : fs::recursive_directory_iterator(setup.home.path()))
        EXPECT_NE(entry.path().filename(), "PWNED") << entry.path();
    EXPECT_FALSE(fs::exists("PWNED"));
}

TEST(FileScanner, BatchStatKeepsOrderAndMarksFailuresWithOneProcessPerBatch) {
    test::TempHome home;
    test::FakeBin bin;
    auto counter = bin.dir() / "stat-runs";
    bin.add("stat", "#!/bin/sh\necho run >> \"$STAT_RUNS\"\nexec /usr/bin/stat \"$@\"\n");
    test::ScopedEnv runs("STAT_RUNS", counter.string());

    test::TempDir dir;
    auto base = core::SystemClock::now() - std::chrono::hours(24 * 100);
    std::vector<std::string> paths;
    for (int i = 0; i < 5000; ++i) {
        // Every seventh path is missing; a few names need quoting.
        std::string name = i % 500 == 3 ? "q'uo\"te $(x) " + std::to_string(i) : std::to_string(i);
        auto path = dir.path() / name;
        if (i % 7 != 0) touch(path, base + std::chrono::seconds(i));
        paths.push_back(path.string());
    }
    ScanContext context;
    context.limits.statBatch = 1000;
    auto times = batchStat(paths, context);
    ASSERT_EQ(times.size(), paths.size());
    auto baseSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(base.time_since_epoch()).count();
    for (int i = 0; i < 5000; ++i) {
        if (i % 7 == 0) {
            EXPECT_EQ(times[i], (StatTimes{0, 0})) << i;
        } else {
            EXPECT_EQ(times[i].modified, baseSeconds + i) << i;
        }
    }
    auto runLines = test::readFile(counter);
    EXPECT_LE(std::count(runLines.begin(), runLines.end(), '\n'), 5);
    EXPECT_GE(std::count(runLines.begin(), runLines.end(), '\n'), 1);
    // The private lists are gone.
    for (auto& e : fs::directory_iterator(core::runtimeDir()))
        EXPECT_EQ(e.path().filename().string().rfind("sayloft-", 0), std::string::npos);
}

TEST(FileScanner, HungFindGivesUpAtItsLimitAndTheOtherListsStillFill) {
    VaultSetup setup;
    fs::path workspace = setup.home.path() / "workspace";
    touch(workspace / "ws-note.md");
    touch(setup.vault / "vault-note.md");
    touch(setup.vault / "_inbox" / "250101-093000.md");
    setup.store.settings().additionalPaths = {workspace.string()};
    test::FakeBin bin;
    bin.add("find", kHangingFind);
    test::ScopedEnv root("HUNG_ROOT", setup.vault.string());
    test::ScopedEnv mark("HUNG_MARK", (bin.dir() / "mark").string());
    test::ScopedEnv release("HUNG_RELEASE", (bin.dir() / "never").string());

    test::LogCollector log;
    core::ManualClock clock(core::SystemClock::now());
    test::InlineQueue main;
    FileScanner scanner(setup.store, clock, main, {setup.home.path() / "cache.json", {}, {}});
    ASSERT_TRUE(scanner.refresh());
    ASSERT_TRUE(test::eventually([&] {
        return fs::exists(bin.dir() / "mark") && log.contains("find returned 1 lines for");
    }));
    EXPECT_TRUE(scanner.isScanning());
    clock.advance(core::seconds(21));  // the vault find's watchdog
    scanner.waitIdle();

    EXPECT_TRUE(log.contains("[sayloft] scanner: vault find timed out"));
    EXPECT_TRUE(log.contains("vault find: no output"));
    auto lists = scanner.lists();
    EXPECT_EQ(namesInOrder(lists.today), std::vector<std::string>{"ws-note.md"});
    EXPECT_EQ(names(lists.inbox), std::set<std::string>{"250101-093000.md"});
    scanner.stop();
}

TEST(FileScanner, CacheFillsTheListsBeforeTheFirstScanEnds) {
    VaultSetup setup;
    auto now = core::SystemClock::now();
    FileEntry today;
    today.id = newUuid();
    today.filename = "cached-today.md";
    today.fullPath = (setup.vault / "cached-today.md").string();
    today.creationDate = today.modificationDate = now;
    FileEntry old = today;
    old.filename = "cached-old.md";
    old.creationDate = old.modificationDate = now - std::chrono::hours(24 * 3);
    FileEntry remote = old;
    remote.filename = "cached-remote.md";
    remote.source = Source::workspace;
    auto cacheFile = setup.home.path() / "cache.json";
    FileScanner::saveCache(cacheFile, {today, old}, {remote}, now);

    touch(setup.vault / "fresh.md");
    test::FakeBin bin;
    bin.add("find", kHangingFind);
    test::ScopedEnv root("HUNG_ROOT", setup.vault.string());
    test::ScopedEnv mark("HUNG_MARK", (bin.dir() / "mark").string());
    test::ScopedEnv release("HUNG_RELEASE", (bin.dir() / "release").string());

    test::InlineQueue main;
    FileScanner scanner(setup.store, core::systemClock(), main, {cacheFile, {}, {}});
    auto lists = scanner.lists();
    EXPECT_EQ(namesInOrder(lists.today), std::vector<std::string>{"cached-today.md"});
    EXPECT_EQ(names(lists.recent), (std::set<std::string>{"cached-old.md", "cached-remote.md"}));

    ASSERT_TRUE(scanner.refresh());
    ASSERT_TRUE(test::eventually([&] { return fs::exists(bin.dir() / "mark"); }));
    EXPECT_TRUE(scanner.isScanning());
    EXPECT_EQ(namesInOrder(scanner.lists().today), std::vector<std::string>{"cached-today.md"});
    EXPECT_FALSE(scanner.refresh()) << "refreshes never overlap";

    test::writeFile(bin.dir() / "release", "");
    scanner.waitIdle();
    EXPECT_EQ(namesInOrder(scanner.lists().today), std::vector<std::string>{"fresh.md"});
    // The remote list stays as cached when no remote scan ran, and the cache is rewritten.
    EXPECT_EQ(names(scanner.lists().recent), std::set<std::string>{"cached-remote.md"});
    auto saved = FileScanner::loadCache(cacheFile);
    ASSERT_TRUE(saved);
    EXPECT_EQ(names(saved->vaultFiles), std::set<std::string>{"fresh.md"});
    EXPECT_EQ(names(saved->remoteFiles), std::set<std::string>{"cached-remote.md"});

    // A scan that finds the same files leaves the file alone; one that finds a change rewrites it.
    auto marked = core::Json::parse(test::readFile(cacheFile));
    marked["marker"] = true;
    test::writeFile(cacheFile, marked.dump());
    scanner.refreshNow(false);
    EXPECT_TRUE(core::Json::parse(test::readFile(cacheFile)).contains("marker"));
    touch(setup.vault / "fresher.md");
    scanner.refreshNow(false);
    EXPECT_FALSE(core::Json::parse(test::readFile(cacheFile)).contains("marker"));
    EXPECT_EQ(FileScanner::loadCache(cacheFile)->vaultFiles.size(), 2u);

    // A damaged cache is ignored.
    test::writeFile(cacheFile, "{\"vaultFiles\": [{\"id\": 1}], \"remoteFiles\": []}");
    FileScanner second(setup.store, core::systemClock(), main, {cacheFile, {}, {}});
    EXPECT_TRUE(second.lists().today.empty());
}

TEST(FileScanner, RefreshSortsIntoTheFiveLists) {
    VaultSetup setup;
    auto now = core::SystemClock::now();
    auto todayStart = startOfDay(now);
    // The vault is reached through a symbolic link; relative paths start below the vault.
    fs::path real = setup.home.path() / "real-vault";
    fs::create_directories(real);
    fs::remove(setup.vault);
    fs::create_directory_symlink(real, setup.vault);
    touch(real / "meetings" / "board" / "240506-board-meeting.md", now);
    touch(real / "late-yesterday.md", todayStart - std::chrono::seconds(60));
    touch(real / "too-old.md", todayStart - std::chrono::hours(24 * 40));
    touch(real / "CLAUDE.md", now);                // an excluded name
    touch(real / ".obsidian" / "hidden.md", now);  // hidden folders are not listed
    touch(real / "node_modules" / "x.md", now);    // an excluded folder
    touch(real / "image.png", now);                // not an included extension
    touch(real / "_inbox" / "b.md", now - std::chrono::hours(1));
    touch(real / "_inbox" / "a.md", now);
    touch(real / "_inbox" / "README.md", now);
    touch(real / "_inbox" / "sub" / "deep.md", now);
    touch(real / "_outbox" / "260105-delivery" / "offer.pdf", now);
    touch(real / ".handoff" / "_archive" / "gone.md", now);
    touch(real / ".handoff" / "240506-topic" / "notes.md", now);
    fs::path remotes = setup.home.path() / "remotes";
    touch(remotes / "server" / "meetings" / "2024-05-06-standup.md");
    touch(remotes / "server" / "undated.MD");
    touch(remotes / "server" / "skip.bin");
    setup.store.settings().remotesPath = remotes.string();

    core::ManualClock clock(now);
    test::InlineQueue main;
    FileScanner scanner(setup.store, clock, main, {setup.home.path() / "cache.json", {}, {}});
    scanner.refreshNow(false);
    auto lists = scanner.lists();
    ASSERT_EQ(namesInOrder(lists.today), std::vector<std::string>{"240506-board-meeting.md"});
    EXPECT_EQ(lists.today[0].relativePath, "meetings/board/240506-board-meeting.md");
    EXPECT_EQ(lists.today[0].domain, "board");
    EXPECT_EQ(lists.today[0].fileType, "board");
    EXPECT_EQ(namesInOrder(lists.recent), std::vector<std::string>{"late-yesterday.md"});
    EXPECT_EQ(namesInOrder(lists.inbox), (std::vector<std::string>{"a.md", "b.md"}));
    ASSERT_EQ(lists.outbox.size(), 1u);
    EXPECT_EQ(lists.outbox[0].parentFolder, "260105-delivery");
    ASSERT_EQ(lists.handoff.size(), 1u);
    EXPECT_EQ(lists.handoff[0].filenameDate, FileClassifier::parseFilenameDate("240506-x"));

    // With the remotes: dated by name, undated ones last in the distant past.
    scanner.refreshNow(true);
    lists = scanner.lists();
    EXPECT_EQ(
        namesInOrder(lists.recent),
        (std::vector<std::string>{"late-yesterday.md", "2024-05-06-standup.md", "undated.MD"}));
    EXPECT_EQ(lists.recent[1].relativePath, "server/meetings/2024-05-06-standup.md");
    EXPECT_EQ(lists.recent[1].domain, "meetings-other");
    EXPECT_EQ(lists.recent[2].modificationDate, kDistantPast);
}

TEST(FileScanner, TimerRefreshesAndTheFirstRefreshIsFollowedByOneWithRemotes) {
    VaultSetup setup;
    fs::path remotes = setup.home.path() / "remotes";
    touch(remotes / "m" / "240101-x.md");
    setup.store.settings().remotesPath = remotes.string();
    setup.store.settings().refreshInterval = 60;
    test::LogCollector log;
    core::ManualClock clock(core::SystemClock::now());
    test::InlineQueue main;
    FileScanner scanner(setup.store, clock, main, {setup.home.path() / "cache.json", {}, {}});
    scanner.start();
    scanner.waitIdle();
    EXPECT_EQ(log.count("scanRemotes starting"), 0u);
    clock.advance(core::seconds(3));
    scanner.waitIdle();
    ASSERT_TRUE(test::eventually([&] { return log.count("scanRemotes done") == 1; }));
    scanner.waitIdle();
    EXPECT_EQ(names(scanner.lists().recent), std::set<std::string>{"240101-x.md"});
    clock.advance(core::seconds(57));
    ASSERT_TRUE(test::eventually([&] { return log.count("scanRemotes done") == 2; }));
    scanner.stop();
}

TEST(FileScanner, CacheFileIsTheEntriesJsonWithSortedKeys) {
    test::TempDir dir;
    FileEntry e;
    e.id = newUuid();
    e.filename = "q\"uote\\back\nline\x01\tc\xC3\xA9.md";
    e.relativePath = "a/" + e.filename;
    e.parentFolder = "a";
    e.fullPath = "/v/a/q\"uote\\back\nline\x01\tc\xC3\xA9\xff.md";
    e.creationDate = core::TimePoint{std::chrono::seconds(1765000000)};
    e.modificationDate = kDistantPast;
    e.filenameDate = core::TimePoint{};
    e.fileType = "board";
    e.source = Source::inbox;
    FileEntry plain = e;
    plain.filenameDate.reset();
    plain.fileType.reset();
    FileScanner::saveCache(dir / "cache.json", {e, plain}, {}, e.creationDate);
    auto text = test::readFile(dir / "cache.json");
    auto json = core::Json::parse(text);
    EXPECT_EQ(json["vaultFiles"][0], toJson(e));
    EXPECT_EQ(json["vaultFiles"][1], toJson(plain));
    EXPECT_EQ(json["remoteFiles"], core::Json::array());
    EXPECT_EQ(core::dumpPretty(json), text) << "pretty-printed with sorted keys";
    auto back = FileScanner::loadCache(dir / "cache.json");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->vaultFiles[0].fullPath, e.fullPath);
    EXPECT_EQ(back->vaultFiles[0].creationDate, e.creationDate);
}

TEST(FileScanner, AFrozenMountIsSkippedAndTheOthersAreListed) {
    test::TempDir dir;
    fs::path remotes = dir.path() / "remotes";
    touch(remotes / "alive" / "meetings" / "2024-05-06-notes.md");
    touch(remotes / "alive" / ".hidden.md");
    touch(remotes / "frozen" / "240506-lost.md");
    test::FakeBin bin;
    // `ls` hangs on the frozen mount like a dead SSHFS mount; elsewhere it is the real one.
    bin.add("ls", R"(#!/bin/bash
if [ "${@: -1}" = "$FROZEN" ]; then touch "$MARKS/frozen"; while :; do sleep 0.05; done; fi
/bin/ls "$@"; rc=$?; touch "$MARKS/alive"; exit $rc
)");
    test::ScopedEnv frozen("FROZEN", (remotes / "frozen").string());
    test::ScopedEnv marks("MARKS", bin.dir().string());
    test::LogCollector log;
    core::ManualClock clock(core::SystemClock::now());
    ScanContext context;
    context.clock = &clock;
    auto scan =
        std::async(std::launch::async, [&] { return scanRemotes(remotes, {"md"}, context); });
    ASSERT_TRUE(test::eventually(
        [&] { return fs::exists(bin.dir() / "frozen") && fs::exists(bin.dir() / "alive"); }));
    ASSERT_TRUE(test::eventually([&] {
        return log.contains("mount " + (remotes / "alive").string() + ": 1 files") &&
               clock.sleeperCount() >= 2;  // the frozen probe's limit and the wait for all
    }));
    clock.advance(core::seconds(2.5));  // past the probe's limit, well before the others'
    auto files = scan.get();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].relativePath, "alive/meetings/2024-05-06-notes.md");
    EXPECT_TRUE(log.contains("skipping frozen mount: " + (remotes / "frozen").string()));
    EXPECT_TRUE(log.contains("scanRemotes done: 1 files from 2 mounts"));
}
