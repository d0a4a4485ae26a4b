// recorder_encoder_bench [--long-minutes N] [--work DIR]
//
// 1. Speed: one 60 s stereo 48 kHz float segment encoded to AAC 128 kbit/s by the recorder's
//    encoder and by the `ffmpeg` command line (same input, same settings, best of three each).
//    Prints the time ratio; the target is ≤ 1 (at least as fast as the command line).
// 2. Memory: peak resident memory of encoding a 10-minute and an N-minute (default 120)
//    recording, made of one 60 s segment named again and again in the sidecar, so the input
//    costs no extra disk. Prints the ratio; flat memory means ≈ 1.
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "core/log.hpp"
#include "core/process.hpp"
#include "recorder/recording_encoder.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 48000;

void writeSegment(const fs::path& file, int seconds) {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE;
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write " + file.string());
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0, 0.05f);
    std::vector<float> chunk(2 * kRate);
    for (int s = 0; s < seconds; ++s) {
        for (int i = 0; i < kRate; ++i) {
            const double t = s + static_cast<double>(i) / kRate;
            // speech-like: a wandering tone under noise, loud and soft stretches
            const float env = 0.5f + 0.5f * static_cast<float>(std::sin(2 * M_PI * 0.3 * t));
            const float v =
                env * 0.3f * static_cast<float>(std::sin(2 * M_PI * (180 + 40 * std::sin(t)) * t));
            chunk[2 * i] = v + noise(random);
            chunk[2 * i + 1] = 0.5f * v + noise(random);
        }
        sf_writef_float(f, chunk.data(), kRate);
    }
    sf_close(f);
}

recorder::RecordingSidecar sidecarOf(int minutes) {
    recorder::RecordingSidecar s;
    s.id = "bench";
    for (int i = 0; i < minutes; ++i) {
        recorder::RecordingSegment g;
        g.file = "segment-001.caf";
        g.reason = "start";
        s.segments.push_back(g);
    }
    return s;
}

double secondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peakKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace

int main(int argc, char** argv) {
    int longMinutes = 120;
    fs::path work = fs::temp_directory_path() / "sayloft-encoder-bench";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--long-minutes") longMinutes = std::stoi(argv[i + 1]);
        if (a == "--work") work = argv[i + 1];
    }
    core::LogConfig::setStderr(false);
    fs::create_directories(work);
    writeSegment(work / "segment-001.caf", 60);

    // Speed.
    double ours = 1e9, theirs = 1e9;
    for (int round = 0; round < 3; ++round) {
        ours = std::min(ours,
                        secondsOf([&] { recorder::RecordingEncoder::encode(work, sidecarOf(1)); }));
        theirs = std::min(theirs, secondsOf([&] {
                              core::ProcessOptions o;
                              o.argv = {"ffmpeg",
                                        "-nostdin",
                                        "-y",
                                        "-loglevel",
                                        "error",
                                        "-i",
                                        (work / "segment-001.caf").string(),
                                        "-c:a",
                                        "aac",
                                        "-b:a",
                                        "128k",
                                        "-ar",
                                        "48000",
                                        "-ac",
                                        "2",
                                        (work / "ffmpeg.m4a").string()};
                              auto r = core::runProcess(o);
                              if (!r.exited || r.exitStatus != 0)
                                  throw std::runtime_error("ffmpeg failed: " + r.err);
                          }));
    }
    std::printf(
        "encode 60 s: recorder %.3f s (%.0fx real time), ffmpeg CLI %.3f s (%.0fx); "
        "ratio recorder/ffmpeg %.2f (target <= 1)\n",
        ours, 60 / ours, theirs, 60 / theirs, ours / theirs);

    // Memory.
    resetPeak();
    const long base = peakKiB();
    recorder::RecordingEncoder::encode(work, sidecarOf(10));
    const long shortPeak = peakKiB();
    resetPeak();
    recorder::RecordingEncoder::encode(work, sidecarOf(longMinutes));
    const long longPeak = peakKiB();
    std::printf(
        "peak memory: before %ld KiB, 10 min %ld KiB, %d min %ld KiB; ratio %.3f "
        "(flat = 1)\n",
        base, shortPeak, longMinutes, longPeak,
        static_cast<double>(longPeak) / static_cast<double>(shortPeak));
    fs::remove_all(work);
    return 0;
}
