#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

#include "capture/capture_state_store.hpp"
#include "core/json.hpp"
#include "core/time_format.hpp"
#include "fake_notification_server.hpp"
#include "test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {

struct CliHome {
    test::TempDir home;
    fs::path folder = home / "Recordings with 'quotes' & $dollars";
    fs::path settingsFile = home / ".config" / "sayloft" / "settings.json";
    fs::path stateFile = home / ".local" / "state" / "sayloft" / "state.json";

    CliHome() { fs::create_directories(folder); }

    test::RunResult sayloft(std::vector<std::string> args) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        args.push_back("--virtual-clock");  // size samples pass without real waiting
        return test::run(args, test::homeEnv(home.path()));
    }

    void writeSettings(bool enabled = true) {
        core::Json s = test::settingsFor(home / "vault");
        s["watchedFoldersRaw"] = {test::watchedFolder("folder-e2e", folder, "Drops", enabled)};
        test::writeFile(settingsFile, s.dump(2));
    }
};

void writeAudio(const fs::path& path) {
    // A valid one-second WAV made by sox, as a recorder would leave it.
    auto r = test::run({"/usr/bin/sox", "-n", "-r", "8000", "-c", "1", path.string(), "synth", "1",
                        "sine", "440"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace

TEST(CaptureCli, PollIndexesThenReportsEachNewFileOnce) {
    CliHome h;
    h.writeSettings();
    for (int i = 1; i <= 3; ++i) writeAudio(h.folder / ("memo " + std::to_string(i) + ".wav"));

    auto first = h.sayloft({"poll"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "");

    auto fourth = h.folder / "memo 4.wav";
    writeAudio(fourth);
    struct stat st {};
    ASSERT_EQ(stat(fourth.c_str(), &st), 0);
    auto when = core::TimePoint{std::chrono::seconds(st.st_mtim.tv_sec)};
    auto second = h.sayloft({"poll"});
    EXPECT_EQ(second.exitCode, 0) << second.err;
    // The indexed files of the same second hold its id: the new one takes the next free one.
    auto id = core::formatLocal(when, "yyMMdd-HHmmss");
    EXPECT_TRUE(second.out == id + "\t" + fourth.string() + "\n" ||
                second.out == id + "_2\t" + fourth.string() + "\n")
        << second.out;

    auto third = h.sayloft({"poll"});
    EXPECT_EQ(third.out, "");

    auto state = core::Json::parse(test::readFile(h.stateFile));
    auto& entries = state["seenByFolder"]["folder-e2e"];
    EXPECT_EQ(entries.size(), 5u);  // and the marker of the initial index
    EXPECT_TRUE(entries.contains(".sayloft-index-done"));
    for (int i = 1; i <= 4; ++i)
        EXPECT_TRUE(entries.contains("memo " + std::to_string(i) + ".wav"));
    EXPECT_EQ(state["seenByFolder"].size(), 1u);
    EXPECT_TRUE(fs::exists(h.home / ".local" / "state" / "sayloft" / "sayloft.log"));
}

TEST(CaptureCli, HostileNamesNeverReachAShell) {
    CliHome h;
    h.writeSettings();
    writeAudio(h.folder / "already here.wav");
    ASSERT_EQ(h.sayloft({"poll"}).exitCode, 0);  // the initial index absorbs it
    std::vector<std::string> names = {"$(touch pwned-a).wav", "`touch pwned-b`.wav",
                                      "a'b\"c;touch pwned-c.wav", "new\nline.wav", "\xff\xfe.wav"};
    for (auto& n : names) writeAudio(h.folder / n);
    auto r = h.sayloft({"poll"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (auto& n : names) EXPECT_NE(r.out.find(n), std::string::npos) << n;
    for (auto p : {"pwned-a", "pwned-b", "pwned-c"}) {
        EXPECT_FALSE(fs::exists(h.folder / p));
        EXPECT_FALSE(fs::exists(h.home / p));
    }
    EXPECT_EQ(h.sayloft({"poll"}).out, "");  // all remembered, even the one that is not UTF-8
}

TEST(CaptureCli, CorruptSettingsGiveDefaultsAndStayUntouched) {
    CliHome h;
    const std::string broken = "{\"vaultPath\": \"/x\", \"vaultName\": ";
    test::writeFile(h.settingsFile, broken);
    auto r = h.sayloft({"status"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("[Voice Memos] Capture is off"), std::string::npos) << r.out;
    EXPECT_EQ(h.sayloft({"poll"}).out, "");
    EXPECT_EQ(test::readFile(h.settingsFile), broken);
}

TEST(CaptureCli, ImportReportsItsResult) {
    CliHome h;
    auto vm = h.home / "Voice Memos";
    fs::create_directories(vm);
    writeAudio(vm / "20250301 093000.m4a.wav");
    writeAudio(vm / "20250227 080000.m4a.wav");
    EXPECT_EQ(h.sayloft({"import", "--count", "--since", "2025-03-01"}).out,
              "1 recording to send\n");
    EXPECT_EQ(h.sayloft({"import", "--count"}).out, "2 recordings to send\n");
    auto r = h.sayloft({"import", "--since", "2025-03-01"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Queued 1 recording. They are uploaded one at a time over the next minutes; "
              "anything Wendrel already has is not transcribed again.\n");
    EXPECT_EQ(h.sayloft({"import", "--since", "2031-01-01"}).out, "No recordings to send.\n");
    EXPECT_EQ(h.sayloft({"import", "--since", "March"}).exitCode, 2);
    fs::remove_all(vm);
    for (const char* count : {"--count", "--since=2025-01-01"}) {
        auto missing = h.sayloft({"import", count});
        EXPECT_EQ(missing.exitCode, 1);
        EXPECT_NE(missing.err.find("Cannot read the Voice Memos folder: "), std::string::npos);
    }
}

TEST(CaptureCli, RunCreatesADemoSetupAndStopsOnSigterm) {
    CliHome h;
    pid_t pid = test::spawnBackground({test::buildPath("apps/sayloft/sayloft").string(), "run"},
                                      h.home / "run.out", test::homeEnv(h.home.path()));

    auto log = h.home / ".local" / "state" / "sayloft" / "sayloft.log";
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i) {  // real start-up, bounded at 5 s
        started =
            test::readFile(log).find("coordinator started (poll=30s, folders=Demo recordings)") !=
            std::string::npos;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(started) << test::readFile(log);
    kill(pid, SIGTERM);
    EXPECT_EQ(test::waitExit(pid), 0);
    EXPECT_TRUE(fs::is_directory(h.home / "sayloft-demo" / "Recordings"));
    EXPECT_TRUE(fs::exists(h.settingsFile));
    EXPECT_NE(test::readFile(log).find("received SIGTERM, stopping"), std::string::npos);
}

TEST(CaptureCli, TestNotificationReachesTheDesktopOrSaysWhyNot) {
    std::unique_ptr<test::FakeNotificationServer> server;
    try {
        server = std::make_unique<test::FakeNotificationServer>();
    } catch (const test::BusUnavailable& e) {
        GTEST_SKIP() << e.what();
    }
    CliHome h;
    auto binary = test::buildPath("apps/sayloft/sayloft").string();
    auto shown =
        test::run({binary, "notifications", "test"},
                  test::homeEnv(h.home.path(), {{"DBUS_SESSION_BUS_ADDRESS", server->address()}}));
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    ASSERT_TRUE(server->waitForCalls(1));
    EXPECT_EQ(server->calls()[0].summary, "Transcript ready");
    EXPECT_EQ(server->calls()[0].body,
              "This is a test notification from sayloft.\nMeeting recording · 42 min");

    auto off = test::run(
        {binary, "notifications", "test"},
        test::homeEnv(h.home.path(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}));
    EXPECT_EQ(off.exitCode, 1);
    EXPECT_NE(off.err.find("[sayloft] notifications: off for sayloft; not posting sayloft.test"),
              std::string::npos);
}

// A home of an earlier version keeps everything in the macOS-shaped places: the first start
// moves it to the XDG places, and what it had captured is not captured again.
TEST(CaptureCli, AnOldLibraryLayoutMovesInAndItsCapturesStayCaptured) {
    CliHome h;
    const auto old = h.home / "Library" / "Application Support" / "sayloft";
    writeAudio(h.folder / "known.wav");
    core::Json settings = test::settingsFor(h.home / "vault");
    settings["watchedFoldersRaw"] = {test::watchedFolder("folder-e2e", h.folder, "Drops")};
    test::writeFile(old / "settings.json", settings.dump(2));
    core::Json state = {
        {"version", 2},
        {"voiceMemosSeen", core::Json::object()},
        {"seenByFolder",
         {{"folder-e2e",
           {{".sayloft-index-done", {{"canonicalId", ""}, {"firstSeen", "2025-03-14T08:30:12Z"}}},
            {"known.wav",
             {{"canonicalId", "250314-093012"}, {"firstSeen", "2025-03-14T08:30:12Z"}}}}}}}};
    test::writeFile(old / "state.json", state.dump(2));
    test::writeFile(h.home / "Library" / "Logs" / "sayloft" / "sayloft.log", "old line\n");

    auto r = h.sayloft({"poll"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");  // the known recording is not new
    EXPECT_TRUE(fs::exists(h.settingsFile));
    EXPECT_EQ(core::Json::parse(test::readFile(h.settingsFile))["vaultPath"],
              (h.home / "vault").string());
    auto moved = core::Json::parse(test::readFile(h.stateFile));
    EXPECT_EQ(moved["seenByFolder"]["folder-e2e"]["known.wav"]["canonicalId"], "250314-093012");
    EXPECT_NE(
        test::readFile(h.home / ".local" / "state" / "sayloft" / "sayloft.log").find("old line"),
        std::string::npos);
    EXPECT_FALSE(fs::exists(old / "settings.json"));
    EXPECT_FALSE(fs::exists(old / "state.json"));

    // A new recording after the move is captured, and nothing new appears below ~/Library.
    writeAudio(h.folder / "new.wav");
    auto second = h.sayloft({"poll"});
    EXPECT_NE(second.out.find("new.wav"), std::string::npos) << second.out << second.err;
    EXPECT_FALSE(fs::exists(old));
}
