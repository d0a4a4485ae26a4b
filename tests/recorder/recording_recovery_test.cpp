#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "core/files.hpp"
#include "core/time_format.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::recorder;
namespace fs = std::filesystem;

namespace {

RecordingSidecar sample(const std::string& id, core::TimePoint start, const std::string& status) {
    RecordingSidecar s;
    s.id = id;
    s.startedAt = start;
    s.status = status;
    s.systemSideSilent = false;
    RecordingSegment g;
    g.file = "segment-001.caf";
    g.startedAt = start;
    g.reason = "start";
    s.segments.push_back(g);
    return s;
}

core::TimePoint at(const std::string& iso) {
    return core::parseIso8601(iso).value();
}

}  // namespace

TEST(RecordingSidecar, EncodesSortedWithoutAbsentValuesAndReadsEveryDateForm) {
    auto s = sample("250314-093012", at("2025-03-14T08:30:12Z"), "recording");
    s.source.app = RecordingSource::App{"us.zoom.xos", "Zoom"};
    s.segments[0].endedAt = at("2025-03-14T08:40:00Z");
    s.segments[0].echoReferenceDelay = 0.05;
    const auto text = renderSidecar(s);
    EXPECT_EQ(text.find("levels"), std::string::npos);
    EXPECT_EQ(text.find("null"), std::string::npos);
    EXPECT_LT(text.find("\"appVersion\""), text.find("\"channelLayout\""));
    EXPECT_NE(text.find("\"startedAt\": \"2025-03-14T08:30:12Z\""), std::string::npos);
    EXPECT_EQ(parseSidecar(text), s);

    auto j = core::Json::parse(text);
    j["startedAt"] = "2025-03-14T08:30:12.250Z";
    j["segments"][0]["startedAt"] = "2025-03-14T08:30:12.000Z";
    j["segments"][0]["endedAt"] = "2025-03-14T08:40:00.5Z";
    auto fractional = parseSidecar(j.dump());
    ASSERT_TRUE(fractional);
    EXPECT_EQ(fractional->startedAt, at("2025-03-14T08:30:12Z") + std::chrono::milliseconds(250));

    j["startedAt"] = 763633812.0;  // seconds since 2001
    j["segments"][0]["startedAt"] = 763633812;
    j["segments"][0]["endedAt"] = 763634400;
    EXPECT_EQ(parseSidecar(j.dump())->startedAt, at("2025-03-14T08:30:12Z"));
    // Numbers are read as seconds since 2001 first; since 1970 only when that fails.
    auto unix = decodeSidecar(j, SidecarDateForm::unixSeconds);
    EXPECT_EQ(unix.startedAt, at("1994-03-14T08:30:12Z"));

    j.erase("channelLayout");
    EXPECT_FALSE(parseSidecar(j.dump()));
    EXPECT_FALSE(parseSidecar("{\"id\": 3"));
    EXPECT_FALSE(parseSidecar(""));
}

struct RecoveryFixture : ::testing::Test {
    test::TempDir root;
    test::LogCollector log;
    core::ManualClock clock{core::SystemClock::now()};
    RecordingRecovery recovery{root.path(), clock};

    void segment(const std::string& id, const std::string& name, int64_t frames, int rate = 48000) {
        fs::create_directories(root / id);
        std::vector<float> v(static_cast<size_t>(frames) * 2, 0.1f);
        test::writeAudio(root / id / name, rate, 2, v);
    }
};

TEST_F(RecoveryFixture, ScanOffersUnfinishedRebuildsLostSidecarsAndCleansFinished) {
    const auto t0 = at("2025-03-14T08:30:12Z");
    for (auto [id, status, minutes] : {std::tuple{"a-sent", "sent", 0},
                                       {"b-encoded", "encoded", 5},
                                       {"c-recording", "recording", 9},
                                       {"d-discarded", "discarded", 1},
                                       {"e-odd", "weird", 2}}) {
        fs::create_directories(root / id);
        recovery.saveSidecar(sample(id, t0 + std::chrono::minutes(minutes), status));
    }
    fs::create_directories(root / "f-empty");
    segment("250314-101500", "segment-001.caf", 4800);
    segment("250314-101500", "segment-002.caf", 9600, 16000);
    test::writeFile(root / "250314-101500" / "recording.json", "{ torn");

    auto found = recovery.scan();
    std::vector<std::string> ids;
    for (auto& s : found) ids.push_back(s.id);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[1], "c-recording");  // newest first
    EXPECT_EQ(ids[2], "b-encoded");
    EXPECT_FALSE(fs::exists(root / "a-sent"));
    EXPECT_FALSE(fs::exists(root / "d-discarded"));
    EXPECT_TRUE(fs::exists(root / "e-odd"));
    EXPECT_TRUE(fs::exists(root / "f-empty"));
    EXPECT_TRUE(
        log.contains("recovery: f-empty has no readable recording.json and no audio; left alone"));
    EXPECT_TRUE(log.contains("recovery: removed leftover a-sent folder (sent)"));

    auto rebuilt = recovery.loadSidecar("250314-101500").value();
    EXPECT_EQ(rebuilt.reconstructed, true);
    EXPECT_EQ(rebuilt.status, "stopped");
    ASSERT_EQ(rebuilt.segments.size(), 2u);
    EXPECT_EQ(rebuilt.segments[0].reason, "start");
    EXPECT_EQ(rebuilt.segments[1].reason, "resume");
    EXPECT_EQ(rebuilt.segments[1].sampleRate, 16000);
    EXPECT_EQ(rebuilt.startedAt, core::parseLocal("250314-101500", "yyMMdd-HHmmss"));
    EXPECT_TRUE(log.contains("rebuilt it from 2 segment(s)"));

    auto list = listUnfinished(recovery);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_NEAR(list[0].seconds, 0.1 + 0.6, 1e-9);
    EXPECT_THROW(recovery.workFolder("../x"), Error);

    // A sidecar that names another place is read under its folder's name.
    auto stray = sample("../../elsewhere", t0, "stopped");
    fs::create_directories(root / "g-stray");
    core::writeDurably(root / "g-stray" / "recording.json", renderSidecar(stray));
    EXPECT_EQ(recovery.loadSidecar("g-stray")->id, "g-stray");
}

// A writer that died leaves the header's data size behind the audio on disk; the repair counts
// whole frames only, and leaves an intact file alone.
TEST_F(RecoveryFixture, CafDataSizeIsRepairedFromTheFileLength) {
    segment("r", "segment-001.caf", 1000);
    const auto file = root / "r" / "segment-001.caf";
    EXPECT_FALSE(repairCafDataSize(file));
    auto bytes = test::readFile(file);
    const auto data = bytes.find("data");
    ASSERT_NE(data, std::string::npos);
    // As killed: the size field still at its first value, 300 more frames and half a frame.
    for (int i = 0; i < 8; ++i) bytes[data + 4 + i] = i < 7 ? 0 : 4;
    std::string more(300 * 8 + 3, '\0');
    test::writeFile(file, bytes + more);
    EXPECT_EQ(test::readAudio(file).frames(), 0);
    EXPECT_TRUE(repairCafDataSize(file));
    EXPECT_EQ(test::readAudio(file).frames(), 1300);

    test::writeFile(root / "r" / "segment-002.caf", "caff garbage");
    EXPECT_FALSE(repairCafDataSize(root / "r" / "segment-002.caf"));
}

TEST_F(RecoveryFixture, ClosingOpenEndsAndRemovingParts) {
    segment("x", "segment-001.caf", 480);
    auto s = sample("x", clock.now(), "recording");
    recovery.saveSidecar(s);
    test::writeFile(root / "x" / "x.m4a", "old");
    test::writeFile(root / "x" / "x_3.m4a", "old");
    auto closed = recovery.closeOpenEnds(s);
    ASSERT_TRUE(closed.endedAt && closed.segments[0].endedAt);
    EXPECT_EQ(*closed.endedAt, *closed.segments[0].endedAt);
    recovery.removeEncodedParts("x");
    EXPECT_FALSE(fs::exists(root / "x" / "x.m4a"));
    EXPECT_FALSE(fs::exists(root / "x" / "x_3.m4a"));
    EXPECT_TRUE(fs::exists(root / "x" / "segment-001.caf"));

    // Saving needs the work folder: a discarded recording is not brought back.
    ASSERT_TRUE(recovery.removeWorkFolder("x"));
    recovery.saveSidecar(s);
    EXPECT_FALSE(fs::exists(root / "x"));
}

// Only a folder, a link to one, or nothing yet can hold recordings; everything else is named.
TEST(RecordingRecovery, SaysWhyTheRecordingsFolderCannotHoldRecordings) {
    struct Case {
        std::string kind;
        std::function<void(const fs::path&)> make;
        std::string says;  // empty: no problem
    };
    const Case cases[] = {
        {"absent", [](const fs::path&) {}, ""},
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, ""},
        {"link to a folder",
         [](const fs::path& p) {
             fs::create_directory(p.parent_path() / "elsewhere");
             fs::create_symlink(p.parent_path() / "elsewhere", p);
         },
         ""},
        {"file", [](const fs::path& p) { test::writeFile(p, "x"); },
         " is a regular file, not a folder"},
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         " is a named pipe (FIFO), not a folder"},
        {"link to a file",
         [](const fs::path& p) {
             test::writeFile(p.parent_path() / "file", "x");
             fs::create_symlink(p.parent_path() / "file", p);
         },
         " leads to a regular file, not a folder"},
        {"dangling link",
         [](const fs::path& p) { fs::create_symlink(p.parent_path() / "gone", p); },
         " is a link to "},
        {"below a file", [](const fs::path& p) { test::writeFile(p.parent_path(), "x"); },
         " cannot be made: a part of its path is not a folder"},
    };
    for (auto& c : cases) {
        test::TempDir dir;
        const auto root = dir / "data" / "Recordings";
        fs::create_directories(root.parent_path());
        if (c.kind == "below a file") fs::remove(root.parent_path());
        c.make(root);
        auto problem = RecordingRecovery(root).rootProblem();
        if (c.says.empty()) {
            EXPECT_FALSE(problem) << c.kind << ": " << *problem;
        } else {
            EXPECT_EQ(problem.value_or("").rfind(root.string() + c.says, 0), 0u)
                << c.kind << ": " << problem.value_or("none");
        }
    }
}
