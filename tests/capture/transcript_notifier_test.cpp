#include <gtest/gtest.h>

#include <thread>

#include "capture/transcript_notifier.hpp"
#include "fake_notification_server.hpp"
#include "platform/linux/freedesktop_notifications.hpp"
#include "platform_fakes.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
using vault::InboxWriter;
namespace fs = std::filesystem;
using Kind = CaptureEvent::Kind;

namespace {

// Runs main-queue work at once, on the calling thread.
struct InlineQueue : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};

struct NotifierFixture {
    test::TempHome home;
    settings::Settings settings{home.path() / "settings.json"};
    core::ManualClock clock{core::SystemClock::now()};
    InlineQueue main;
    platform::FakeNotifications fake;
    std::mutex openedMutex;
    std::vector<std::string> opened;
    std::vector<std::string> openedSoFar() {
        std::lock_guard lock(openedMutex);
        return opened;
    }
    bool obsidianHandler = true;
    test::LogCollector log;

    NotifierFixture() { settings.settings().vaultPath = (home.path() / "My Vault").string(); }

    TranscriptNotifier make(platform::Notifications& n) {
        return TranscriptNotifier({settings, n, clock, main,
                                   [this](const std::string&) { return obsidianHandler; },
                                   [this](const std::string& t) {
                                       std::lock_guard lock(openedMutex);
                                       opened.push_back(t);
                                   }});
    }

    void writeNote(const std::string& id, std::optional<std::string> title, int64_t duration = 150,
                   const std::string& classification = "voice_memo",
                   std::string status = "queued") {
        InboxWriter inbox(settings.settings().vaultPath, clock);
        InboxWriter::Frontmatter n;
        n.id = id;
        n.created = clock.now();
        n.title = title;
        n.audioDurationSec = duration;
        n.classification = classification;
        n.wlJobStatus = status;
        inbox.ensureDirectories();
        inbox.writeMarkdown(n, "");
    }
};

}  // namespace

TEST(TranscriptNotifier, BurstOfSentEventsGivesOneBatchTenSecondsAfterTheLast) {
    NotifierFixture f;
    auto notifier = f.make(f.fake);
    for (int i = 0; i < 3; ++i) {
        f.writeNote("m" + std::to_string(i), std::nullopt);
        notifier.receive({Kind::sent, "m" + std::to_string(i), "sent"});
        f.clock.advance(core::seconds(2));
    }
    f.clock.advance(core::seconds(7));  // 9 s after the third: not yet
    EXPECT_TRUE(f.fake.posted().empty());
    f.clock.advance(core::seconds(1));
    ASSERT_EQ(f.fake.posted().size(), 1u);
    auto n = f.fake.posted()[0];
    EXPECT_EQ(n.identifier, "sayloft.sent.batch");
    EXPECT_EQ(n.title, "Sending 3 voice memos to Wendrel");
    EXPECT_EQ(n.body, "The transcripts follow over the next minutes.");
    EXPECT_EQ(n.userInfo.at("filePath"), (f.home.path() / "My Vault" / "_inbox").string());
}

TEST(TranscriptNotifier, ATrickleIsFlushedSixtySecondsAfterTheFirstEvent) {
    NotifierFixture f;
    auto notifier = f.make(f.fake);
    for (int i = 0; i < 8; ++i) {
        notifier.receive({Kind::failed, "f" + std::to_string(i), "poll_timeout"});
        f.clock.advance(core::seconds(8));  // t = 64 after the loop; the flush came at 60
        if (i == 6) {
            EXPECT_TRUE(f.fake.posted().empty());
        }
    }
    ASSERT_EQ(f.fake.posted().size(), 1u);
    EXPECT_EQ(f.fake.posted()[0].title, "8 transcripts failed");
    EXPECT_EQ(f.fake.posted()[0].body,
              "Wendrel did not finish it in time for 8 captures. Send them again with `sayloft "
              "retry`.");
}

TEST(TranscriptNotifier, ReadyBeforeTheFlushReplacesSendingAndBatchesNameTheNewest) {
    NotifierFixture f;
    auto notifier = f.make(f.fake);
    f.writeNote("one", std::string("Standup"), 150);
    notifier.receive({Kind::sent, "one", "sent"});
    notifier.receive({Kind::transcriptReady, "one", "done"});
    f.clock.advance(core::seconds(10));
    ASSERT_EQ(f.fake.posted().size(), 1u);
    auto ready = f.fake.posted()[0];
    EXPECT_EQ(ready.identifier, "sayloft.transcript.one");
    EXPECT_EQ(ready.title, "Transcript ready");
    EXPECT_EQ(ready.body, "Standup\nVoice memo · 3 min");
    EXPECT_EQ(ready.userInfo.at("filePath"),
              (f.home.path() / "My Vault" / "_inbox" / "one.md").string());
    EXPECT_EQ(ready.userInfo.count("obsidianLink"), 0u);  // not an Obsidian vault

    for (int i = 1; i <= 5; ++i) {
        f.writeNote("r" + std::to_string(i), "Title " + std::to_string(i));
        notifier.receive({Kind::transcriptReady, "r" + std::to_string(i), "done"});
    }
    f.clock.advance(core::seconds(10));
    auto batch = f.fake.posted().back();
    EXPECT_EQ(batch.title, "5 transcripts ready");
    EXPECT_EQ(batch.body, "Title 5; Title 4; Title 3 and 2 more");
}

TEST(TranscriptNotifier, DescriptionsReasonsAndSwitches) {
    EXPECT_EQ(
        TranscriptNotifier::describe({.classification = "meeting_recording", .durationSec = 45}),
        "Meeting recording · 45 s");
    EXPECT_EQ(TranscriptNotifier::describe({.classification = "voice_memo", .durationSec = 150}),
              "Voice memo · 3 min");
    EXPECT_EQ(TranscriptNotifier::describe({.classification = "audio_capture", .durationSec = 0}),
              "Audio");
    EXPECT_EQ(TranscriptNotifier::reason("upload_failed"), "the upload failed");
    EXPECT_EQ(TranscriptNotifier::reason("failed"), "Wendrel could not transcribe it");

    NotifierFixture f;
    f.settings.settings().notifyVoiceMemoSent = false;
    auto notifier = f.make(f.fake);
    notifier.receive({Kind::sent, "x", "sent"});
    f.writeNote("done", std::nullopt, 10, "voice_memo", "done");
    f.settings.settings().notifyVoiceMemoSent = true;
    notifier.receive({Kind::sent, "done", "sent"});  // the transcript overtook it
    f.clock.advance(core::seconds(60));
    EXPECT_TRUE(f.fake.posted().empty());

    notifier.receive({Kind::failed, "gone", "upload_failed"});  // no note: id and default kind
    f.clock.advance(core::seconds(10));
    EXPECT_EQ(f.fake.posted().at(0).body,
              "gone (Voice memo): the upload failed. Send it again with `sayloft retry`.");

    f.fake.setAuthorizationStatus(platform::AuthorizationStatus::denied);
    notifier.sendTest();
    EXPECT_EQ(f.fake.posted().size(), 1u);
    EXPECT_TRUE(
        f.log.contains("[sayloft] notifications: off for sayloft; not posting sayloft.test"));
}

TEST(TranscriptNotifier, ClickOpensObsidianWhenItCanElseTheFile) {
    NotifierFixture f;
    fs::create_directories(f.home.path() / "My Vault" / ".obsidian");
    auto notifier = f.make(f.fake);
    auto info = notifier.openInfo("250314-093012");
    EXPECT_EQ(info.at("obsidianLink"),
              "obsidian://open?vault=My%20Vault&file=_inbox/250314-093012.md");
    EXPECT_EQ(notifier.clickTarget(info), info.at("obsidianLink"));
    f.obsidianHandler = false;
    EXPECT_EQ(notifier.clickTarget(info), info.at("filePath"));
    EXPECT_EQ(notifier.clickTarget({}), "");
}

TEST(TranscriptNotifier, OverARealSessionBus) {
    std::unique_ptr<test::FakeNotificationServer> server;
    try {
        server = std::make_unique<test::FakeNotificationServer>();
    } catch (const test::BusUnavailable& e) {
        GTEST_SKIP() << e.what();
    }
    NotifierFixture f;
    platform::FreedesktopNotifications dbus(server->address());
    auto notifier = f.make(dbus);
    dbus.setActivationHandler([&](const platform::Notification& n) { notifier.handleClick(n); });
    f.obsidianHandler = false;

    // Three memos sent within 5 s: one batch, 10 s after the third.
    for (int i = 0; i < 3; ++i) {
        notifier.receive({Kind::sent, "b" + std::to_string(i), "sent"});
        f.clock.advance(core::seconds(2));
    }
    f.clock.advance(core::seconds(7.9));
    EXPECT_TRUE(server->calls().empty());
    f.clock.advance(core::seconds(0.1));
    ASSERT_TRUE(server->waitForCalls(1));
    EXPECT_EQ(server->calls()[0].summary, "Sending 3 voice memos to Wendrel");
    EXPECT_EQ(server->calls()[0].appName, "sayloft");

    // A transcript written before the flush: only "Transcript ready".
    f.writeNote("quick", std::string("Quick one"));
    notifier.receive({Kind::sent, "quick", "sent"});
    notifier.receive({Kind::transcriptReady, "quick", "done"});
    f.clock.advance(core::seconds(10));
    ASSERT_TRUE(server->waitForCalls(2));

    // Sent, flushed, then ready: the ready banner replaces the sending one.
    f.writeNote("one", std::string("Standup"));
    notifier.receive({Kind::sent, "one", "sent"});
    f.clock.advance(core::seconds(10));
    ASSERT_TRUE(server->waitForCalls(3));
    notifier.receive({Kind::transcriptReady, "one", "done"});
    f.clock.advance(core::seconds(10));
    ASSERT_TRUE(server->waitForCalls(4));
    auto calls = server->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].summary, "Transcript ready");
    EXPECT_EQ(calls[1].body, "Quick one\nVoice memo · 3 min");
    EXPECT_EQ(calls[2].summary, "Sending to Wendrel");
    EXPECT_EQ(calls[3].summary, "Transcript ready");
    EXPECT_EQ(calls[3].replacesId, calls[2].id);

    // A click opens that note.
    server->click(calls[3].id);
    for (int i = 0; i < 500 && f.openedSoFar().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(f.openedSoFar().size(), 1u);
    EXPECT_EQ(f.openedSoFar()[0], (f.home.path() / "My Vault" / "_inbox" / "one.md").string());
}
