#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "capture/after_transcript_command.hpp"
#include "core/process.hpp"
#include "test_support.hpp"
#include "vault/inbox_writer.hpp"

using namespace sayloft;
using namespace sayloft::capture;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

// Lets a command blocked in `cat <fifo>` go on. Returns false if no command opened it in time.
bool release(const fs::path& fifo) {
    for (int i = 0; i < 2000; ++i) {
        int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return ::close(fd) == 0;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(milliseconds(5));
    return condition();
}

size_t openFdCount() {
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

struct AfterTranscriptTest : ::testing::Test {
    test::TempHome home;  // the login shell reads its profile from here
    test::TempDir dir;
    test::LogCollector logs;
    core::ManualClock clock;
    fs::path vault = dir / "vault";
    std::string command;
    AfterTranscriptCommand runner{[this] {
                                      return AfterTranscriptCommand::Settings{command, vault};
                                  },
                                  clock};

    AfterTranscriptTest() { fs::create_directories(vault); }
    ~AfterTranscriptTest() override { runner.waitUntilIdle(); }

    std::string line(const std::string& text) { return "[sayloft] after-transcript: " + text; }
    bool logged(const std::string& text) {
        auto all = logs.lines();
        return std::find(all.begin(), all.end(), line(text)) != all.end();
    }
};

}  // namespace

TEST_F(AfterTranscriptTest, BlankSettingStartsNothingAndLogsNothing) {
    command = " \t\n ";
    runner.transcriptWritten("250314-093012");
    EXPECT_FALSE(runner.isRunning("250314-093012"));
    EXPECT_TRUE(logs.lines().empty());

    // The setting is read on every call.
    command = "  exit 3\n";
    runner.transcriptWritten("250314-093012");
    runner.waitUntilIdle();
    EXPECT_TRUE(logs.contains(line("started for 250314-093012 (pid ")));
    EXPECT_TRUE(logged("250314-093012 exited 3 after 0 s"));
    EXPECT_EQ(logs.lines().size(), 2u);
}

TEST_F(AfterTranscriptTest, OneRunPerCaptureAtATimeAndNothingLeftBehind) {
    size_t fdsBefore = openFdCount();
    for (auto id : {"a", "b"})
        ASSERT_EQ(::mkfifo((vault / ("gate-" + std::string(id))).c_str(), 0600), 0);
    command = "cat \"gate-$SAYLOFT_ID\" > /dev/null; echo \"$SAYLOFT_ID\" >> runs";
    runner.transcriptWritten("a");
    runner.transcriptWritten("a");
    runner.transcriptWritten("b");
    EXPECT_TRUE(runner.isRunning("a"));
    EXPECT_TRUE(runner.isRunning("b"));
    ASSERT_TRUE(release(vault / "gate-b"));
    ASSERT_TRUE(waitFor([&] { return !runner.isRunning("b"); }));
    EXPECT_TRUE(runner.isRunning("a"));  // runs of different captures are independent
    ASSERT_TRUE(release(vault / "gate-a"));
    runner.waitUntilIdle();
    EXPECT_EQ(test::readFile(vault / "runs"), "b\na\n");
    EXPECT_EQ(logs.count("started for a (pid"), 1u);
    EXPECT_EQ(logs.count(line("a already running; not started again")), 1u);

    // The same capture may run again once its first run is over.
    runner.transcriptWritten("a");
    ASSERT_TRUE(release(vault / "gate-a"));
    runner.waitUntilIdle();
    EXPECT_EQ(test::readFile(vault / "runs"), "b\na\na\n");
    EXPECT_EQ(logs.count("started for a (pid"), 2u);

    runner.stop();
    EXPECT_EQ(openFdCount(), fdsBefore);
    EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

TEST_F(AfterTranscriptTest, LogsOnlyTheLastBytesOfLargeOutput) {
    command = "yes 0123456789 | head -c 1000000; printf 'TAIL-END\\n' >&2";
    runner.transcriptWritten("big");
    runner.waitUntilIdle();

    std::string stream;
    while (stream.size() < 1000000) stream += "0123456789\n";
    stream.resize(1000000);
    stream += "TAIL-END\n";
    std::string tail = stream.substr(stream.size() - 2000);
    tail = tail.substr(tail.find_first_not_of('\n'));
    tail.pop_back();
    EXPECT_TRUE(logged("big output (end):\n" + tail));
    EXPECT_TRUE(logged("big exited 0 after 0 s"));
    EXPECT_EQ(logs.count("output (end)"), 1u);
}

TEST_F(AfterTranscriptTest, TimeLimitEndsACommandThatIgnoresTermination) {
    command = "trap '' TERM; : > ready; exec sleep 100000";
    runner.transcriptWritten("slow");
    ASSERT_TRUE(waitFor([&] { return fs::exists(vault / "ready"); }));
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(AfterTranscriptCommand::kTimeLimit);
    // Termination is ignored; the kill follows after the grace period.
    auto grace = core::ProcessOptions{}.killGrace;
    ASSERT_TRUE(
        waitFor([&] { return clock.totalSlept() >= AfterTranscriptCommand::kTimeLimit + grace; }));
    ASSERT_TRUE(clock.waitForSleepers(1));
    EXPECT_TRUE(runner.isRunning("slow"));
    clock.advance(grace);
    runner.waitUntilIdle();
    EXPECT_TRUE(logged("slow stopped after 605 s (time limit)"));
    EXPECT_FALSE(logs.contains("slow exited"));
}

TEST_F(AfterTranscriptTest, ACommandOutlivesTheProcessThatStartedIt) {
    ASSERT_EQ(::mkfifo((vault / "gate").c_str(), 0600), 0);
    command = "cat gate > /dev/null; echo finished > outcome";
    runner.transcriptWritten("long");
    ASSERT_TRUE(waitFor([&] { return logs.contains("started for long (pid"); }));
    runner.detach();  // what sayloft does when it stops or exits
    EXPECT_TRUE(logs.contains(line("long left running (pid")));
    EXPECT_FALSE(runner.isRunning("long"));
    ASSERT_TRUE(release(vault / "gate"));  // the command goes on without us
    ASSERT_TRUE(waitFor([&] { return fs::exists(vault / "outcome"); }));
    EXPECT_TRUE(waitFor([&] { return test::readFile(vault / "outcome") == "finished\n"; }));
    EXPECT_FALSE(logs.contains("long exited"));
}

TEST_F(AfterTranscriptTest, CaptureReachesTheCommandOnlyThroughItsEnvironment) {
    vault = dir / "my vault 'q' \"dq\" $HOME `touch pwned` x";
    fs::create_directories(vault);
    const std::string id = "250314-093012 'a' \"b\" $(touch pwned) `touch pwned` $HOME";
    vault::InboxWriter::Frontmatter note;
    note.id = id;
    vault::InboxWriter(vault).writeMarkdown(note, "Transcript.");
    command =
        "printf '%s\\n' \"$SAYLOFT_ID\" \"$SAYLOFT_FILE\" \"$SAYLOFT_FOLDER\" \"$(pwd -P)\" "
        "\"$(head -n 1 \"$SAYLOFT_FILE\")\" > env.txt; tr '\\0' '\\n' < /proc/$$/cmdline > "
        "argv.txt; :";  // a builtin last, so no shell replaces itself with `tr`
    runner.transcriptWritten(id);
    runner.waitUntilIdle();

    std::string folder = vault.string();
    EXPECT_EQ(test::readFile(vault / "env.txt"), id + "\n" + folder + "/_inbox/" + id + ".md\n" +
                                                     folder + "\n" + fs::canonical(vault).string() +
                                                     "\n---\n");
    EXPECT_EQ(test::readFile(vault / "argv.txt"),
              AfterTranscriptCommand::loginShell() + "\n-lc\n" + command + "\n");
    EXPECT_FALSE(fs::exists(vault / "pwned"));
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

TEST_F(AfterTranscriptTest, StartFailuresAreLoggedAndFreeTheCapture) {
    vault = dir / "missing";
    command = "true";
    runner.transcriptWritten("x");
    runner.waitUntilIdle();
    EXPECT_TRUE(logs.contains(line("could not start for x: ")));
    EXPECT_FALSE(logs.contains("started for x"));
    EXPECT_FALSE(runner.isRunning("x"));

    AfterTranscriptCommand noShell(
        [] {
            return AfterTranscriptCommand::Settings{"true", "/"};
        },
        clock, "/no/such/shell");
    noShell.transcriptWritten("y");
    noShell.waitUntilIdle();
    EXPECT_TRUE(logs.contains(line("could not start for y: ")));
}

TEST(AfterTranscriptShell, PrefersZshThenTheLoginShell) {
    std::string shell = AfterTranscriptCommand::loginShell();
    EXPECT_EQ(::access(shell.c_str(), X_OK), 0) << shell;
    if (fs::exists("/bin/zsh") || fs::exists("/usr/bin/zsh")) {
        EXPECT_NE(shell.find("zsh"), std::string::npos);
    }
}
