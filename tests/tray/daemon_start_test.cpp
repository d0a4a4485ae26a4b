// The real sayloft-tray with no engine running starts the real daemon, which outlives it.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "test_support.hpp"

using namespace sayloft;
using sayloft::test::eventually;

TEST(TrayDaemon, StartsTheDaemonWhenNoneAnswersAndLeavesItRunning) {
    sayloft::test::TempDir home;
    auto env = sayloft::test::homeEnv(home.path(), {{"QT_QPA_PLATFORM", "offscreen"}});
    const auto sayloft = sayloft::test::buildPath("apps/sayloft/sayloft").string();
    ASSERT_EQ(sayloft::test::run({sayloft, "settings", "init"}, env).exitCode, 0);

    pid_t tray = sayloft::test::spawnBackground(
        {sayloft::test::buildPath("apps/sayloft-tray/sayloft-tray").string(), "--no-tray"},
        home / "tray.log", env);
    std::string status;
    ASSERT_TRUE(eventually(
        [&] {
            status = sayloft::test::run({sayloft, "status"}, env).out;
            return status.find("Daemon: running") != std::string::npos;
        },
        60))
        << status;

    ::kill(tray, SIGKILL);
    sayloft::test::waitExit(tray);
    status = sayloft::test::run({sayloft, "status"}, env).out;
    std::smatch pid;
    ASSERT_TRUE(std::regex_search(status, pid, std::regex(R"(Daemon: running \(pid (\d+)\))")))
        << status;
    ::kill(std::stoi(pid[1]), SIGTERM);
    EXPECT_TRUE(eventually([&] { return ::kill(std::stoi(pid[1]), 0) != 0; }, 60));
}
