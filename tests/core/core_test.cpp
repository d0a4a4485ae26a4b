#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core/clock.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/queue.hpp"
#include "core/time_format.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::core;
namespace fs = std::filesystem;

TEST(ManualClock, TimersFireInDeadlineOrderAndRepeat) {
    ManualClock clock;
    std::vector<std::string> fired;
    auto a = clock.startTimer(seconds(2), seconds(30), [&] { fired.push_back("tick"); });
    auto b = clock.startTimer(seconds(10), Duration::zero(), [&] { fired.push_back("once"); });
    clock.advance(seconds(1));
    EXPECT_TRUE(fired.empty());
    clock.advance(seconds(61));  // t=62: tick at 2, 32, 62; once at 10
    EXPECT_EQ(fired, (std::vector<std::string>{"tick", "once", "tick", "tick"}));
    a->cancel();
    clock.advance(seconds(300));
    EXPECT_EQ(fired.size(), 4u);
}

TEST(ManualClock, SleeperWakesOnlyWhenTimeReachesItsDeadline) {
    ManualClock clock;
    std::atomic<bool> woke{false};
    std::thread t([&] {
        clock.sleepFor(seconds(5));
        woke = true;
    });
    ASSERT_TRUE(clock.waitForSleepers(1));
    clock.advance(seconds(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke);
    clock.advance(seconds(1));
    t.join();
    EXPECT_TRUE(woke);
}

TEST(ManualClock, StopTokenCancelsSleepAndAutoAdvanceMovesTime) {
    ManualClock clock;
    std::stop_source stop;
    std::thread t([&] { EXPECT_FALSE(clock.sleepFor(seconds(3600), stop.get_token())); });
    ASSERT_TRUE(clock.waitForSleepers(1));
    stop.request_stop();
    t.join();

    clock.setAutoAdvance(true);
    auto before = clock.now();
    EXPECT_TRUE(clock.sleepFor(seconds(6 * 3600)));
    EXPECT_EQ(clock.now() - before, seconds(6 * 3600));
}

TEST(SerialQueue, RunsInOrderAndSyncIsReentrant) {
    SerialQueue q("sayloft.test");
    std::vector<int> order;
    for (int i = 0; i < 100; ++i) q.async([&, i] { order.push_back(i); });
    int inner = q.sync([&] { return q.sync([] { return 7; }); });  // no deadlock on itself
    EXPECT_EQ(inner, 7);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_THROW(q.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(TimeFormat, LocalPatternsRoundTripAndRejectImpossibleDates) {
    auto t = parseLocal("20250314093012", "yyyyMMddHHmmss");
    ASSERT_TRUE(t);
    EXPECT_EQ(formatLocal(*t, "yyMMdd-HHmmss"), "250314-093012");
    EXPECT_FALSE(parseLocal("20251314093012", "yyyyMMddHHmmss"));
    EXPECT_FALSE(parseLocal("20250230093012", "yyyyMMddHHmmss"));
    EXPECT_FALSE(parseLocal("2025031409301", "yyyyMMddHHmmss"));
    EXPECT_TRUE(parseLocal("20240229000000", "yyyyMMddHHmmss"));
}

TEST(TimeFormat, Iso8601) {
    auto t = parseIso8601("2025-03-14T08:30:12Z");
    ASSERT_TRUE(t);
    EXPECT_EQ(formatIso8601Utc(*t), "2025-03-14T08:30:12Z");
    EXPECT_EQ(parseIso8601("2025-03-14T09:30:12+01:00"), t);
    EXPECT_EQ(parseIso8601("2025-03-14T08:30:12.250Z").value() - *t,
              std::chrono::milliseconds(250));
    EXPECT_FALSE(parseIso8601("2025-03-14 08:30"));
    EXPECT_FALSE(parseIso8601("2025-03-14T08:30:12"));  // no zone
    EXPECT_EQ(parseIso8601(formatIso8601Local(*t)), t);
}

TEST(Files, AtomicWriteHonoursModeAndLeavesNoTemporaries) {
    test::TempDir dir;
    auto target = dir / "a" / "b" / "secret.json";
    writeAtomically(target, "one", 0600);
    writeAtomically(target, "two", 0600, Sync::durable);
    EXPECT_EQ(test::readFile(target), "two");
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()),
              1);
}

TEST(Files, DurableWriteErrorsNameTheStep) {
    test::TempDir dir;
    auto target = dir / "rec" / "recording.json";
    writeDurably(target, "{}");
    EXPECT_EQ(test::readFile(target), "{}");
    EXPECT_FALSE(fs::exists(dir / "rec" / ".recording.json.tmp"));

    // A folder in the way of the target: the rename step fails and says so.
    auto blocked = dir / "rec" / "blocked.json";
    fs::create_directories(blocked / "child");
    try {
        writeDurably(blocked, "{\"x\":1}");
        FAIL() << "expected an error";
    } catch (const FileError& e) {
        EXPECT_EQ(e.step(), "rename");
        EXPECT_EQ(std::string(e.what()), std::string("rename: ") + std::strerror(e.code()));
    }
    // ... and leaves no temporary file behind.
    for (auto& e : fs::directory_iterator(dir / "rec"))
        EXPECT_FALSE(e.path().filename().string().ends_with(".tmp")) << e.path();
    // The parent being a file: the folder cannot be made.
    test::writeFile(dir / "plain", "x");
    EXPECT_THROW(writeDurably(dir / "plain" / "recording.json", "{}"), FileError);
}

TEST(Files, ReadingRefusesWhatIsNotARegularFileWithoutBlocking) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: a blocking open hangs
    EXPECT_FALSE(readFile(dir / "fifo"));
    EXPECT_FALSE(readFile(dir.path()));
    test::writeFile(dir / "plain", "x");
    EXPECT_EQ(readFile(dir / "plain"), "x");
}

TEST(Json, PrettySortedAndOptionalsOmitted) {
    Json j = Json::object();
    j["zeta"] = 1;
    j["alpha"] = "x";
    putOptional<int>(j, "gone", std::nullopt);
    EXPECT_EQ(dumpPretty(j), "{\n  \"alpha\": \"x\",\n  \"zeta\": 1\n}\n");
    EXPECT_FALSE(getOptional<int>(j, "gone"));
    EXPECT_THROW(getOptional<int>(j, "alpha"), Json::type_error);
}

TEST(CaptureLog, RotatesAboveTheLimitKeepingOneGeneration) {
    test::TempDir dir;
    auto file = dir / "logs" / "sayloft.log";
    {
        CaptureLogWriter writer(file, 100);
        for (int i = 0; i < 30; ++i) writer.append(fmt::format("[sayloft] capture: line {}", i));
        writer.flush();
    }
    auto current = test::readFile(file);
    auto previous = test::readFile(dir / "logs" / "sayloft.1.log");
    EXPECT_NE(current.find("line 29\n"), std::string::npos);
    EXPECT_FALSE(previous.empty());
    EXPECT_LE(previous.size(), 100u + 80u);
    EXPECT_FALSE(fs::exists(dir / "logs" / "sayloft.2.log"));
}

TEST(Log, InformationalLinesReachTheLogButNotStderr) {
    test::TempDir dir;
    std::vector<std::string> seen;
    int token = LogConfig::addListener([&](const std::string& line) { seen.push_back(line); });
    std::fflush(stderr);
    int saved = dup(2);
    int file = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    log("secrets", "cannot read {}", "x");
    note("secrets", "keeping secrets in {}", "y");
    std::fflush(stderr);
    dup2(saved, 2);
    ::close(saved);
    ::close(file);
    LogConfig::removeListener(token);
    EXPECT_EQ(test::readFile(dir / "stderr"), "[sayloft] secrets: cannot read x\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"[sayloft] secrets: cannot read x",
                                              "[sayloft] secrets: keeping secrets in y"}));
}

TEST(Paths, TildeExpansionUsesHome) {
    test::TempHome home;
    EXPECT_EQ(expandTilde("~/Audio"), (home.path() / "Audio").string());
    EXPECT_EQ(expandTilde("~"), home.path().string());
    EXPECT_EQ(expandTilde("/abs/~x"), "/abs/~x");
    EXPECT_EQ(expandTilde("~other/x"), "~other/x");
}
