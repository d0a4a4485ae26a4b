// The real daemon against the real local service: a voice memo dropped into the watched folder
// becomes a transcribed note, and every fault ends with nothing lost and nothing sent twice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include "capture/capture_state_store.hpp"
#include "core/process.hpp"
#include "core/time_format.hpp"
#include "platform/secret_store.hpp"
#include "service/keychain.hpp"
#include "vault/inbox_writer.hpp"
#include "wendrel_test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;
using test::Json;

namespace {

constexpr const char* kMemo = "20250314 093012-3F2A9C1B.m4a";
constexpr const char* kId = "250314-093012";
// Product time runs this much faster: a 30 s tick is 0.3 s, a 5 s poll wait 50 ms.
constexpr const char* kTimeScale = "100";

// One shared spoken memo for every case; speaking and encoding it is the slow part.
const fs::path& spokenMemo() {
    static test::TempDir dir;
    static fs::path m4a = [] {
        auto wav = dir / "memo.wav";
        test::speak("please remember to call the office about the quarterly report tomorrow", wav);
        auto out = dir / "memo.m4a";
        test::encodeM4a(wav, out);
        return out;
    }();
    return m4a;
}

struct Flow {
    test::TempDir home;
    fs::path memos = home / "Voice Memos";
    fs::path vault = home / "Vault";
    fs::path log = home / "daemon.log";
    test::ServerProcess server;
    std::string token;
    pid_t daemon = -1;

    explicit Flow(bool upload = true, std::vector<std::string> serverArgs = {}, bool paired = true)
        : server(home / "wendrel", withDefaults(std::move(serverArgs))) {
        fs::create_directories(memos);
        server.start();
        auto client = server.client();
        token = test::pairDevice(client);
        service::Keychain keychain(std::make_shared<platform::FileSecretStore>(
            home / ".local" / "share" / "sayloft" / "secrets.json"));
        if (paired) keychain.write(service::Keychain::kDeviceTokenAccount, token);
        Json settings = test::settingsFor(vault, "Vault");
        settings["captureVoiceMemosEnabled"] = true;
        settings["captureWendrelEnabled"] = upload;
        settings["wendrelBaseURL"] =
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v1";
        test::writeFile(home / ".config" / "sayloft" / "settings.json", settings.dump(2));
    }
    ~Flow() { stopDaemon(SIGKILL); }

    static std::vector<std::string> withDefaults(std::vector<std::string> args) {
        args.insert(args.begin(), {"--auto-approve", "--admin"});
        return args;
    }

    std::vector<std::pair<std::string, std::string>> env() const {
        // No Secret Service: the token lives in the file store written above.
        return test::homeEnv(home.path(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    }

    void startDaemon() {
        auto env = this->env();
        env.push_back({"PATH", "/usr/bin:/bin"});
        daemon = test::spawnBackground(
            {test::buildPath("apps/sayloft/sayloft").string(), "run", "--time-scale", kTimeScale},
            log, env);
        ASSERT_TRUE(test::eventually([&] { return logHas("coordinator started"); }, 20))
            << daemonLog();
    }

    int stopDaemon(int signal) {
        if (daemon <= 0) return 0;
        kill(daemon, signal);
        int status = test::waitExit(daemon);
        daemon = -1;
        return status;
    }

    std::string daemonLog() const { return test::readFile(log); }
    bool logHas(const std::string& text) const {
        return daemonLog().find(text) != std::string::npos;
    }

    // Dropped as a sync tool would: written beside, then renamed into place.
    void dropMemo(const std::string& name = kMemo) {
        fs::copy_file(spokenMemo(), memos / ".incoming");
        fs::rename(memos / ".incoming", memos / name);
        id = capture::FilenameNormaliser::canonicalId(
            capture::FilenameNormaliser::parse(name).value().timestamp);
    }
    // A memo recorded after the daemon first started: only such captures are ever retried.
    void dropRecentMemo() {
        dropMemo(
            core::formatLocal(core::SystemClock::now() + std::chrono::hours(1), "yyyyMMdd HHmmss") +
            "-3F2A9C1B.m4a");
    }
    std::string id = kId;

    vault::InboxWriter inbox() const { return vault::InboxWriter(vault); }
    std::optional<vault::InboxWriter::Frontmatter> note() const {
        try {
            return inbox().readFrontmatter(inbox().notePath(id));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    std::string status() const {
        auto n = note();
        return n ? n->wlJobStatus.value_or("") : "";
    }
    bool statusIs(const std::string& s) const { return status() == s; }

    int sourcesOnServer() {
        auto client = server.client();
        auto r = client.Get("/api/v1/sources?limit=1000", test::bearer(token));
        return r && r->status == 200 ? int(Json::parse(r->body)["files"].size()) : -1;
    }

    void fault(const Json& body) {
        auto client = server.client();
        auto r =
            client.Post("/admin/faults", server.ownerHeaders(), body.dump(), "application/json");
        ASSERT_TRUE(r && r->status / 100 == 2) << (r ? r->body : "no answer");
    }

    test::RunResult sayloft(std::vector<std::string> args, bool scaled = true) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        if (scaled) args.insert(args.end(), {"--time-scale", kTimeScale});
        return test::run(args, env());
    }
};

}  // namespace

TEST(CaptureFlow, SpokenVoiceMemoBecomesATranscribedNote) {
    Flow f;
    f.startDaemon();
    f.dropMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    auto note = f.note().value();
    EXPECT_EQ(note.classification, "voice_memo");
    EXPECT_TRUE(note.externalId && note.externalId->starts_with("DOC_"));
    EXPECT_TRUE(note.title && !note.title->empty());
    auto body = f.inbox().readBody(f.inbox().notePath(kId));
    // Offline recognition of a synthetic voice is rough; most words still come through.
    EXPECT_LT(test::wordErrorRate(
                  "please remember to call the office about the quarterly report tomorrow", body),
              0.8)
        << body;
    EXPECT_EQ(test::readFile(f.inbox().audioPath(kId)), test::readFile(spokenMemo()));
    EXPECT_EQ(f.sourcesOnServer(), 1);
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
    EXPECT_TRUE(f.logHas("capture pipeline: transcript written for 250314-093012"));
    // Everything of ours lives in the XDG places.
    EXPECT_FALSE(fs::exists(f.home / "Library"));
}

TEST(CaptureFlow, AnInstalledEngineTranscribesThroughTheRecognizerCommand) {
    test::TempDir engineDir;
    // A stand-in for an engine the user installed: it checks it got a WAV and answers.
    auto engine = engineDir / "my engine";
    test::writeFile(engine,
                    "#!/bin/sh\n[ \"$(head -c 4 \"$2\")\" = RIFF ] || { echo 'not a WAV' >&2; "
                    "exit 2; }\necho 'Dictated through the installed engine.'\n");
    fs::permissions(engine, fs::perms::owner_all);
    Flow f(true, {"--recognizer-command", core::shellQuote(engine.string()) + " -f {wav}"});
    f.startDaemon();
    f.dropMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    auto body = f.inbox().readBody(f.inbox().notePath(kId));
    EXPECT_NE(body.find("Dictated through the installed engine."), std::string::npos) << body;
    EXPECT_NE(f.server.log().find("recogniser command: "), std::string::npos);
}

TEST(CaptureFlow, SayloftPairsUnattendedWithAnAutoApprovingService) {
    Flow f;
    ASSERT_EQ(f.sayloft({"unpair"}).exitCode, 0);
    auto paired = f.sayloft({"pair", "--no-browser"});
    EXPECT_EQ(paired.exitCode, 0) << paired.out << paired.err << f.server.log();
    EXPECT_NE(f.sayloft({"status"}).out.find("Wendrel: connected"), std::string::npos);
    EXPECT_NE(f.server.log().find("approved automatically"), std::string::npos);
}

TEST(CaptureFlow, KilledWhilePollingResumesAfterRestart) {
    Flow f;
    f.fault({{"route", "status"}, {"kind", "status"}, {"code", 500}, {"count", 10000}});
    f.startDaemon();
    f.dropRecentMemo();
    ASSERT_TRUE(test::eventually([&] { return f.logHas("status poll error for " + f.id); }))
        << f.daemonLog();
    EXPECT_EQ(f.stopDaemon(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(f.statusIs("queued"));
    auto client = f.server.client();
    client.Delete("/admin/faults", f.server.ownerHeaders());

    f.startDaemon();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    EXPECT_TRUE(f.logHas(f.id + " resumed (polling DOC_"));
    EXPECT_EQ(f.sourcesOnServer(), 1);
}

TEST(CaptureFlow, FailedUploadIsCompletedByRetry) {
    Flow f;
    f.fault({{"route", "upload"}, {"kind", "status"}, {"code", 500}, {"body", ""}, {"count", 1}});
    f.startDaemon();
    f.dropRecentMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("upload_failed"); })) << f.daemonLog();
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
    EXPECT_EQ(f.sourcesOnServer(), 0);
    EXPECT_EQ(f.sayloft({"retry", "--count"}).out, "1 pending capture\n");

    auto retry = f.sayloft({"retry"});
    EXPECT_EQ(retry.exitCode, 0) << retry.err;
    EXPECT_EQ(retry.out,
              "Scanning _inbox…\nUploading 1 of 1\nDone. 1 uploaded, 0 skipped, 0 failed.\n");
    EXPECT_EQ(f.status(), "done") << retry.err;
    EXPECT_EQ(f.sourcesOnServer(), 1);
    EXPECT_EQ(f.sayloft({"retry", "--count"}).out, "0 pending captures\n");
}

TEST(CaptureFlow, TenNotFoundAnswersEndInOneSearchAndNoSecondCopy) {
    Flow f;
    f.fault({{"route", "status"}, {"kind", "status"}, {"code", 404}, {"count", 10}});
    f.startDaemon();
    f.dropMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done") || f.statusIs("failed"); }))
        << f.daemonLog();
    EXPECT_TRUE(f.logHas("not in the source list; uploading again to learn its key") ||
                f.logHas("found in the source list"));
    EXPECT_EQ(f.sourcesOnServer(), 1);  // the second upload was recognised as a duplicate
}

TEST(CaptureFlow, RefusedTranscriptFetchFailsTheCapture) {
    Flow f;
    f.fault({{"route", "source"},
             {"kind", "status"},
             {"code", 402},
             {"plan", "pro"},
             {"message", "Transcripts need a paid plan"},
             {"count", 2}});
    f.startDaemon();
    f.dropMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("failed"); })) << f.daemonLog();
    EXPECT_TRUE(f.logHas("retrieval refused for 250314-093012"));
    EXPECT_EQ(f.sourcesOnServer(), 1);
}

TEST(CaptureFlow, UploadSwitchedOffIsSentByRetryOnceSwitchedOn) {
    Flow f(/*upload=*/false);
    f.startDaemon();
    f.dropRecentMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("skipped"); })) << f.daemonLog();
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
    EXPECT_EQ(f.sourcesOnServer(), 0);

    EXPECT_EQ(f.sayloft({"settings", "set", "captureWendrelEnabled", "true"}, false).exitCode, 0);
    auto retry = f.sayloft({"retry"});
    EXPECT_EQ(retry.exitCode, 0) << retry.err;
    EXPECT_EQ(f.status(), "done") << retry.err;
    EXPECT_EQ(f.sourcesOnServer(), 1);
}

TEST(CaptureFlow, SettingsChangedFromTheCommandLineReachTheRunningDaemon) {
    Flow f(/*upload=*/false);
    f.startDaemon();
    auto extra = f.home / "Extra recordings";
    fs::create_directories(extra);
    auto add = f.sayloft({"folders", "add", extra.string(), "--name", "Extra"}, false);
    EXPECT_EQ(add.exitCode, 0) << add.err;
    ASSERT_TRUE(test::eventually([&] { return f.logHas("folders=Voice Memos, Extra"); }, 20))
        << f.daemonLog();

    fs::copy_file(spokenMemo(), extra / "later.m4a");
    ASSERT_TRUE(test::eventually([&] {
        auto notes = f.inbox().readableNotes();
        return notes.size() == 1 && notes[0].frontmatter.wlJobStatus == "skipped";
    })) << f.daemonLog();
    EXPECT_EQ(f.inbox().readableNotes()[0].frontmatter.classification, "audio_capture");
    auto status = f.sayloft({"status"}, false);
    EXPECT_NE(status.out.find("Daemon: running (pid " + std::to_string(f.daemon) + ")"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("Captures: 1 pending"), std::string::npos) << status.out;
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
    EXPECT_NE(f.sayloft({"status"}, false).out.find("Daemon: not running"), std::string::npos);
    EXPECT_FALSE(fs::exists(f.home / ".run" / "sayloft" / "control.sock"));
}

// One engine per user: commands given while the daemon runs are carried out by the daemon.

TEST(OneEngine, CommandsBesideTheDaemonAreCarriedOutByIt) {
    Flow f;
    f.dropMemo();  // there before the first start: absorbed by the initial index
    f.startDaemon();
    auto second = f.sayloft({"run"}, false);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err, "sayloft is already running (pid " + std::to_string(f.daemon) + ").\n");

    auto import = f.sayloft({"import"}, false);
    EXPECT_EQ(import.exitCode, 0) << import.err;
    EXPECT_NE(import.out.find("Queued 1 recording."), std::string::npos) << import.out;
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    EXPECT_EQ(f.sourcesOnServer(), 1);
    // The daemon's own state knows the memo again, so its next writes keep it.
    EXPECT_TRUE(test::eventually([&] {
        auto state = Json::parse(test::readFile(f.home / ".local/state/sayloft/state.json"));
        auto& seen = state["seenByFolder"]["voice-memos"];
        return seen.contains(kMemo) && seen[kMemo]["canonicalId"] == kId;
    }));
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
}

TEST(OneEngine, RetryBesideTheDaemonUploadsOnceAndNotifies) {
    Flow f;
    f.fault({{"route", "upload"}, {"kind", "status"}, {"code", 500}, {"body", ""}, {"count", 1}});
    f.startDaemon();
    f.dropRecentMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("upload_failed"); })) << f.daemonLog();

    auto retry = f.sayloft({"retry"}, false);
    EXPECT_EQ(retry.exitCode, 0) << retry.err;
    EXPECT_EQ(retry.out,
              "Scanning _inbox…\nUploading 1 of 1\nDone. 1 uploaded, 0 skipped, 0 failed.\n");
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    EXPECT_EQ(f.sourcesOnServer(), 1);
    // The daemon's notifier heard of it (there is no notification service here, so it says so).
    EXPECT_TRUE(test::eventually([&] {
        return f.logHas("not posting sayloft.transcript." + f.id);
    })) << f.daemonLog();
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
}

TEST(OneEngine, PairingWhileTheDaemonRunsSendsWhatWaited) {
    Flow f(/*upload=*/true, {}, /*paired=*/false);
    f.startDaemon();
    f.dropRecentMemo();
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("upload_failed"); })) << f.daemonLog();
    auto pair = f.sayloft({"pair", "--no-browser"}, false);
    EXPECT_EQ(pair.exitCode, 0) << pair.err << pair.out;
    ASSERT_TRUE(test::eventually([&] { return f.statusIs("done"); })) << f.daemonLog();
    EXPECT_EQ(f.sourcesOnServer(), 1);
    EXPECT_EQ(f.stopDaemon(SIGTERM), 0);
}

TEST(OneEngine, WithoutADaemonPollWaitsForItsWorkAndTwoPollsShareTheFiles) {
    Flow f;
    auto marker = f.home / "after-transcript-ran";
    // Watched from the start, so what is dropped next is new.
    f.dropMemo();
    EXPECT_EQ(f.sayloft({"poll"}).exitCode, 0);
    EXPECT_EQ(f.sayloft({"settings", "set", "afterTranscriptCommand",
                         "sleep 3; echo done > " + core::shellQuote(marker.string())},
                        false)
                  .exitCode,
              0);
    f.dropRecentMemo();
    std::string second =
        core::formatLocal(core::SystemClock::now() + std::chrono::hours(2), "yyyyMMdd HHmmss") +
        "-00AA00AA.m4a";
    fs::copy_file(spokenMemo(), f.memos / second);

    test::RunResult a, b;
    std::thread other([&] { b = f.sayloft({"poll"}); });
    a = f.sayloft({"poll"});
    other.join();
    EXPECT_EQ(a.exitCode, 0) << a.err;
    EXPECT_EQ(b.exitCode, 0) << b.err;
    // Each file was captured by exactly one of the two.
    auto lines = [](const std::string& out) { return std::count(out.begin(), out.end(), '\n'); };
    EXPECT_EQ(lines(a.out) + lines(b.out), 2) << a.out << "|" << b.out;
    auto notes = f.inbox().readableNotes();
    ASSERT_EQ(notes.size(), 2u);
    for (auto& n : notes) EXPECT_EQ(n.frontmatter.wlJobStatus, "done");
    EXPECT_EQ(f.sourcesOnServer(), 1);  // the same bytes twice: the service keeps one source
    // The command outlived nothing: the poll waited for it.
    EXPECT_EQ(test::readFile(marker), "done\n");
}
