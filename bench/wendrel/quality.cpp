// wendrel_quality: word error rate and speed of the local service's recogniser per decoder
// setting, on real recorded speech (the LibriVox clips Debian ships with pocketsphinx's test
// data, with their reference text) and on espeak-ng sentences. The first row of each table is
// the engine's own defaults, run in the same process as the baseline.
//
//   wendrel_quality [--quick] [--verbose] [--only NAME,NAME...]
//     --quick: LibriVox only, and only the defaults, the previous and the chosen setting
#include <time.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "audio_decoder.hpp"
#include "core/log.hpp"
#include "core/process.hpp"
#include "recognizer.hpp"

namespace fs = std::filesystem;
using namespace sayloft;
using namespace sayloft::wendrel;

namespace {
const fs::path kLibriVox = "/usr/share/pocketsphinx/test/data/librivox";

const char* kSentences[] = {
    "please remember to call the office about the quarterly report tomorrow",
    "I would like to order two large pizzas and a bottle of water for dinner tonight",
    "the weather today is sunny and warm so we will walk to the park after lunch",
    "we should finish the report before Friday and send it to the whole team",
    "Mr Smith will meet the new customer at the station at nine o'clock",
    "buy milk eggs and bread on the way home and pick up the children from school",
};

struct Clip {
    std::string name;
    std::vector<int16_t> samples;
    std::string reference;
};

struct Setting {
    std::string name;
    DecoderSettings decoder;
};

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Lower case, no punctuation, common abbreviations spelled out.
std::vector<std::string> normalisedWords(const std::string& text) {
    static const std::map<std::string, std::string> spelled{
        {"mr", "mister"}, {"mrs", "missus"},     {"dr", "doctor"},    {"st", "saint"},
        {"ok", "okay"},   {"o'clock", "oclock"}, {"oclock", "oclock"}};
    std::vector<std::string> out;
    std::string w;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
            w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!w.empty()) {
            while (!w.empty() && w.front() == '\'') w.erase(w.begin());
            while (!w.empty() && w.back() == '\'') w.pop_back();
            if (auto it = spelled.find(w); it != spelled.end()) w = it->second;
            if (!w.empty()) out.push_back(w);
            w.clear();
        }
    }
    return out;
}

// Word-level edit distance.
size_t wordErrors(const std::vector<std::string>& r, const std::vector<std::string>& h) {
    std::vector<size_t> prev(h.size() + 1), cur(h.size() + 1);
    for (size_t j = 0; j <= h.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= r.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= h.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r[i - 1] != h[j - 1])});
        }
        std::swap(prev, cur);
    }
    return prev[h.size()];
}

std::vector<Clip> libriVoxClips() {
    std::vector<Clip> clips;
    std::ifstream in(kLibriVox / "transcription");
    for (std::string line; std::getline(in, line);) {
        auto open = line.rfind('(');
        auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        Clip c;
        c.name = line.substr(open + 1, close - open - 1);
        c.reference = line.substr(0, open);
        for (auto tag : {"<s>", "</s>"}) {
            for (auto at = c.reference.find(tag); at != std::string::npos;
                 at = c.reference.find(tag)) {
                c.reference.erase(at, std::string(tag).size());
            }
        }
        c.samples = decodeForSpeech(kLibriVox / (c.name + ".wav")).value();
        clips.push_back(std::move(c));
    }
    return clips;
}

std::vector<Clip> espeakClips(const fs::path& dir) {
    std::vector<Clip> clips;
    int i = 0;
    for (auto sentence : kSentences) {
        auto wav = dir / ("espeak-" + std::to_string(i++) + ".wav");
        core::ProcessOptions o;
        o.argv = {"espeak-ng", "-v", "en-us+f2", "-s", "140", "-w", wav.string(), sentence};
        o.stdoutTo = o.stderrTo = core::ProcessOutput::discarded();
        if (!core::runProcess(o).succeeded()) throw std::runtime_error("espeak-ng failed");
        clips.push_back({wav.filename().string(), decodeForSpeech(wav).value(), sentence});
    }
    return clips;
}

struct Score {
    double wer = 0;
    double rtf = 0;  // CPU seconds per second of audio
};

Score measure(const Setting& setting, const std::vector<Clip>& clips, bool verbose) {
    PocketSphinxRecognizer recognizer(setting.decoder);
    // One untimed pass first, so that no row pays for loading the model's pages.
    if (!clips.empty()) recognizer.transcribe(clips.front().samples);
    size_t errors = 0, words = 0;
    double cpu = 0, audio = 0;
    for (auto& clip : clips) {
        double t0 = threadCpuSeconds();
        auto text = recognizer.transcribe(clip.samples).value_or("");
        cpu += threadCpuSeconds() - t0;
        audio += static_cast<double>(clip.samples.size()) / kSpeechSampleRate;
        auto ref = normalisedWords(clip.reference);
        errors += wordErrors(ref, normalisedWords(text));
        words += ref.size();
        if (verbose) std::fprintf(stderr, "  %-22s %s\n", setting.name.c_str(), text.c_str());
    }
    return {words ? double(errors) / words : 0, cpu / audio};
}

std::vector<Setting> settings(bool quick) {
    auto defaults = DecoderSettings::engineDefaults();
    DecoderSettings previous;  // what the service used before these measurements
    previous.arguments = {{"-cmn", "current"}, {"-dither", "yes"}, {"-seed", "1"}};
    previous.maxUtterance = 20;
    previous.padding = 0.5;
    auto with = [](DecoderSettings s, std::vector<std::pair<std::string, std::string>> extra) {
        s.arguments.insert(s.arguments.end(), extra.begin(), extra.end());
        return s;
    };
    auto paused = [](DecoderSettings s, double pause) {
        s.minPause = pause;
        return s;
    };
    std::vector<Setting> out{{"engine defaults", defaults},
                             {"previous service", previous},
                             {"chosen", DecoderSettings::chosen()}};
    if (quick) return out;
    out.push_back({"pauses 0.3 s", paused(previous, 0.3)});
    out.push_back({"pauses 0.5 s", paused(previous, 0.5)});
    out.push_back({"lw 8", with(previous, {{"-lw", "8"}})});
    out.push_back({"lw 10", with(previous, {{"-lw", "10"}})});
    out.push_back({"lw 5", with(previous, {{"-lw", "5"}})});
    out.push_back({"wide beams",
                   with(previous, {{"-beam", "1e-60"}, {"-wbeam", "1e-50"}, {"-pbeam", "1e-60"}})});
    out.push_back({"narrow beams",
                   with(previous, {{"-beam", "1e-40"}, {"-wbeam", "1e-30"}, {"-pbeam", "1e-40"}})});
    out.push_back({"no fwdflat", with(previous, {{"-fwdflat", "no"}})});
    out.push_back({"pip 0.5", with(previous, {{"-pip", "0.5"}})});
    out.push_back({"wip 0.5", with(previous, {{"-wip", "0.5"}})});
    out.push_back({"no dither", with(DecoderSettings::engineDefaults(), {{"-cmn", "current"}})});
    auto unpadded = previous;
    unpadded.padding = 0;
    out.push_back({"no padding", unpadded});
    out.push_back({"no fwdflat, no pad", with(unpadded, {{"-fwdflat", "no"}})});
    auto shortPad = with(previous, {{"-fwdflat", "no"}});
    shortPad.padding = 0.2;
    out.push_back({"no fwdflat, pad .2", shortPad});
    out.push_back({"no bestpath", with(previous, {{"-bestpath", "no"}})});
    out.push_back({"no fwdflat, lw 7.5", with(previous, {{"-fwdflat", "no"}, {"-lw", "7.5"}})});
    return out;
}
}  // namespace

int main(int argc, char** argv) {
    core::LogConfig::setStderr(false);
    bool quick = false, verbose = false;
    std::string only;  // comma-separated setting names; the first row is always measured
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") quick = true;
        if (a == "--verbose") verbose = true;
        if (a == "--only" && i + 1 < argc) only = "," + std::string(argv[++i]) + ",";
    }
    if (!fs::exists(kLibriVox / "transcription")) {
        std::cerr << "wendrel_quality: install pocketsphinx-testdata (scripts/deps)\n";
        return 1;
    }
    char pattern[] = "/tmp/wendrel-quality-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    auto libri = libriVoxClips();
    std::vector<Clip> synthetic;
    if (!quick) synthetic = espeakClips(pattern);
    fs::remove_all(pattern);

    std::printf("%-18s %12s %10s %12s %10s %14s\n", "setting", "LibriVox WER", "RTF", "espeak WER",
                "RTF", "speed vs dflt");
    double baseRtf = 0;
    bool first = true;
    for (auto& s : settings(quick)) {
        if (!first && !only.empty() && only.find("," + s.name + ",") == std::string::npos) {
            continue;
        }
        first = false;
        auto real = measure(s, libri, verbose);
        Score synth;
        if (!synthetic.empty()) synth = measure(s, synthetic, verbose);
        if (baseRtf == 0) baseRtf = real.rtf;
        std::printf("%-18s %11.1f%% %10.3f %11.1f%% %10.3f %13.2fx\n", s.name.c_str(),
                    100 * real.wer, real.rtf, 100 * synth.wer, synth.rtf, baseRtf / real.rtf);
        std::fflush(stdout);
    }
    std::printf(
        "RTF: CPU seconds per second of audio (lower is faster); speed vs dflt: the "
        "engine defaults' LibriVox RTF over this row's.\n");
    return 0;
}
