// The transcription worker with the real recogniser, and the text it derives.
#include <gtest/gtest.h>

#include <cmath>

#include "crypto.hpp"
#include "wendrel_test_support.hpp"

namespace sayloft::test {
namespace {

using wendrel::countWords;
using wendrel::summaryFromText;
using wendrel::titleFromText;

TEST(WendrelTranscription, SilenceCompletesWithAnEmptyText) {
    InProcessService s({}, true);
    auto c = s.client();
    TempDir d;
    writeWav(d / "quiet.wav", std::vector<int16_t>(2 * 16000, 0));
    std::string key = uploadAndResolve(c, s.token(), readFile(d / "quiet.wav"), "quiet.wav");
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(waitForOutcome(c, s.token(), key), "completed");
    auto detail = parseJson(c.Get(("/api/v1/sources/" + key).c_str(), bearer(s.token())));
    EXPECT_EQ(detail["success"], true);
    EXPECT_EQ(detail["result"]["text"], "");
    EXPECT_EQ(detail["result"]["word_count"], 0);
    EXPECT_NEAR(detail["result"]["duration"].get<double>(), 2.0, 0.05);
    EXPECT_FALSE(detail["result"].contains("llm_title"));
    // The form's fields are kept with the source.
    EXPECT_EQ(detail["result"]["content_source"], "voice_memo");
    EXPECT_EQ(detail["result"]["tags"], Json::array({"voice-memo", "sayloft-mac"}));
    EXPECT_EQ(detail["result"]["content_source_metadata"], Json({{"sayloft_id", "test"}}));
    EXPECT_EQ(detail["result"]["original_filename"], "quiet.wav");
}

TEST(WendrelTranscription, UndecodableAudioFailsWithAReason) {
    InProcessService s({}, true);
    // Stored audio that went bad after it was accepted.
    writeFile(s.dirs().audio() / "task_bad.m4a", std::string(5000, 'x'));
    wendrel::NewSource src;
    src.cacheKey = "DOC_BAD";
    src.taskId = "task_bad";
    src.audioSha256 = wendrel::sha256Hex("bad");
    src.audioFile = "task_bad.m4a";
    src.originalFilename = "bad.m4a";
    src.contentSource = "voice_memo";
    s.store().insertSource(src);
    s.wakeWorkers();
    auto c = s.client();
    EXPECT_EQ(waitForOutcome(c, s.token(), "DOC_BAD"), "failed");
    auto status = parseJson(c.Get("/api/v1/sources/DOC_BAD/status", bearer(s.token())));
    auto stage = status["status"]["transcription"];
    EXPECT_EQ(stage["status"], "failed");
    EXPECT_NE(stage.value("error", "").find("not a readable audio file"), std::string::npos)
        << stage.dump();
    auto list = parseJson(c.Get("/api/v1/sources", bearer(s.token())));
    EXPECT_EQ(list["files"][0]["status"], "failed");
}

TEST(WendrelTranscription, TitleAndSummaryComeFromTheFirstWords) {
    EXPECT_EQ(titleFromText("please call me back tomorrow morning about the meeting"),
              "Please call me back tomorrow morning");
    EXPECT_EQ(titleFromText("hello there"), "Hello there");
    EXPECT_FALSE(titleFromText("  "));
    EXPECT_EQ(summaryFromText("one two three", 30), "One two three.");
    EXPECT_EQ(summaryFromText("one two three four", 2), "One two…");
    EXPECT_EQ(countWords(" a  b\tc\n"), 3);
}

TEST(WendrelTranscription, LongRecordingsAreCutAtQuietMoments) {
    // 50 s of tone with a quiet stretch from 15.0 s to 15.4 s and another from 33 s to 33.4 s.
    std::vector<int16_t> samples(50 * 16000);
    for (size_t i = 0; i < samples.size(); ++i) {
        double t = i / 16000.0;
        bool quiet = (t >= 15.0 && t < 15.4) || (t >= 33.0 && t < 33.4);
        samples[i] = quiet ? 0 : static_cast<int16_t>(6000 * std::sin(t * 2 * M_PI * 300));
    }
    auto ends = wendrel::utteranceBoundaries(samples, 20 * 16000);
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_GE(ends[0], 15.0 * 16000);
    EXPECT_LE(ends[0], 15.4 * 16000);
    EXPECT_GE(ends[1], 33.0 * 16000);
    EXPECT_LE(ends[1], 33.4 * 16000);
    EXPECT_EQ(ends[2], samples.size());
    EXPECT_EQ(wendrel::utteranceBoundaries(std::vector<int16_t>(100), 20 * 16000),
              std::vector<size_t>{100});
}

}  // namespace
}  // namespace sayloft::test
