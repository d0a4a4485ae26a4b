#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "core/process.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::core;
namespace fs = std::filesystem;

namespace {

ProcessOptions shell(const std::string& script) {
    ProcessOptions o;
    o.argv = {"/bin/sh", "-c", script};
    return o;
}

std::set<int> openFds() {
    std::set<int> fds;
    for (auto& e : fs::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(e.path().filename()));
    return fds;
}

// Waits (bounded, real time) for a file the child creates once it is ready.
bool waitForFile(const fs::path& p) {
    for (int i = 0; i < 1000 && !fs::exists(p); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(p);
}

bool noChildrenLeft() {
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

}  // namespace

TEST(Process, ReportsOutputsExitStatusAndSignal) {
    auto r = runProcess(shell("printf out; printf err >&2; exit 3"));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.out, "out");
    EXPECT_EQ(r.err, "err");
    EXPECT_FALSE(r.succeeded());

    auto killed = runProcess(shell("kill -KILL $$"));
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(killed.status(), SIGKILL);
    EXPECT_FALSE(killed.timedOut);

    // A program name is looked up in PATH; no shell is involved.
    ProcessOptions direct;
    direct.argv = {"printf", "%s|", "a b", "$HOME", "`x`"};
    EXPECT_EQ(runProcess(direct).out, "a b|$HOME|`x`|");
}

TEST(Process, EnvironmentWorkingDirectoryAndNullStdin) {
    test::TempDir dir;
    fs::path work = dir / "it's a $dir";
    fs::create_directories(work);
    auto o = shell("printf '%s|%s|%s|' \"$SAYLOFT_X\" \"$HOME\" \"$(pwd -P)\"; cat; printf end");
    o.environment = {{"SAYLOFT_X", "a b"}, {"HOME", "/nowhere"}};
    o.workingDirectory = work;
    pid_t seen = 0;
    o.onStart = [&](pid_t pid) { seen = pid; };
    auto r = runProcess(o);
    EXPECT_EQ(r.out, "a b|/nowhere|" + fs::canonical(work).string() + "|end");
    EXPECT_EQ(seen, r.pid);
}

TEST(Process, RoutesOutputToFilesNullMergedOrTail) {
    test::TempDir dir;
    auto o = shell("echo one; echo two >&2");
    o.stdoutTo = ProcessOutput::toFile(dir / "out.txt");
    o.stderrTo = ProcessOutput::discarded();
    auto r = runProcess(o);
    EXPECT_EQ(test::readFile(dir / "out.txt"), "one\n");
    EXPECT_EQ(r.out + r.err, "");

    auto merged = shell("echo one; echo two >&2; echo three");
    merged.stderrTo = ProcessOutput::mergedIntoStdout();
    EXPECT_EQ(runProcess(merged).out, "one\ntwo\nthree\n");

    auto tail = shell("seq 1 200000");
    tail.keepLastBytes = 1000;
    auto whole = runProcess(shell("seq 1 200000")).out;
    auto r2 = runProcess(tail);
    ASSERT_GT(whole.size(), 1000000u);
    EXPECT_EQ(r2.out, whole.substr(whole.size() - 1000));
}

TEST(Process, TimeLimitTerminatesThenKillsOnTheInjectedClock) {
    test::TempDir dir;
    auto run = [&](const std::string& script, auto&& drive) {
        ManualClock clock;
        auto o = shell(script);
        o.workingDirectory = dir.path();
        o.clock = &clock;
        o.timeLimit = seconds(600);
        o.killGrace = seconds(5);
        ProcessResult r;
        std::thread t([&] { r = runProcess(o); });
        drive(clock);
        t.join();
        return r;
    };
    auto polite = run("sleep 1000", [](ManualClock& clock) {
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(seconds(600));
    });
    EXPECT_TRUE(polite.timedOut);
    EXPECT_EQ(polite.signal, SIGTERM);
    EXPECT_EQ(polite.elapsed(), seconds(600));

    auto stubborn = run("trap '' TERM; : > ready; exec sleep 1000", [&](ManualClock& clock) {
        ASSERT_TRUE(waitForFile(dir / "ready"));
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(seconds(600));
        // Termination is ignored: the watchdog sleeps through the grace period, then kills.
        for (int i = 0; i < 2000 && clock.totalSlept() < seconds(605); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(clock.waitForSleepers(1));
        clock.advance(seconds(5));
    });
    EXPECT_TRUE(stubborn.timedOut);
    EXPECT_EQ(stubborn.signal, SIGKILL);
    EXPECT_EQ(stubborn.elapsed(), seconds(605));
}

TEST(Process, CancelAndRealClockLimitEndTheWholeGroup) {
    std::stop_source stop;
    stop.request_stop();
    ProcessOptions o = shell("sleep 1000; echo not reached");
    o.cancel = stop.get_token();
    auto r = runProcess(o);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "");

    // Output written before the limit is kept; the grandchild sleep ends with the shell.
    auto limited = shell("echo partial; sleep 1000");
    limited.timeLimit = seconds(0.05);
    auto r2 = runProcess(limited);
    EXPECT_TRUE(r2.timedOut);
    EXPECT_EQ(r2.out, "partial\n");
    EXPECT_TRUE(noChildrenLeft());
}

TEST(Process, LeavesNoDescriptorsOrZombiesBehind) {
    // Descriptors this test process hands to every child anyway (the harness may pass some).
    std::set<int> inheritable = {0, 1, 2};
    for (int fd : openFds())
        if (int f = ::fcntl(fd, F_GETFD); f >= 0 && !(f & FD_CLOEXEC)) inheritable.insert(fd);

    test::TempDir dir;
    auto before = openFds();
    for (int i = 0; i < 20; ++i) {
        auto o = shell("ls /proc/$$/fd");
        if (i % 2)
            o.stdoutTo = ProcessOutput::captured(), o.stderrTo = ProcessOutput::toFile(dir / "e");
        auto r = runProcess(o);
        std::istringstream lines(r.out);
        for (std::string fd; std::getline(lines, fd);)
            EXPECT_TRUE(inheritable.count(std::stoi(fd))) << "child sees descriptor " << fd;
        ProcessOptions bad;
        bad.argv = {"/no/such/program"};
        try {
            runProcess(bad);
            ADD_FAILURE();
        } catch (const ProcessError& e) {
            EXPECT_NE(std::string(e.what()).find("/no/such/program"), std::string::npos);
        }
        auto nowhere = shell("true");
        nowhere.workingDirectory = "/no/such/folder";
        EXPECT_THROW(runProcess(nowhere), ProcessError);
    }
    ManualClock clock;
    auto timed = shell("sleep 1000");
    timed.clock = &clock;
    timed.timeLimit = seconds(1);
    std::thread t([&] { runProcess(timed); });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(seconds(1));
    t.join();
    EXPECT_EQ(openFds(), before);
    EXPECT_TRUE(noChildrenLeft());
}

TEST(Process, ShellQuoteSurvivesTheShell) {
    for (std::string s : {"", "plain", "it's", "a b\tc", "$HOME `id` $(id)", "\"\\'\n;|&*?", "''",
                          "caf\xc3\xa9 \xe2\x80\xa8 -n"}) {
        auto r = runProcess(shell("printf '%s' " + shellQuote(s)));
        EXPECT_EQ(r.out, s);
    }
    EXPECT_EQ(shellQuote("it's"), "'it'\\''s'");
}
