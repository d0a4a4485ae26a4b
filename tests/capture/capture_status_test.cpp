#include <gtest/gtest.h>

#include "capture/capture_status.hpp"
#include "core/time_format.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::capture;
using vault::InboxWriter;

namespace {
struct InlineQueue : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};
}  // namespace

TEST(CaptureStatus, CountsNotesByJobStatusAndNamesTheNewest) {
    test::TempDir vault;
    auto now = core::parseLocal("20250314120000", "yyyyMMddHHmmss").value();
    InboxWriter inbox(vault.path());
    inbox.ensureDirectories();
    int n = 0;
    for (auto [status, hoursAgo] : std::vector<std::pair<const char*, int>>{
             {"done", 1}, {"processing", 2}, {"paywalled", 3}, {"queued", 30}, {"", 4}}) {
        InboxWriter::Frontmatter note;
        note.id = "n" + std::to_string(n++);
        note.created = now - std::chrono::hours(hoursAgo);
        if (*status) note.wlJobStatus = status;
        note.title = "Title " + note.id;
        inbox.writeMarkdown(note, "");
    }
    test::writeFile(inbox.inboxDir() / "broken.md", "no frontmatter");
    auto s = CaptureStatus::scan(inbox, now);
    EXPECT_EQ(s.done, 1);
    EXPECT_EQ(s.processing, 1);
    EXPECT_EQ(s.failed, 1);
    EXPECT_EQ(s.pending, 2);  // "queued" and no status at all
    EXPECT_EQ(s.totalToday, 4);
    EXPECT_EQ(s.mostRecentId, "n0");
    EXPECT_EQ(s.mostRecentTitle, "Title n0");
    EXPECT_EQ(CaptureStatus::summary(s), "2 pending, 1 processing, 1 done, 1 failed");
    EXPECT_EQ(CaptureStatus::summary({}), "Idle");
}

TEST(CaptureStatus, HeartbeatIsPublishedAndKeptForOtherProcesses) {
    test::TempDir dir;
    core::ManualClock clock(core::parseLocal("20250314093000", "yyyyMMddHHmmss").value());
    InlineQueue main;
    std::vector<CaptureStatus::Published> published;
    CaptureStatus status([&] { return (dir / "vault").string(); }, clock, main,
                         dir / "heartbeat.json");
    status.setOnPublish([&](const CaptureStatus::Published& p) { published.push_back(p); });
    EXPECT_EQ(CaptureStatus::heartbeatLine(std::nullopt, std::nullopt, clock.now()), "");

    status.recordPoll(0);
    auto [lastPoll, lastNew] = CaptureStatus::readHeartbeat(dir / "heartbeat.json");
    EXPECT_EQ(lastPoll, clock.now());
    EXPECT_FALSE(lastNew);
    EXPECT_EQ(CaptureStatus::heartbeatLine(lastPoll, lastNew, clock.now()),
              "Checked 09:30 · nothing new since launch");

    clock.advance(core::seconds(60));
    status.recordPoll(2);
    std::tie(lastPoll, lastNew) = CaptureStatus::readHeartbeat(dir / "heartbeat.json");
    EXPECT_EQ(CaptureStatus::heartbeatLine(lastPoll, lastNew, clock.now()),
              "Checked 09:31 · latest capture today 09:31");
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[1].lastNewCapture, clock.now());

    status.start();  // the snapshot is refreshed on the clock: first after 1 s
    clock.advance(core::seconds(1));
    status.refreshNow();
    EXPECT_EQ(status.current().snapshot, CaptureStatus::Snapshot{});
    status.stop();
}
