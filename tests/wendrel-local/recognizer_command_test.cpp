// An installed engine as the recogniser: small scripts stand in for it (a fixed answer, a
// failure, a hang), directly and through the service.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "wendrel_test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;
using wendrel::CommandRecognizer;
using wendrel::RecognizerError;

fs::path script(const fs::path& dir, const std::string& name, const std::string& body) {
    auto path = dir / name;
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

std::vector<int16_t> halfSecond() {
    return std::vector<int16_t>(8000, 100);
}

TEST(WendrelRecognizerCommand, AnswerFailureAndHang) {
    TempDir dir;
    core::ManualClock clock;
    auto work = dir / "work";
    CommandRecognizer::Limits limits{core::seconds(30), 10};

    // The engine gets a real WAV at {wav} (inside a larger argument too) and its standard
    // output, trimmed and with blanks collapsed, is the transcript.
    auto answer = script(dir.path(), "answer with spaces",
                         "[ \"$(head -c 4 \"$2\")\" = RIFF ] || exit 9\n"
                         "[ \"$1\" = \"--in=$2\" ] || exit 8\n"
                         "printf '  Hello,\\n  world  \\n'");
    CommandRecognizer ok({answer.string(), "--in={wav}", "{wav}"}, work, clock, limits);
    EXPECT_EQ(ok.transcribe(halfSecond()).value(), "Hello, world");
    EXPECT_EQ(ok.model(), "command:answer with spaces");
    EXPECT_TRUE(fs::is_empty(work)) << "the audio handed over is removed";

    auto failing = script(dir.path(), "fail",
                          "echo 'loading the model' >&2\n"
                          "echo 'no model at /opt/engine/model.bin' >&2\nexit 3");
    CommandRecognizer bad({failing.string(), "{wav}"}, work, clock, limits);
    try {
        bad.transcribe(halfSecond());
        ADD_FAILURE() << "a failing command must fail the transcription";
    } catch (const RecognizerError& e) {
        EXPECT_STREQ(e.what(),
                     "the recognizer command failed with exit status 3: no model at "
                     "/opt/engine/model.bin");
    }
    CommandRecognizer missing({(dir / "not-there").string(), "{wav}"}, work, clock, limits);
    EXPECT_THROW(missing.transcribe(halfSecond()), RecognizerError);

    // A hang ends at the limit measured on the service's clock: 30 s + 10 s per audio second.
    auto hanging =
        script(dir.path(), "hang", "echo 'warming up' >&2\ntouch \"$1\"\nexec sleep 600");
    auto started = dir / "hang-started";
    CommandRecognizer stuck({hanging.string(), started.string(), "{wav}"}, work, clock, limits);
    std::atomic<bool> finished{false};
    std::thread mover([&] {
        while (!finished) {
            if (fs::exists(started) && clock.waitForSleepers(1, std::chrono::milliseconds(50))) {
                clock.advance(core::seconds(35));
            }
        }
    });
    try {
        stuck.transcribe(halfSecond());
        ADD_FAILURE() << "a hanging command must time out";
    } catch (const RecognizerError& e) {
        EXPECT_STREQ(e.what(),
                     "the recognizer command took longer than 35 s for 0.5 s of audio: "
                     "warming up");
    }
    finished = true;
    mover.join();
    EXPECT_TRUE(fs::is_empty(work));
}

TEST(WendrelRecognizerCommand, CommandLinesSplitWithoutAShell) {
    using wendrel::splitCommandLine;
    EXPECT_EQ(splitCommandLine("engine -m 'my model' --out=\"a b\" {wav}"),
              (std::vector<std::string>{"engine", "-m", "my model", "--out=a b", "{wav}"}));
    EXPECT_EQ(splitCommandLine("echo $HOME `id` ; rm\\ -rf"),
              (std::vector<std::string>{"echo", "$HOME", "`id`", ";", "rm -rf"}));
    EXPECT_EQ(splitCommandLine("a ''"), (std::vector<std::string>{"a", ""}));
    EXPECT_THROW(splitCommandLine("engine 'open"), Error);
}

TEST(WendrelRecognizerCommand, AFailedSourceUploadedAgainIsTranscribedAgain) {
    TempDir dir;
    // Fails the first time (as when the engine was not installed yet), then answers.
    auto flaky = script(dir.path(), "flaky",
                        "if [ ! -e \"$1\" ]; then touch \"$1\"; echo 'engine not ready' >&2; "
                        "exit 1; fi\necho second time lucky");
    std::vector<std::string> argv{flaky.string(), (dir / "ran-once").string(), "{wav}"};
    auto work = dir / "work";
    core::ManualClock commandClock;
    InProcessService s({}, [&] {
        return std::make_unique<CommandRecognizer>(argv, work, commandClock,
                                                   CommandRecognizer::Limits{});
    });
    auto c = s.client();
    std::vector<int16_t> samples(16000);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(6000 * std::sin(i * 2 * M_PI * 300 / 16000));
    }
    writeWav(dir / "memo.wav", samples);
    auto bytes = readFile(dir / "memo.wav");

    auto first = uploadAndResolve(c, s.token(), bytes, "memo.wav");
    ASSERT_EQ(waitForOutcome(c, s.token(), first), "failed");
    auto failed = parseJson(c.Get(("/api/v1/sources/" + first).c_str(), bearer(s.token())));
    EXPECT_EQ(failed["result"]["error"],
              "the recognizer command failed with exit status 1: engine not ready");

    auto second = uploadAndResolve(c, s.token(), bytes, "memo.wav");
    ASSERT_FALSE(second.empty()) << "not answered as a duplicate of the failed source";
    EXPECT_NE(second, first);
    ASSERT_EQ(waitForOutcome(c, s.token(), second), "completed");
    auto done = parseJson(c.Get(("/api/v1/sources/" + second).c_str(), bearer(s.token())));
    EXPECT_EQ(done["result"]["text"], "second time lucky");
    EXPECT_EQ(done["result"]["model"], "command:flaky");

    // A completed source is still found again by its bytes.
    auto again =
        parseJson(c.Post("/api/v1/sources", bearer(s.token()), uploadForm(bytes, "m.wav")));
    EXPECT_EQ(again["status"], "duplicate_upload");
    EXPECT_EQ(again["cache_key"], second);
}

}  // namespace
}  // namespace sayloft::test
