// The real daemon killed at random moments, many times, against the real local service: every
// recording still ends as exactly one done note and one source, with nothing left half-written.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <random>
#include <set>
#include <thread>

#include "capture/capture_state_store.hpp"
#include "core/time_format.hpp"
#include "platform/secret_store.hpp"
#include "service/keychain.hpp"
#include "vault/inbox_writer.hpp"
#include "wendrel_test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;
using test::Json;

namespace {

constexpr const char* kTimeScale = "100";

// Distinct spoken memos (the service would take identical bytes for one source).
const std::vector<fs::path>& spokenMemos() {
    static test::TempDir dir;
    static std::vector<fs::path> memos = [] {
        const char* words[] = {"one",   "two",   "three", "four", "five",   "six",
                               "seven", "eight", "nine",  "ten",  "eleven", "twelve"};
        std::vector<fs::path> out;
        for (int i = 0; i < 12; ++i) {
            auto wav = dir / ("memo" + std::to_string(i) + ".wav");
            test::speak(std::string("memo number ") + words[i] + " about the weekly plan", wav);
            auto m4a = dir / ("memo" + std::to_string(i) + ".m4a");
            test::encodeM4a(wav, m4a);
            out.push_back(m4a);
        }
        return out;
    }();
    return memos;
}

struct Daemon {
    test::TempDir home;
    fs::path memos = home / "Voice Memos";
    fs::path vault = home / "Vault";
    fs::path log = home / "daemon.log";
    fs::path settingsFile = home / ".config" / "sayloft" / "settings.json";
    test::ServerProcess server{home / "wendrel", {"--auto-approve", "--admin"}};
    std::string token;
    pid_t pid = -1;

    explicit Daemon(bool upload = true) {
        fs::create_directories(memos);
        server.start();
        auto client = server.client();
        token = test::pairDevice(client);
        service::Keychain keychain(std::make_shared<platform::FileSecretStore>(
            home / ".local" / "share" / "sayloft" / "secrets.json"));
        keychain.write(service::Keychain::kDeviceTokenAccount, token);
        Json settings = test::settingsFor(vault, "Vault");
        settings["captureVoiceMemosEnabled"] = true;
        settings["captureWendrelEnabled"] = upload;
        settings["wendrelBaseURL"] =
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v1";
        test::writeFile(settingsFile, settings.dump(2));
    }
    ~Daemon() { kill(SIGKILL); }

    std::vector<std::pair<std::string, std::string>> env() const {
        auto env =
            test::homeEnv(home.path(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
        env.push_back({"PATH", "/usr/bin:/bin"});
        return env;
    }
    void start(bool waitStarted = true) {
        pid = test::spawnBackground(
            {test::buildPath("apps/sayloft/sayloft").string(), "run", "--time-scale", kTimeScale},
            log, env());
        if (waitStarted) {
            auto starts = count("coordinator started");
            ASSERT_TRUE(test::eventually([&] { return count("coordinator started") > starts; }, 30))
                << text();
        }
    }
    int kill(int signal) {
        if (pid <= 0) return 0;
        ::kill(pid, signal);
        int status = test::waitExit(pid);
        pid = -1;
        return status;
    }
    std::string text() const { return test::readFile(log); }
    size_t count(const std::string& needle) const { return test::countIn(text(), needle); }
    test::RunResult sayloft(std::vector<std::string> args) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        return test::run(args, env());
    }

    // Written beside, then renamed in, as a sync tool does.
    void drop(const fs::path& source, const std::string& name) {
        fs::copy_file(source, memos / ".incoming");
        fs::rename(memos / ".incoming", memos / name);
    }

    vault::InboxWriter inbox() const { return vault::InboxWriter(vault); }
    std::map<std::string, std::string> statuses() const {
        std::map<std::string, std::string> out;
        for (auto& n : inbox().readableNotes()) out[n.id] = n.frontmatter.wlJobStatus.value_or("");
        return out;
    }
    size_t doneCount() const {
        size_t n = 0;
        for (auto& [id, s] : statuses()) n += s == "done";
        return n;
    }
    int sourcesOnServer() {
        auto client = server.client();
        auto r = client.Get("/api/v1/sources?limit=1000", test::bearer(token));
        return r && r->status == 200 ? int(Json::parse(r->body)["files"].size()) : -1;
    }
    // Temporary files and audio without a note anywhere in the inbox.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        auto notes = statuses();
        for (const fs::path& dir : {inbox().inboxDir(), inbox().audioDir()}) {
            std::error_code ec;
            for (auto& e : fs::directory_iterator(dir, ec)) {
                auto name = e.path().filename().string();
                if (name.ends_with(".tmp")) out.push_back(name);
                if (dir == inbox().audioDir() && !notes.count(e.path().stem().string()))
                    out.push_back("orphan " + name);
            }
        }
        return out;
    }
};

// A recent Voice Memos name; `second` picks the second, `suffix` tells same-second files apart.
std::string memoName(int second, const std::string& suffix) {
    auto base = core::SystemClock::now() - std::chrono::minutes(5);
    return core::formatLocal(base + std::chrono::seconds(second), "yyyyMMdd HHmmss") + "-" +
           suffix + ".m4a";
}

}  // namespace

TEST(CrashSafety, KilledAtRandomMomentsNothingIsLostOrDuplicated) {
    Daemon d;
    const auto& memos = spokenMemos();
    std::mt19937 random(20251205);
    int kills = 0, dropped = 0;
    d.start();
    // Four bursts of three memos, two of each burst stamped with the same second; the daemon is
    // killed eight times after each burst at random moments of copy, stub, upload and poll.
    for (int burst = 0; burst < 4; ++burst) {
        d.drop(memos[dropped], memoName(burst * 10, "AAAA0001")), ++dropped;
        d.drop(memos[dropped], memoName(burst * 10, "BBBB0002")), ++dropped;
        d.drop(memos[dropped], memoName(burst * 10 + 1, "CCCC0003")), ++dropped;
        for (int k = 0; k < 8; ++k) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 900)(random)));
            EXPECT_EQ(d.kill(SIGKILL), 128 + SIGKILL);
            ++kills;
            d.start(false);
            // Sometimes before it has even started.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 400)(random)));
        }
    }
    EXPECT_GE(kills, 30);
    ASSERT_TRUE(test::eventually([&] { return d.doneCount() == size_t(dropped); }, 240))
        << d.text();
    EXPECT_EQ(d.statuses().size(), size_t(dropped));
    EXPECT_EQ(d.sourcesOnServer(), dropped);
    EXPECT_EQ(d.leftovers(), std::vector<std::string>{});
    // Same-second memos were filed apart, each with its own audio.
    std::set<std::string> audio;
    for (auto& [id, s] : d.statuses()) audio.insert(test::readFile(d.inbox().audioPath(id)));
    EXPECT_EQ(audio.size(), size_t(dropped));
    // The last start may still be on its way (a signal before the daemon runs ends it as any
    // program): stop it once it answers.
    ASSERT_TRUE(test::eventually(
        [&] {
            return d.sayloft({"status"})
                       .out.find("Daemon: running (pid " + std::to_string(d.pid) + ")") !=
                   std::string::npos;
        },
        60));
    EXPECT_EQ(d.kill(SIGTERM), 0);
    capture::CaptureStateStore state(d.home / ".local" / "state" / "sayloft" / "state.json",
                                     d.home / "none.json");
    for (auto& p : state.pending()) ADD_FAILURE() << "still pending: " << p.fileName;
}

TEST(CrashSafety, AFirstStartOnAnEmptyFolderDoesNotSwallowLaterMemos) {
    Daemon d(/*upload=*/false);
    d.start();
    ASSERT_TRUE(test::eventually([&] { return d.count("initial index complete (0 existing"); }))
        << d.text();
    EXPECT_EQ(d.kill(SIGKILL), 128 + SIGKILL);
    for (int i = 0; i < 6; ++i)
        d.drop(spokenMemos()[i], memoName(i, "DDDD000" + std::to_string(i)));
    d.start();
    ASSERT_TRUE(test::eventually([&] { return d.statuses().size() == 6; })) << d.text();
    EXPECT_EQ(d.count("initial index complete"), 1u);
}

TEST(CrashSafety, AVaultThatCannotBeWrittenKeepsTheMemoUntilItCan) {
    Daemon d(/*upload=*/false);
    test::writeFile(d.vault, "a file where the vault folder should be");
    d.start();
    d.drop(spokenMemos()[0], memoName(0, "EEEE0001"));
    ASSERT_TRUE(test::eventually([&] { return d.count("stays pending; trying again in") >= 2; }))
        << d.text();
    auto status = d.sayloft({"status"});
    EXPECT_NE(status.out.find("Not yet noted: "), std::string::npos) << status.out;
    fs::remove(d.vault);
    ASSERT_TRUE(test::eventually([&] { return d.statuses().size() == 1; })) << d.text();
    EXPECT_EQ(d.leftovers(), std::vector<std::string>{});

    // A folder where the stub should go: the stub fails, the daemon stops, `sayloft retry` mends.
    const auto name = memoName(5, "EEEE0002");
    const auto id = capture::FilenameNormaliser::canonicalId(
        capture::FilenameNormaliser::parse(name).value().timestamp);
    fs::create_directories(d.inbox().notePath(id));
    d.drop(spokenMemos()[1], name);
    ASSERT_TRUE(test::eventually([&] { return d.count("writeStub failed for") >= 1; })) << d.text();
    EXPECT_EQ(d.kill(SIGTERM), 0);
    fs::remove(d.inbox().notePath(id));
    auto retry = d.sayloft({"retry"});
    EXPECT_EQ(retry.exitCode, 0) << retry.err;
    EXPECT_NE(retry.out.find("Taken again: 1 file not yet noted"), std::string::npos) << retry.out;
    EXPECT_EQ(d.statuses().size(), 2u);
    EXPECT_EQ(d.leftovers(), std::vector<std::string>{});
}

TEST(CrashSafety, ADamagedSettingsFileIsReportedAndNeverWrittenOver) {
    Daemon d;
    auto original = test::readFile(d.settingsFile);
    auto damaged = Json::parse(original);
    damaged["recentDays"] = "seven";
    test::writeFile(d.settingsFile, damaged.dump(2));
    auto set = d.sayloft({"settings", "set", "maxFiles", "20"});
    EXPECT_NE(set.exitCode, 0);
    EXPECT_NE(set.err.find("recentDays"), std::string::npos) << set.err;
    auto add = d.sayloft({"folders", "add", (d.home / "x").string()});
    EXPECT_NE(add.exitCode, 0);
    EXPECT_EQ(test::readFile(d.settingsFile), damaged.dump(2));

    // The daemon captures nothing into a vault the file does not name.
    d.drop(spokenMemos()[0], memoName(0, "FFFF0001"));
    d.start(false);
    ASSERT_TRUE(test::eventually([&] { return d.count("settings file cannot be used"); }, 20))
        << d.text();
    EXPECT_FALSE(fs::exists(d.home / "Notes"));
    EXPECT_EQ(test::readFile(d.settingsFile), damaged.dump(2));
}

TEST(CrashSafety, StatusLoadsNoMediaLibraries) {
    test::TempDir home;
    auto env = test::homeEnv(home.path(), {{"LD_DEBUG", "libs"}});
    auto r = test::run({test::buildPath("apps/sayloft/sayloft").string(), "status"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("libc.so"), std::string::npos);  // the loader did report
    EXPECT_EQ(r.err.find("libavformat"), std::string::npos);
}
