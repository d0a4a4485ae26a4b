// Meetings recorded from a private sound server by the real program, sent to the real local
// service: `sayloft record` ends as a transcribed note; an engine killed mid-recording leaves the
// recording to be offered and sent at the next start; an idle engine holds no stream open; a
// recording whose writes start failing is cut short with an error and keeps what reached the disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <random>
#include <sstream>
#include <thread>

#include "platform/secret_store.hpp"
#include "private_pulse_server.hpp"
#include "service/keychain.hpp"
#include "terminal_session.hpp"
#include "vault/inbox_writer.hpp"
#include "wendrel_test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;
using test::Json;

namespace {

// Product time runs this much faster than real time: a 20 s recording takes 5 s.
constexpr const char* kTimeScale = "4";

struct RecorderHome {
    test::TempDir home;
    fs::path vault = home / "Vault";
    fs::path log = home / "sayloft.log";
    test::PrivatePulseServer pulse;
    test::ServerProcess server{home / "wendrel", {"--auto-approve"}};
    fs::path micSpeech = home / "mic.wav";
    fs::path otherSpeech = home / "other.wav";
    pid_t daemon = -1;
    std::string timeScale = kTimeScale;

    bool start() {
        if (!pulse.start()) return false;
        server.start();
        auto client = server.client();
        service::Keychain keychain(std::make_shared<platform::FileSecretStore>(
            home / ".local" / "share" / "sayloft" / "secrets.json"));
        keychain.write(service::Keychain::kDeviceTokenAccount, test::pairDevice(client));
        Json settings = test::settingsFor(vault, "Vault");
        settings["captureWendrelEnabled"] = true;
        settings["recordingConsentReminder"] = false;
        settings["wendrelBaseURL"] =
            "http://127.0.0.1:" + std::to_string(server.port()) + "/api/v1";
        test::writeFile(home / ".config" / "sayloft" / "settings.json", settings.dump(2));
        test::speak("please remember to call the office about the quarterly report", micSpeech);
        test::speak("the weather will be cold and windy with rain", otherSpeech);
        return true;
    }
    ~RecorderHome() { stopDaemon(SIGKILL); }

    std::vector<std::pair<std::string, std::string>> env() const {
        auto env =
            test::homeEnv(home.path(), {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
                                        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}});
        for (auto& [key, value] : pulse.env())
            if (key.starts_with("PULSE_")) env.push_back({key, value});
        return env;
    }
    std::vector<std::string> argv(std::vector<std::string> args) const {
        args.insert(args.begin(),
                    {test::buildPath("apps/sayloft/sayloft").string(), "--time-scale", timeScale});
        return args;
    }
    test::RunResult sayloft(std::vector<std::string> args) const {
        return test::run(argv(args), env());
    }
    pid_t background(std::vector<std::string> args) const {
        return test::spawnBackground(argv(args), log, env());
    }
    std::string text() const { return test::readFile(log); }
    size_t count(const std::string& needle) const { return test::countIn(text(), needle); }
    void startDaemon() {
        const auto answers = count("Daemon: running");
        daemon = background({"run"});
        ASSERT_TRUE(test::eventually(
            [&] { return sayloft({"status"}).out.find("Daemon: running") != std::string::npos; },
            30))
            << text();
        (void)answers;
    }
    int stopDaemon(int signal) {
        if (daemon <= 0) return 0;
        ::kill(daemon, signal);
        int status = test::waitExit(daemon);
        daemon = -1;
        return status;
    }
    // Both sides speak once the recording runs.
    void speakBothSides() {
        pid_t mic = pulse.speak(micSpeech);
        pid_t other = pulse.play(otherSpeech, "speakers");
        test::waitExit(mic);
        test::waitExit(other);
    }
    // Record streams the sound server has open for sayloft (the virtual microphone has one of its
    // own).
    std::string recordStreams() const {
        auto listing = pulse.pactl({"list", "source-outputs"}).out;
        return listing.find("application.name = \"sayloft\"") == std::string::npos ? "" : listing;
    }
    bool connected() const {
        return pulse.pactl({"list", "clients"}).out.find("application.name = \"sayloft\"") !=
               std::string::npos;
    }
    vault::InboxWriter inbox() const { return vault::InboxWriter(vault); }
};

}  // namespace

TEST(LiveRecording, RecordCommandEndsAsATranscribedMeetingNote) {
    RecorderHome h;
    if (!h.start()) GTEST_SKIP() << "no private sound server: " << h.pulse.whyNot();

    pid_t record = h.background({"record", "--seconds", "20"});
    ASSERT_TRUE(test::eventually([&] { return h.count("recorder: started") > 0; }, 30)) << h.text();
    h.speakBothSides();
    ASSERT_EQ(test::waitExit(record), 0) << h.text();

    const auto log = h.text();
    auto at = log.find("Sent ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string id = log.substr(at + 5, log.find_first_of(" \n", at + 5) - at - 5);
    auto inbox = h.inbox();
    auto note = inbox.readFrontmatter(inbox.notePath(id));
    EXPECT_EQ(note.classification, "meeting_recording");
    EXPECT_EQ(note.recorderChannelLayout, "L=microphone,R=system");
    EXPECT_EQ(note.wlJobStatus, "done");
    EXPECT_GT(inbox.readBody(inbox.notePath(id)).size(), 10u);
    EXPECT_TRUE(h.recordStreams().empty()) << "the streams close with the recording";
}

TEST(LiveRecording, OnATerminalTheLineUpdatesAndCtrlCStopsAndSends) {
    RecorderHome h;
    if (!h.start()) GTEST_SKIP() << "no private sound server: " << h.pulse.whyNot();
    test::TerminalSession terminal(h.argv({"record", "--no-mic"}), h.env());
    ASSERT_TRUE(terminal.waitFor("\rRecording 00:0")) << terminal.output();
    ASSERT_TRUE(terminal.waitFor("system [")) << terminal.output();
    h.speakBothSides();
    terminal.interrupt();
    ASSERT_TRUE(terminal.waitFor("Stopping and sending")) << terminal.output();
    ASSERT_TRUE(terminal.waitFor("Sent ", std::chrono::seconds(60))) << terminal.output();
    EXPECT_EQ(terminal.wait(), 0) << terminal.output();
    EXPECT_EQ(terminal.output().find("mic ["), std::string::npos) << "no microphone, no meter";
    EXPECT_EQ(h.inbox().readableNotes().size(), 1u);
}

// Recordings whose first segment holds audio beyond its header.
size_t recordingsWithAudio(const fs::path& home) {
    size_t n = 0;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(home / ".local/share/sayloft/Recordings", ec))
        if (e.path().filename() == "segment-001.caf" && e.file_size(ec) > 4096) ++n;
    return n;
}

TEST(LiveRecording, KilledEnginesOfferTheirRecordingsToSendLater) {
    RecorderHome h;
    if (!h.start()) GTEST_SKIP() << "no private sound server: " << h.pulse.whyNot();
    // Real time: what reaches the disk before a kill is what was played so far.
    h.timeScale = "1";
    h.startDaemon();
    EXPECT_TRUE(h.recordStreams().empty()) << "an idle engine holds no stream open";
    auto devices = h.sayloft({"devices"});
    EXPECT_EQ(devices.exitCode, 0) << devices.err;
    EXPECT_NE(devices.out.find("mic"), std::string::npos) << devices.out;
    EXPECT_TRUE(h.recordStreams().empty()) << "asking for the devices opens no stream";
    EXPECT_FALSE(h.connected()) << "nor keeps a connection";

    // Killed at a different moment of each of three recordings, while both sides speak.
    std::mt19937 random(20250314);
    for (size_t round = 1; round <= 3; ++round) {
        if (round > 1) h.startDaemon();
        pid_t record = h.background({"record"});
        ASSERT_TRUE(test::eventually([&] { return h.count("recorder: started") >= round; }, 30))
            << h.text();
        EXPECT_FALSE(h.recordStreams().empty());
        pid_t mic = h.pulse.speak(h.micSpeech);
        pid_t other = h.pulse.play(h.otherSpeech, "speakers");
        // The kill falls 1.5 to 3 s after audio first reached the disk: the streams' start
        // takes a second or more on a busy machine, and what was only in memory is not kept.
        ASSERT_TRUE(
            test::eventually([&] { return recordingsWithAudio(h.home.path()) >= round; }, 30))
            << h.text();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500 + random() % 1500));
        EXPECT_EQ(h.stopDaemon(SIGKILL), 128 + SIGKILL);
        test::waitExit(record);
        test::waitExit(mic);
        test::waitExit(other);
    }

    h.startDaemon();
    ASSERT_TRUE(
        test::eventually([&] { return h.count("3 unfinished recording(s) found") > 0; }, 30))
        << h.text();
    auto listed = h.sayloft({"recordings"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::vector<std::string> ids;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.find("interrupted"), std::string::npos) << line;
        ids.push_back(line.substr(0, line.find('\t')));
    }
    ASSERT_EQ(ids.size(), 3u) << listed.out;

    auto inbox = h.inbox();
    for (auto& id : ids) {
        auto sent = h.sayloft({"recordings", "send", id});
        EXPECT_EQ(sent.exitCode, 0) << sent.err;
        EXPECT_EQ(sent.out.rfind("Sent " + id, 0), 0u) << sent.out;
        auto note = inbox.readFrontmatter(inbox.notePath(id));
        EXPECT_EQ(note.classification, "meeting_recording");
        EXPECT_GT(note.audioDurationSec.value_or(0), 0);
    }
    EXPECT_TRUE(h.recordStreams().empty());
    EXPECT_EQ(h.sayloft({"recordings"}).out, "No unfinished recordings.\n");
}

TEST(LiveRecording, WritesFailingPartwayEndTheCommandWithAnErrorAndSendWhatReachedTheDisk) {
    RecorderHome h;
    if (!h.start()) GTEST_SKIP() << "no private sound server: " << h.pulse.whyNot();
    h.timeScale = "1";
    // No file of the command may grow past 2 MB: its segment reaches that after about 5 s of
    // audio, and from then on every write fails as on a full disk. sayloft itself has to keep
    // the signal a file size limit sends from killing it.
    pid_t mic = h.pulse.speak(h.micSpeech);
    pid_t other = h.pulse.play(h.otherSpeech, "speakers");
    auto argv = h.argv({"record", "--seconds", "30"});
    argv.insert(argv.begin(), {"prlimit", "--fsize=2000000", "--"});
    pid_t record = test::spawnBackground(argv, h.log, h.env());
    test::waitExit(mic);
    test::waitExit(other);
    EXPECT_EQ(test::waitExit(record), 1) << h.text();

    const auto log = h.text();
    EXPECT_NE(log.find("Recording stopped: sayloft could not save the audio to disk (File too "
                       "large). What was saved before is being sent."),
              std::string::npos)
        << log;
    auto at = log.find("Sent ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string id = log.substr(at + 5, log.find_first_of(" \n", at + 5) - at - 5);
    // Every frame the segment held reached the note.
    auto closed = log.find("segment segment-001.caf closed (");
    ASSERT_NE(closed, std::string::npos) << log;
    const double onDisk = std::stod(log.substr(closed + 32)) / 48000;
    EXPECT_GT(onDisk, 1);
    EXPECT_LT(onDisk, 2000000.0 / 8 / 48000) << log;
    auto inbox = h.inbox();
    auto note = inbox.readFrontmatter(inbox.notePath(id));
    EXPECT_EQ(note.classification, "meeting_recording");
    EXPECT_NEAR(double(note.audioDurationSec.value_or(0)), onDisk, 1.0);
    EXPECT_EQ(h.sayloft({"recordings"}).out, "No unfinished recordings.\n");
    EXPECT_TRUE(h.recordStreams().empty());
}

// A FIFO where the recordings folder belongs: both commands name it, and neither hangs on it.
TEST(RecordingsFolder, ThatIsNoFolderIsNamedByRecordAndByRecordings) {
    test::TempDir home;
    const auto place = home / ".local/share/sayloft/Recordings";
    fs::create_directories(place.parent_path());
    ASSERT_EQ(::mkfifo(place.c_str(), 0600), 0);
    const std::string says = place.string() + " is a named pipe (FIFO), not a folder";
    auto env = test::homeEnv(home.path(), {{"PULSE_SERVER", "unix:/nonexistent"},
                                           {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"},
                                           {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}});
    auto sayloft = [&](std::vector<std::string> args) {
        args.insert(args.begin(), test::buildPath("apps/sayloft/sayloft").string());
        return test::run(args, env);
    };
    auto listed = sayloft({"recordings"});
    EXPECT_EQ(listed.exitCode, 1);
    EXPECT_EQ(listed.out, "");
    EXPECT_NE(listed.err.find(says), std::string::npos) << listed.err;

    auto recorded = sayloft({"record", "--seconds", "1"});
    EXPECT_EQ(recorded.exitCode, 1);
    EXPECT_NE(recorded.err.find("Could not create the recording folder: " + says),
              std::string::npos)
        << recorded.err;
    EXPECT_TRUE(fs::is_fifo(place)) << "left as it was";
}
