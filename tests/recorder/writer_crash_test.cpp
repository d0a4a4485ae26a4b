#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "core/files.hpp"
#include "media/duration_probe.hpp"
#include "recorder/recording_encoder.hpp"
#include "recorder/recording_recovery.hpp"
#include "recorder_test_support.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::recorder;
namespace fs = std::filesystem;

namespace {

int64_t lastFed(const fs::path& logFile) {
    std::istringstream in(test::readFile(logFile));
    std::string word;
    int64_t fed = 0, value = 0;
    while (in >> word) {
        if (word == "fed" && in >> value) fed = value;
    }
    return fed;
}

}  // namespace

// A real writer process killed at random moments: every segment opens after recovery and holds
// every frame up to at most one second before the kill, the sidecar always parses, recovery
// offers the recording and its parts are as long as the audio on disk.
TEST(WriterCrash, KilledWritersLeaveReadableRecordings) {
    test::TempDir dir;
    test::LogCollector log;
    const int rate = 48000;
    const int64_t total = 20 * rate;
    test::writeAudio(dir / "MIC.wav", rate, 1, test::generate(total, test::micSample));
    test::writeAudio(dir / "SYSTEM.wav", rate, 1, test::generate(total, test::systemSample));
    const auto helper = test::buildPath("tests/recorder/recorder_crash_helper");

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(0, 3000);
    int checked = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        const auto root = dir / ("Recordings-" + std::to_string(round));
        const auto out = dir / ("helper-" + std::to_string(round) + ".log");
        pid_t pid =
            test::spawnBackground({helper.string(), root.string(), (dir / "MIC.wav").string(),
                                   (dir / "SYSTEM.wav").string(), "4", "1.5"},
                                  out);
        // Mostly while audio flows (timed from the first frames fed, however slow the start-up
        // under a sanitizer), sometimes during the start-up itself.
        if (round % 5 != 4) {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (lastFed(out) == 0 && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs(random)));
        ::kill(pid, SIGKILL);
        test::waitExit(pid);
        const int64_t fed = lastFed(out);

        RecordingRecovery recovery(root);
        std::vector<fs::path> folders;
        std::error_code ec;
        for (auto& e : fs::directory_iterator(root, ec)) folders.push_back(e.path());
        if (fed == 0 && folders.empty()) continue;  // killed before it began
        ASSERT_EQ(folders.size(), 1u);
        const auto id = folders[0].filename().string();
        auto text = core::readFile(folders[0] / "recording.json");
        if (!text) {  // killed between making the folder and the first sidecar: nothing to lose
            EXPECT_TRUE(segmentFiles(folders[0]).empty());
            EXPECT_TRUE(recovery.scan().empty());
            continue;
        }
        ASSERT_TRUE(parseSidecar(*text)) << *text;

        auto offered = recovery.scan();  // repairs the segment headers
        ASSERT_EQ(offered.size(), 1u);
        EXPECT_EQ(offered[0].id, id);
        if (fed < rate) continue;
        EXPECT_FALSE(isSilent(offered[0]));

        int64_t onDisk = 0;
        for (const auto& name : segmentFiles(folders[0])) {
            auto audio = test::readAudio(folders[0] / name);
            ASSERT_EQ(audio.channels, 2) << name << " does not open";
            for (int64_t i = 0; i < audio.frames(); ++i, ++onDisk) {
                ASSERT_EQ(audio.samples[2 * i], test::micSample(onDisk)) << name << " frame " << i;
                ASSERT_EQ(audio.samples[2 * i + 1], test::systemSample(onDisk)) << name;
            }
        }
        EXPECT_GE(onDisk, fed - rate) << "fed " << fed;

        auto sidecar = recovery.closeOpenEnds(offered[0]);
        auto parts = RecordingEncoder::encode(folders[0], sidecar);
        double seconds = 0;
        for (auto& p : parts) seconds += media::probeDuration(p).value_or(0);
        EXPECT_NEAR(seconds, static_cast<double>(onDisk) / rate, 1.0);
        ++checked;
    }
    EXPECT_GE(checked, 10);
}
