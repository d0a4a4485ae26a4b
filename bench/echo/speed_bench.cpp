// Speed of EchoCanceller::process against SpeexDSP's echo canceller on the same signals, frame
// size and 300 ms tail, single thread. Reports audio seconds processed per CPU second and, at the
// end, the ratio of the two at each rate.
#include <benchmark/benchmark.h>
#include <speex/speex_echo.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "recorder/echo_canceller.hpp"

using sayloft::recorder::EchoCanceller;

namespace {

struct Scene {
    std::vector<float> mic, ref;
    std::vector<int16_t> mic16, ref16;
};

// Far end talking all the time, its echo through a decaying room, and a quieter near end.
Scene makeScene(double rate, double seconds) {
    const size_t count = static_cast<size_t>(rate * seconds);
    std::mt19937 rng(7);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    Scene s;
    s.ref.resize(count);
    s.mic.assign(count, 0.0f);
    for (auto& x : s.ref) x = 0.1f * dist(rng);
    const size_t delay = static_cast<size_t>(0.03 * rate);
    const size_t length = static_cast<size_t>(0.2 * rate);
    std::vector<float> ir(length);
    for (size_t i = 0; i < length; ++i)
        ir[i] = 0.05f * dist(rng) *
                std::exp(-6.9f * static_cast<float>(i) / static_cast<float>(length));
    ir[0] = 0.5f;
    for (size_t t = delay; t < count; ++t) {
        float acc = 0;
        const size_t taps = std::min(length, t - delay + 1);
        for (size_t i = 0; i < taps; ++i) acc += ir[i] * s.ref[t - delay - i];
        s.mic[t] = acc + 0.02f * dist(rng);
    }
    auto to16 = [](float x) {
        return static_cast<int16_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 32767.0f));
    };
    for (float x : s.mic) s.mic16.push_back(to16(x));
    for (float x : s.ref) s.ref16.push_back(to16(x));
    return s;
}

const Scene& scene(double rate) {
    static std::map<double, Scene> scenes;
    auto it = scenes.find(rate);
    if (it == scenes.end()) it = scenes.emplace(rate, makeScene(rate, 4.0)).first;
    return it->second;
}

double rateOf(const benchmark::State& state) {
    return static_cast<double>(state.range(0)) / 10.0;
}

void BM_EchoCanceller(benchmark::State& state) {
    const double rate = rateOf(state);
    const Scene& s = scene(rate);
    EchoCanceller ec(rate);
    const int n = ec.blockSize();
    std::vector<float> out(static_cast<size_t>(n));
    size_t at = 0, frames = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(n) > s.mic.size()) at = 0;
        ec.process(s.mic.data() + at, s.ref.data() + at, out.data(), n);
        benchmark::DoNotOptimize(out.data());
        at += static_cast<size_t>(n);
        frames += static_cast<size_t>(n);
    }
    state.counters["audio_s_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(frames) / rate, benchmark::Counter::kIsRate);
}

void BM_SpeexEcho(benchmark::State& state) {
    const double rate = rateOf(state);
    const Scene& s = scene(rate);
    const int n = EchoCanceller(rate).blockSize();  // the same frame size
    SpeexEchoState* st = speex_echo_state_init(n, static_cast<int>(std::lround(0.3 * rate)));
    int r = static_cast<int>(std::lround(rate));
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &r);
    std::vector<int16_t> out(static_cast<size_t>(n));
    size_t at = 0, frames = 0;
    for (auto _ : state) {
        if (at + static_cast<size_t>(n) > s.mic16.size()) at = 0;
        speex_echo_cancellation(st, s.mic16.data() + at, s.ref16.data() + at, out.data());
        benchmark::DoNotOptimize(out.data());
        at += static_cast<size_t>(n);
        frames += static_cast<size_t>(n);
    }
    speex_echo_state_destroy(st);
    state.counters["audio_s_per_cpu_s"] =
        benchmark::Counter(static_cast<double>(frames) / rate, benchmark::Counter::kIsRate);
}

// Rates are passed in tenths of a hertz so that 44.1 kHz fits an integer argument.
BENCHMARK(BM_EchoCanceller)->Arg(160000)->Arg(441000)->Arg(480000)->MinTime(1.0);
BENCHMARK(BM_SpeexEcho)->Arg(160000)->Arg(441000)->Arg(480000)->MinTime(1.0);

// Prints the usual table and remembers the speed of every benchmark (the median when repeated)
// for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            auto c = run.counters.find("audio_s_per_cpu_s");
            if (c == run.counters.end()) continue;
            const std::string key = run.run_name.function_name + "/" + run.run_name.args;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians[key] = c->second.value;
            } else {
                singles[key] = c->second.value;
            }
        }
    }
    double speed(const std::string& key) const {
        if (auto it = medians.find(key); it != medians.end()) return it->second;
        if (auto it = singles.find(key); it != singles.end()) return it->second;
        return 0;
    }
    std::map<std::string, double> medians, singles;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-10s %14s %14s %8s\n", "kHz", "ours (x RT)", "speex (x RT)", "ratio");
    for (const char* arg : {"160000", "441000", "480000"}) {
        const double ours = reporter.speed(std::string("BM_EchoCanceller/") + arg);
        const double speex = reporter.speed(std::string("BM_SpeexEcho/") + arg);
        if (ours <= 0 || speex <= 0) continue;
        std::printf("%-10.1f %14.1f %14.1f %7.2fx\n", std::stod(arg) / 10000.0, ours, speex,
                    ours / speex);
    }
    benchmark::Shutdown();
    return 0;
}
