// The real sayloft-tray on Xvfb: its global keys, pressed with xdotool, reach the engine.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "scripted_engine.hpp"
#include "test_support.hpp"

using namespace sayloft;
using sayloft::test::eventually;
using sayloft::test::ScriptedEngine;

namespace {

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool haveProgram(const std::string& name) {
    return sayloft::test::run({"sh", "-c", "command -v " + name}).exitCode == 0;
}

class XServer {
  public:
    explicit XServer(const std::filesystem::path& dir) : log_(dir / "xvfb.log") {
        pid_ = sayloft::test::spawnBackground(
            {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, log_);
        eventually([&] { return readAll(log_).find('\n') != std::string::npos; }, 20);
        auto text = readAll(log_);
        display_ = ":" + text.substr(0, text.find('\n'));
    }
    ~XServer() {
        ::kill(pid_, SIGTERM);
        sayloft::test::waitExit(pid_);
    }
    const std::string& display() const { return display_; }

  private:
    std::filesystem::path log_;
    pid_t pid_ = -1;
    std::string display_;
};

TEST(GlobalKeys, QuickRecordStartsOnceThenShowsTheRecorderAndStateLivesInTheEngine) {
    if (!haveProgram("Xvfb") || !haveProgram("xdotool"))
        GTEST_SKIP() << "Xvfb and xdotool are needed (scripts/deps installs them)";
    sayloft::test::TempDir dir;
    ScriptedEngine engine(dir / "control.sock");
    engine.answer("record.status", {{"state", "idle"}});
    engine.answer("recordings");
    engine.answer("menu", {{"menu", core::Json::array()}});
    engine.answer("settings.get", {{"settings", {{"vaultPath", "/v"}, {"vaultName", "V"}}},
                                   {"settingsFileExists", true}});
    engine.answer("devices", {{"apps", core::Json::array()}});
    engine.answer("record.start", {{"ok", true}});

    XServer x(dir.path());
    ASSERT_NE(x.display(), ":");
    auto env = sayloft::test::homeEnv(dir / "home",
                                      {{"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", "xcb"}});
    auto log = dir / "tray.log";
    pid_t tray = sayloft::test::spawnBackground(
        {sayloft::test::buildPath("apps/sayloft-tray/sayloft-tray").string(), "--socket",
         (dir / "control.sock").string(), "--no-start", "--no-tray"},
        log, env);
    ASSERT_TRUE(
        eventually([&] { return readAll(log).find("keys registered") != std::string::npos; }, 30))
        << readAll(log);

    auto press = [&] {
        return sayloft::test::run({"xdotool", "key", "ctrl+alt+super+r"}, env).exitCode;
    };
    ASSERT_EQ(press(), 0);
    ASSERT_TRUE(eventually([&] { return engine.requests("record.start").size() == 1; }, 30));

    // The engine says a recording runs; the window title follows it.
    engine.publish({{"event", "recording"}, {"state", "recording"}, {"elapsed", 5}});
    auto found = [&](const std::string& title) {
        return sayloft::test::run({"xdotool", "search", "--onlyvisible", "--name", title}, env)
                   .exitCode == 0;
    };
    ASSERT_TRUE(eventually([&] { return found("Recording 00:05"); }, 30));
    EXPECT_FALSE(found("sayloft Recorder"));  // hidden: shown on start only from "starting"

    ASSERT_EQ(press(), 0);
    ASSERT_TRUE(eventually([&] { return found("sayloft Recorder"); }, 30)) << readAll(log);
    EXPECT_EQ(engine.requests("record.start").size(), 1u);

    // A second start hands its window to the running tray and ends.
    auto second = sayloft::test::run(
        {sayloft::test::buildPath("apps/sayloft-tray/sayloft-tray").string(), "--socket",
         (dir / "control.sock").string(), "--no-start", "--show", "search"},
        env);
    EXPECT_EQ(second.exitCode, 0) << second.err;
    ASSERT_TRUE(eventually([&] { return found("Search Vault"); }, 30));

    // The tray holds none of the recording: killed and started again, it shows the engine's.
    ::kill(tray, SIGKILL);
    sayloft::test::waitExit(tray);
    engine.answer("record.status", {{"state", "recording"}, {"elapsed", 65}});
    tray = sayloft::test::spawnBackground(
        {sayloft::test::buildPath("apps/sayloft-tray/sayloft-tray").string(), "--socket",
         (dir / "control.sock").string(), "--no-start", "--no-tray"},
        log, env);
    ASSERT_TRUE(eventually([&] { return found("Recording 01:05"); }, 30)) << readAll(log);
    ::kill(tray, SIGTERM);
    sayloft::test::waitExit(tray);
}

}  // namespace
