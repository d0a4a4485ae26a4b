// Echo-cancellation quality on a synthetic meeting, for EchoCanceller and for SpeexDSP's echo
// canceller on the same signals.
//
// The scene is built here: far-end and near-end speech from espeak-ng (two voices), resampled with
// sox, a synthetic room (direct sound plus exponentially decaying noise after a bulk delay) and a
// change of the echo path halfway. Timeline, in seconds:
//   0-12 far end only · 12-20 double talk · 20-24 near end only · 24 the echo path changes ·
//   24-36 far end only · 36-44 double talk · 44-48 far end only
//
// Usage: echo_quality [--trace] [rate ...]      (default: 16000 48000)
//   --trace prints the canceller's diagnostics every half second.
#include <fftw3.h>
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/process.hpp"
#include "recorder/echo_canceller.hpp"

extern char** environ;

namespace fs = std::filesystem;
using sayloft::recorder::EchoCanceller;
using Signal = std::vector<float>;

namespace {

const char* kFarText =
    "Good morning everyone, thanks for joining the weekly planning call. Before we look at the "
    "schedule, I would like to go through the numbers from last quarter. Sales in the northern "
    "region grew by almost twelve percent, which is better than we expected, while the southern "
    "region stayed flat. The new warehouse opened two weeks late because the permits took longer "
    "than planned, but it is now running at full capacity. Next, the product team will show the "
    "updated release plan. The main risk remains the supplier for the display panels, who has "
    "asked for another four weeks. If that slips again we will have to move the launch into the "
    "autumn. Please send me your questions by Friday, and remember that the budget review is on "
    "the twentieth.";
const char* kNearText =
    "Sorry to interrupt, but could you repeat the figure for the southern region? I think the "
    "spreadsheet I received shows a small decline, not a flat result. Also, has anyone talked to "
    "the second supplier about the panels? They offered us a shorter lead time last year and it "
    "might be worth asking them again.";

// Runs a program with an argument vector (no shell) and waits for it.
void runProgram(const std::vector<std::string>& args) {
    sayloft::core::ProcessOptions options;
    options.argv = args;
    options.stdoutTo = sayloft::core::ProcessOutput::inherited();
    options.stderrTo = sayloft::core::ProcessOutput::inherited();
    if (!sayloft::core::runProcess(options).succeeded())
        throw std::runtime_error(args[0] + " failed");
}

// Speech of `text` in `voice` at `rate`, via espeak-ng (22050 Hz) and sox.
Signal speak(const fs::path& dir, const std::string& name, const std::string& voice,
             const std::string& text, double rate) {
    const fs::path wav = dir / (name + ".wav");
    const fs::path raw = dir / (name + ".f32");
    runProgram({"espeak-ng", "-v", voice, "-s", "160", "-w", wav.string(), text});
    runProgram({"sox", "-V1", wav.string(), "-t", "raw", "-e", "floating-point", "-b", "32", "-c",
                "1", raw.string(), "rate", "-h", std::to_string(static_cast<int>(rate))});
    std::ifstream in(raw, std::ios::binary);
    Signal s(static_cast<size_t>(fs::file_size(raw) / sizeof(float)));
    in.read(reinterpret_cast<char*>(s.data()),
            static_cast<std::streamsize>(s.size() * sizeof(float)));
    if (s.empty()) throw std::runtime_error("no speech from espeak-ng for " + name);
    return s;
}

double energy(const Signal& s, size_t from, size_t to) {
    double e = 0;
    for (size_t i = from; i < std::min(to, s.size()); ++i) e += static_cast<double>(s[i]) * s[i];
    return e;
}

double rmsActive(const Signal& s) {
    // RMS over the samples of the louder half of 20 ms frames: speech without its pauses.
    const size_t frame = 441;
    std::vector<double> frames;
    for (size_t i = 0; i + frame <= s.size(); i += frame) frames.push_back(energy(s, i, i + frame));
    std::sort(frames.begin(), frames.end());
    double e = 0;
    for (size_t i = frames.size() / 2; i < frames.size(); ++i) e += frames[i];
    return std::sqrt(e / (static_cast<double>(frames.size() - frames.size() / 2) * frame));
}

// Room response: direct sound after a bulk delay, then exponentially decaying noise.
Signal room(double rate, double delaySeconds, double rt60, unsigned seed) {
    const size_t delay = static_cast<size_t>(delaySeconds * rate);
    const size_t tail = static_cast<size_t>(rt60 * rate);
    Signal h(delay + tail, 0.0f);
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    h[delay] = 1.0f;
    for (size_t i = 1; i < tail; ++i)
        h[delay + i] =
            0.25f * dist(rng) * std::exp(-6.91f * static_cast<float>(i) / static_cast<float>(tail));
    return h;
}

// Linear convolution by one large FFT, truncated to the length of x.
Signal convolve(const Signal& x, const Signal& h) {
    size_t size = 1;
    while (size < x.size() + h.size()) size <<= 1;
    const size_t bins = size / 2 + 1;
    float* a = fftwf_alloc_real(size);
    float* b = fftwf_alloc_real(size);
    fftwf_complex* fa = fftwf_alloc_complex(bins);
    fftwf_complex* fb = fftwf_alloc_complex(bins);
    fftwf_plan pa = fftwf_plan_dft_r2c_1d(static_cast<int>(size), a, fa, FFTW_ESTIMATE);
    fftwf_plan pb = fftwf_plan_dft_r2c_1d(static_cast<int>(size), b, fb, FFTW_ESTIMATE);
    fftwf_plan pi = fftwf_plan_dft_c2r_1d(static_cast<int>(size), fa, a, FFTW_ESTIMATE);
    std::fill(a, a + size, 0.0f);
    std::fill(b, b + size, 0.0f);
    std::copy(x.begin(), x.end(), a);
    std::copy(h.begin(), h.end(), b);
    fftwf_execute(pa);
    fftwf_execute(pb);
    for (size_t k = 0; k < bins; ++k) {
        const std::complex<float> p =
            std::complex<float>(fa[k][0], fa[k][1]) * std::complex<float>(fb[k][0], fb[k][1]);
        fa[k][0] = p.real() / static_cast<float>(size);
        fa[k][1] = p.imag() / static_cast<float>(size);
    }
    fftwf_execute(pi);
    Signal y(a, a + x.size());
    for (auto p : {pa, pb, pi}) fftwf_destroy_plan(p);
    fftwf_free(a);
    fftwf_free(b);
    fftwf_free(fa);
    fftwf_free(fb);
    return y;
}

struct Scene {
    double rate = 0;
    Signal far, near, echo, mic;
    size_t at(double seconds) const { return static_cast<size_t>(seconds * rate); }
};

Scene buildScene(const fs::path& dir, double rate) {
    Scene s;
    s.rate = rate;
    Signal farSpeech = speak(dir, "far", "en-us+m3", kFarText, rate);
    Signal nearSpeech = speak(dir, "near", "en-gb+f3", kNearText, rate);
    const double farGain = 0.1 / rmsActive(farSpeech);
    const double nearGain = 0.06 / rmsActive(nearSpeech);
    const size_t total = s.at(48);
    s.far.assign(total, 0.0f);
    s.near.assign(total, 0.0f);
    auto lay = [&](Signal& dst, const Signal& src, double gain, double from, double to,
                   size_t& cursor) {
        for (size_t t = s.at(from); t < s.at(to); ++t)
            dst[t] = static_cast<float>(gain * src[cursor++ % src.size()]);
    };
    size_t farCursor = 0, nearCursor = 0;
    lay(s.far, farSpeech, farGain, 0, 20, farCursor);
    lay(s.far, farSpeech, farGain, 24, 48, farCursor);
    lay(s.near, nearSpeech, nearGain, 12, 24, nearCursor);
    lay(s.near, nearSpeech, nearGain, 36, 44, nearCursor);

    Signal h1 = room(rate, 0.025, 0.18, 1), h2 = room(rate, 0.045, 0.24, 2);
    Signal e1 = convolve(s.far, h1), e2 = convolve(s.far, h2);
    // The loudspeaker echo sits about 6 dB below the far end.
    const double g1 = 0.5 / std::sqrt(energy(h1, 0, h1.size()));
    const double g2 = 0.5 / std::sqrt(energy(h2, 0, h2.size()));
    s.echo.resize(total);
    s.mic.resize(total);
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 0.001f);  // -60 dBFS microphone noise
    for (size_t t = 0; t < total; ++t) {
        s.echo[t] = t < s.at(24) ? static_cast<float>(g1 * e1[t]) : static_cast<float>(g2 * e2[t]);
        s.mic[t] = s.echo[t] + s.near[t] + noise(rng);
    }
    return s;
}

// Latency of a canceller's raw output: the lag that best matches the microphone while only the
// near end talks (20-24 s), where a canceller should pass the microphone through.
size_t estimateLag(const Scene& s, const Signal& raw, size_t maxLag) {
    const size_t from = s.at(20.5), to = s.at(23.5);
    size_t best = 0;
    double bestScore = -1e300;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        double cross = 0, power = 0;
        for (size_t t = from; t < to; ++t) {
            const double o = raw[t + lag];
            cross += o * s.mic[t];
            power += o * o;
        }
        const double score = power > 0 ? cross / std::sqrt(power) : -1e300;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// Output aligned with the microphone by the measured latency; also notes that latency.
Signal align(const Scene& s, const Signal& raw, size_t maxLag, std::string& notes) {
    const size_t lag = estimateLag(s, raw, maxLag);
    notes += "latency " + std::to_string(lag) + " samples; ";
    Signal out(s.mic.size(), 0.0f);
    for (size_t t = 0; t + lag < raw.size() && t < out.size(); ++t) out[t] = raw[t + lag];
    return out;
}

// ---- the cancellers ---------------------------------------------------------------------------

struct Result {
    std::string name;
    Signal out;  // aligned with the microphone
    std::string notes;
};

Result runOurs(const Scene& s, bool trace) {
    EchoCanceller ec(s.rate);
    const size_t lat = static_cast<size_t>(ec.latency());
    Signal out(s.mic.size() + lat, 0.0f);
    Signal mic = s.mic, far = s.far;
    mic.resize(out.size(), 0.0f);
    far.resize(out.size(), 0.0f);
    const size_t chunk = static_cast<size_t>(s.rate / 100);  // 10 ms, as the writer delivers
    for (size_t at = 0; at < out.size(); at += chunk) {
        const int frames = static_cast<int>(std::min(chunk, out.size() - at));
        ec.process(mic.data() + at, far.data() + at, out.data() + at, frames);
        if (trace && (at / chunk) % 50 == 0) {
            const auto& d = ec.diagnostics();
            std::printf(
                "  %5.1f s  leakage %.4f  erle %5.1f dB  adapted %d  take-overs %lld  "
                "relearns %lld  divergence resets %lld  background restarts %lld\n",
                static_cast<double>(at) / s.rate, d.leakage, d.erleDB, d.adapted ? 1 : 0,
                static_cast<long long>(d.foregroundUpdates), static_cast<long long>(d.relearns),
                static_cast<long long>(d.divergenceResets),
                static_cast<long long>(d.backgroundResets));
        }
    }
    Result r{"sayloft", {}, ""};
    r.out = align(s, out, 2 * lat, r.notes);
    const auto& d = ec.diagnostics();
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "take-overs %lld, background restarts %lld, divergence resets %lld, relearns "
                  "%lld, adapted %s, erleDB %.1f",
                  static_cast<long long>(d.foregroundUpdates),
                  static_cast<long long>(d.backgroundResets),
                  static_cast<long long>(d.divergenceResets), static_cast<long long>(d.relearns),
                  d.adapted ? "yes" : "no", d.erleDB);
    r.notes += buf;
    return r;
}

Result runSpeex(const Scene& s, bool withSuppressor) {
    const int n = EchoCanceller(s.rate).blockSize();
    int rate = static_cast<int>(std::lround(s.rate));
    SpeexEchoState* st = speex_echo_state_init(n, static_cast<int>(std::lround(0.3 * s.rate)));
    speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    SpeexPreprocessState* pp = nullptr;
    if (withSuppressor) {
        pp = speex_preprocess_state_init(n, rate);
        speex_preprocess_ctl(pp, SPEEX_PREPROCESS_SET_ECHO_STATE, st);
    }
    auto to16 = [](float x) {
        return static_cast<int16_t>(std::lround(std::clamp(x, -1.0f, 1.0f) * 32767.0f));
    };
    Signal out(s.mic.size() + 4 * static_cast<size_t>(n), 0.0f);
    std::vector<int16_t> m(static_cast<size_t>(n)), f(static_cast<size_t>(n)),
        o(static_cast<size_t>(n));
    for (size_t at = 0; at + static_cast<size_t>(n) <= out.size(); at += static_cast<size_t>(n)) {
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            m[i] = at + i < s.mic.size() ? to16(s.mic[at + i]) : 0;
            f[i] = at + i < s.far.size() ? to16(s.far[at + i]) : 0;
        }
        speex_echo_cancellation(st, m.data(), f.data(), o.data());
        if (pp) speex_preprocess_run(pp, o.data());
        for (int i = 0; i < n; ++i)
            out[at + static_cast<size_t>(i)] =
                static_cast<float>(o[static_cast<size_t>(i)]) / 32767.0f;
    }
    if (pp) speex_preprocess_state_destroy(pp);
    speex_echo_state_destroy(st);
    Result r{withSuppressor ? "speex+pp" : "speex", {}, ""};
    r.out = align(s, out, 4 * static_cast<size_t>(n), r.notes);
    r.notes += withSuppressor ? "SpeexDSP echo canceller followed by its preprocessor (residual "
                                "echo and noise suppression)"
                              : "SpeexDSP echo canceller alone";
    return r;
}

// ---- measures ---------------------------------------------------------------------------------

struct Measures {
    double erle = 0;          // dB, far end only, after convergence
    double nearSnr = 0;       // dB, double talk, waveform
    double nearSnrMag = 0;    // dB, double talk, magnitude spectra
    double timeTo10 = NAN;    // s from the start
    double reconverge = NAN;  // s after the path change
    double maxGain = -1e9;    // dB, max over 0.5 s windows of output over microphone energy
    double maxGainAt = 0;     // s, start of that window
};

double db(double ratio) {
    return 10.0 * std::log10(ratio);
}

// Near-end SNR on short-time magnitude spectra (about 32 ms Hann frames, half overlap), so that a
// change of phase alone costs nothing. Accumulates signal and error energies.
void addMagnitudeSnr(const Signal& ref, const Signal& test, size_t from, size_t to, double rate,
                     double& e, double& d) {
    int size = 1;
    while (size < rate * 0.032) size <<= 1;
    float* buf = fftwf_alloc_real(static_cast<size_t>(size));
    fftwf_complex* spectrum = fftwf_alloc_complex(static_cast<size_t>(size / 2 + 1));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(size, buf, spectrum, FFTW_ESTIMATE);
    std::vector<float> win(static_cast<size_t>(size)), magRef(static_cast<size_t>(size / 2 + 1));
    for (int i = 0; i < size; ++i)
        win[static_cast<size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / size));
    auto magnitudes = [&](const Signal& s, size_t at, std::vector<float>& mag) {
        for (int i = 0; i < size; ++i)
            buf[i] = s[at + static_cast<size_t>(i)] * win[static_cast<size_t>(i)];
        fftwf_execute(plan);
        mag.resize(static_cast<size_t>(size / 2 + 1));
        for (int k = 0; k <= size / 2; ++k)
            mag[static_cast<size_t>(k)] = std::hypot(spectrum[k][0], spectrum[k][1]);
    };
    std::vector<float> magTest;
    for (size_t at = from; at + static_cast<size_t>(size) <= to;
         at += static_cast<size_t>(size / 2)) {
        magnitudes(ref, at, magRef);
        magnitudes(test, at, magTest);
        for (size_t k = 0; k < magRef.size(); ++k) {
            e += static_cast<double>(magRef[k]) * magRef[k];
            const double diff = static_cast<double>(magTest[k]) - magRef[k];
            d += diff * diff;
        }
    }
    fftwf_destroy_plan(plan);
    fftwf_free(buf);
    fftwf_free(spectrum);
}

// First time (end of a 0.5 s window starting at or after `from`, before `to`) at which a window
// that carries echo reaches 10 dB of echo return loss enhancement.
double timeToErle10(const Scene& s, const Signal& out, double from, double to) {
    const size_t win = s.at(0.5), hop = s.at(0.1);
    const double meanEcho = energy(s.echo, s.at(from), s.at(to)) / ((to - from) / 0.5);
    for (size_t at = s.at(from); at + win <= s.at(to); at += hop) {
        if (energy(s.echo, at, at + win) < 0.1 * meanEcho) continue;
        if (db(energy(s.mic, at, at + win) / energy(out, at, at + win)) >= 10.0)
            return static_cast<double>(at + win) / s.rate - from;
    }
    return NAN;
}

Measures measure(const Scene& s, const Signal& out) {
    Measures m;
    double micE = 0, outE = 0;
    for (auto [a, b] : {std::pair{6.0, 12.0}, std::pair{30.0, 36.0}, std::pair{44.0, 48.0}}) {
        micE += energy(s.mic, s.at(a), s.at(b));
        outE += energy(out, s.at(a), s.at(b));
    }
    m.erle = db(micE / outE);
    double e = 0, d = 0, me = 0, md = 0;
    for (auto [a, b] : {std::pair{12.0, 20.0}, std::pair{36.0, 44.0}}) {
        for (size_t t = s.at(a); t < s.at(b); ++t) {
            e += static_cast<double>(s.near[t]) * s.near[t];
            const double diff = static_cast<double>(out[t]) - s.near[t];
            d += diff * diff;
        }
        addMagnitudeSnr(s.near, out, s.at(a), s.at(b), s.rate, me, md);
    }
    m.nearSnr = db(e / d);
    m.nearSnrMag = db(me / md);
    m.timeTo10 = timeToErle10(s, out, 0, 12);
    m.reconverge = timeToErle10(s, out, 24, 36);
    const size_t win = s.at(0.5), hop = s.at(0.1);
    for (size_t at = 0; at + win <= s.mic.size(); at += hop) {
        const double g = db(energy(out, at, at + win) / energy(s.mic, at, at + win));
        if (g > m.maxGain) {
            m.maxGain = g;
            m.maxGainAt = static_cast<double>(at) / s.rate;
        }
    }
    return m;
}

Measures measureInput(const Scene& s) {
    Measures m = measure(s, s.mic);
    return m;
}

void printTable(const Scene& s, const std::vector<Result>& results) {
    std::vector<Measures> ms;
    for (const auto& r : results) ms.push_back(measure(s, r.out));
    const Measures in = measureInput(s);
    std::printf("\n== %.1f kHz (block %d, tail 300 ms) ==\n", s.rate / 1000.0,
                EchoCanceller(s.rate).blockSize());
    std::printf("%-44s %10s", "measure", "mic");
    for (const auto& r : results) std::printf(" %10s", r.name.c_str());
    std::printf("\n");
    auto row = [&](const char* label, double inValue, std::function<double(const Measures&)> f,
                   const char* fmt) {
        std::printf("%-44s ", label);
        if (std::isnan(inValue))
            std::printf("%10s", "-");
        else
            std::printf(fmt, inValue);
        for (const auto& m : ms) {
            const double v = f(m);
            if (std::isnan(v))
                std::printf(" %10s", "never");
            else {
                std::printf(" ");
                std::printf(fmt, v);
            }
        }
        std::printf("\n");
    };
    row(
        "ERLE far end only, converged (dB)", 0.0, [](const Measures& m) { return m.erle; },
        "%10.1f");
    row(
        "near-end SNR in double talk (dB)", in.nearSnr, [](const Measures& m) { return m.nearSnr; },
        "%10.1f");
    row(
        "near-end SNR, magnitude spectra (dB)", in.nearSnrMag,
        [](const Measures& m) { return m.nearSnrMag; }, "%10.1f");
    row(
        "time to 10 dB ERLE (s)", NAN, [](const Measures& m) { return m.timeTo10; }, "%10.2f");
    row(
        "re-convergence after path change (s)", NAN, [](const Measures& m) { return m.reconverge; },
        "%10.2f");
    row(
        "max 0.5 s window, output - mic (dB)", 0.0, [](const Measures& m) { return m.maxGain; },
        "%10.2f");
    row(
        "  ... at (s)", NAN, [](const Measures& m) { return m.maxGainAt; }, "%10.1f");
    for (const auto& r : results) std::printf("%-10s %s\n", r.name.c_str(), r.notes.c_str());

    // The targets, against SpeexDSP's echo canceller alone.
    const Measures& ours = ms[0];
    const Measures& speex = ms[1];
    auto verdict = [](bool ok) { return ok ? "met" : "NOT met"; };
    std::printf("target: ERLE >= speex                        %s (%+.1f dB)\n",
                verdict(ours.erle >= speex.erle), ours.erle - speex.erle);
    std::printf("target: double-talk SNR >= speex - 1 dB      %s (%+.1f dB)\n",
                verdict(ours.nearSnr >= speex.nearSnr - 1.0), ours.nearSnr - speex.nearSnr);
    std::printf("target: magnitude SNR >= speex - 1 dB        %s (%+.1f dB)\n",
                verdict(ours.nearSnrMag >= speex.nearSnrMag - 1.0),
                ours.nearSnrMag - speex.nearSnrMag);
    std::printf("target: no window above mic + 0.5 dB         %s (max %+.2f dB)\n",
                verdict(ours.maxGain <= 0.5), ours.maxGain);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> rates;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--trace")
            trace = true;
        else
            rates.push_back(std::atof(argv[i]));
    }
    if (rates.empty()) rates = {16000, 48000};
    char pattern[] = "/tmp/sayloft-echo-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    int rc = 0;
    try {
        for (double rate : rates) {
            if (!(rate >= 8000 && rate <= 192000)) throw std::runtime_error("unsupported rate");
            const Scene scene = buildScene(dir, rate);
            std::vector<Result> results{runOurs(scene, trace), runSpeex(scene, false),
                                        runSpeex(scene, true)};
            printTable(scene, results);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "echo_quality: %s\n", e.what());
        rc = 1;
    }
    fs::remove_all(dir);
    return rc;
}
