#include "recognizer.hpp"

#include <pocketsphinx.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "audio_decoder.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "crypto.hpp"

namespace sayloft::wendrel {

namespace fs = std::filesystem;

namespace {
constexpr size_t kFrame = kSpeechSampleRate / 100;  // 10 ms
// A command's transcript larger than this is cut (a runaway engine must not fill memory).
constexpr size_t kMaxCommandOutput = 8 * 1024 * 1024;

std::string lastLine(const std::string& text) {
    auto trimmed = std::string(core::trimWhitespace(core::repairUtf8(text)));
    auto nl = trimmed.find_last_of('\n');
    auto line = nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
    return core::utf8Prefix(core::trimWhitespace(line), 300);
}

// Words separated by single blanks.
std::string collapseBlanks(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            blank = !out.empty();
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        out += c;
    }
    return out;
}
}  // namespace

// ---- settings

DecoderSettings DecoderSettings::engineDefaults() {
    DecoderSettings s;
    s.maxUtterance = 0;
    s.padding = 0;
    return s;
}

// Measured with bench/wendrel/quality.cpp on real recorded speech: without the flat-lexicon
// second pass and without padding, fewer word errors than the engine's defaults at a little
// more than twice the speed of the previous settings. Cutting at pauses, other language
// weights and wider beams gained nothing on top (see the benchmark's table).
DecoderSettings DecoderSettings::chosen() {
    DecoderSettings s;
    s.arguments = {{"-cmn", "current"}, {"-dither", "yes"}, {"-seed", "1"}, {"-fwdflat", "no"}};
    s.minPause = 0;
    s.maxUtterance = 20.0;
    s.padding = 0;
    return s;
}

// ---- pocketsphinx

struct PocketSphinxRecognizer::Impl {
    DecoderSettings settings;
    cmd_ln_t* config = nullptr;
    ps_decoder_t* decoder = nullptr;
};

fs::path PocketSphinxRecognizer::defaultModelDir() {
    return WENDREL_MODEL_DIR;
}

PocketSphinxRecognizer::PocketSphinxRecognizer(DecoderSettings settings, const fs::path& modelDir)
    : impl_(std::make_unique<Impl>()) {
    impl_->settings = std::move(settings);
    std::vector<std::string> args{"-hmm",   (modelDir / "en-us").string(),
                                  "-lm",    (modelDir / "en-us.lm.bin").string(),
                                  "-dict",  (modelDir / "cmudict-en-us.dict").string(),
                                  "-logfn", "/dev/null"};
    for (auto& [name, value] : impl_->settings.arguments) {
        args.push_back(name);
        args.push_back(value);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    impl_->config =
        cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argv.size()), argv.data(), FALSE);
    if (!impl_->config) throw Error("speech model configuration rejected: " + modelDir.string());
    impl_->decoder = ps_init(impl_->config);
    if (!impl_->decoder) {
        cmd_ln_free_r(impl_->config);
        throw Error("cannot load the speech model from " + modelDir.string());
    }
}

PocketSphinxRecognizer::~PocketSphinxRecognizer() {
    ps_free(impl_->decoder);
    cmd_ln_free_r(impl_->config);
}

std::vector<size_t> utteranceBoundaries(const std::vector<int16_t>& samples, size_t maxLength) {
    std::vector<size_t> ends;
    const size_t window = kSpeechSampleRate / 10;
    size_t start = 0;
    while (maxLength > window && samples.size() - start > maxLength) {
        size_t searchFrom = start + maxLength * 6 / 10;
        size_t best = start + maxLength;
        double bestEnergy = INFINITY;
        for (size_t w = searchFrom; w + window <= start + maxLength; w += window / 2) {
            double e = 0;
            for (size_t i = w; i < w + window; ++i) e += double(samples[i]) * samples[i];
            if (e < bestEnergy) {
                bestEnergy = e;
                best = w + window / 2;
            }
        }
        ends.push_back(best);
        start = best;
    }
    ends.push_back(samples.size());
    return ends;
}

std::vector<size_t> pauseBoundaries(const std::vector<int16_t>& samples, size_t minPause) {
    size_t frames = samples.size() / kFrame;
    size_t minFrames = std::max<size_t>(1, minPause / kFrame);
    if (frames < 2 * minFrames) return {samples.size()};
    std::vector<double> level(frames);
    for (size_t f = 0; f < frames; ++f) {
        double e = 0;
        for (size_t i = f * kFrame; i < (f + 1) * kFrame; ++i) e += double(samples[i]) * samples[i];
        level[f] = 10 * std::log10(e / kFrame + 1);
    }
    auto sorted = level;
    std::sort(sorted.begin(), sorted.end());
    double floor = sorted[frames / 10];
    double peak = sorted[frames * 95 / 100];
    // Quiet is anything nearer the floor than the loud parts; a recording without contrast
    // (all speech or all silence) is not cut.
    if (peak - floor < 10) return {samples.size()};
    double threshold = floor + 0.3 * (peak - floor);
    std::vector<size_t> ends;
    size_t runStart = 0;
    bool inRun = false;
    for (size_t f = 0; f <= frames; ++f) {
        bool quiet = f < frames && level[f] < threshold;
        if (quiet && !inRun) {
            runStart = f;
            inRun = true;
        } else if (!quiet && inRun) {
            inRun = false;
            // Pauses at the very start or end are not cuts.
            if (f - runStart >= minFrames && runStart > 0 && f < frames) {
                ends.push_back((runStart + f) / 2 * kFrame);
            }
        }
    }
    ends.push_back(samples.size());
    return ends;
}

std::optional<std::string> PocketSphinxRecognizer::transcribe(const std::vector<int16_t>& samples,
                                                              std::stop_token stop) {
    const auto& s = impl_->settings;
    auto padding = static_cast<size_t>(s.padding * kSpeechSampleRate);
    auto maxLength = static_cast<size_t>(s.maxUtterance * kSpeechSampleRate);
    std::vector<size_t> ends;
    if (s.minPause > 0) {
        ends = pauseBoundaries(samples, static_cast<size_t>(s.minPause * kSpeechSampleRate));
    } else {
        ends = {samples.size()};
    }
    std::string text;
    size_t start = 0;
    std::vector<int16_t> piece, utterance;
    for (size_t segmentEnd : ends) {
        piece.assign(samples.begin() + start, samples.begin() + segmentEnd);
        size_t from = 0;
        for (size_t end : utteranceBoundaries(piece, maxLength ? maxLength : piece.size() + 1)) {
            if (stop.stop_requested()) return std::nullopt;
            utterance.assign(padding, 0);
            utterance.insert(utterance.end(), piece.begin() + from, piece.begin() + end);
            utterance.insert(utterance.end(), padding, 0);
            from = end;
            if (utterance.empty()) continue;
            if (ps_start_utt(impl_->decoder) < 0 ||
                ps_process_raw(impl_->decoder, utterance.data(), utterance.size(), FALSE, TRUE) <
                    0 ||
                ps_end_utt(impl_->decoder) < 0) {
                throw RecognizerError("the speech recogniser could not decode the audio");
            }
            int32 score = 0;
            const char* hyp = ps_get_hyp(impl_->decoder, &score);
            if (hyp && *hyp) {
                if (!text.empty()) text += ' ';
                text += hyp;
            }
        }
        start = segmentEnd;
    }
    return text;
}

// ---- command

std::vector<std::string> splitCommandLine(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                word += c;
            }
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (c == '\\' && i + 1 < text.size() &&
                       std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote) throw Error(fmt::format("unclosed {} quote in the command \"{}\"", quote, text));
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string wavBytes(const std::vector<int16_t>& samples, int rate) {
    auto u32 = [](std::string& s, uint32_t v) {
        for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    auto u16 = [](std::string& s, uint16_t v) {
        s += static_cast<char>(v & 0xff);
        s += static_cast<char>(v >> 8);
    };
    auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::string b = "RIFF";
    u32(b, 36 + dataBytes);
    b += "WAVEfmt ";
    u32(b, 16);
    u16(b, 1);
    u16(b, 1);
    u32(b, static_cast<uint32_t>(rate));
    u32(b, static_cast<uint32_t>(rate * 2));
    u16(b, 2);
    u16(b, 16);
    b += "data";
    u32(b, dataBytes);
    for (int16_t v : samples) u16(b, static_cast<uint16_t>(v));
    return b;
}

CommandRecognizer::CommandRecognizer(std::vector<std::string> argv, fs::path workDir,
                                     core::Clock& clock, Limits limits)
    : argv_(std::move(argv)), workDir_(std::move(workDir)), clock_(clock), limits_(limits) {
    if (argv_.empty()) throw Error("the recognizer command is empty");
}

std::string CommandRecognizer::model() const {
    return "command:" + fs::path(argv_[0]).filename().string();
}

std::optional<std::string> CommandRecognizer::transcribe(const std::vector<int16_t>& samples,
                                                         std::stop_token stop) {
    fs::create_directories(workDir_);
    fs::path wav = workDir_ / ("speech-" + randomHex(8) + ".wav");
    struct Remove {
        fs::path p;
        ~Remove() {
            std::error_code ec;
            fs::remove(p, ec);
        }
    } removeAfter{wav};
    {
        std::ofstream out(wav, std::ios::binary);
        auto bytes = wavBytes(samples, kSpeechSampleRate);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw RecognizerError("cannot write the audio for the recognizer");
    }
    core::ProcessOptions options;
    for (auto arg : argv_) {
        for (size_t at = arg.find("{wav}"); at != std::string::npos;
             at = arg.find("{wav}", at + wav.string().size())) {
            arg.replace(at, 5, wav.string());
        }
        options.argv.push_back(std::move(arg));
    }
    double audioSeconds = static_cast<double>(samples.size()) / kSpeechSampleRate;
    auto limit = limits_.base + core::seconds(limits_.perAudioSecond * audioSeconds);
    options.timeLimit = limit;
    options.killGrace = core::seconds(2);
    options.clock = &clock_;
    options.cancel = stop;
    options.keepLastBytes = kMaxCommandOutput;
    core::ProcessResult r;
    try {
        r = core::runProcess(options);
    } catch (const core::ProcessError& e) {
        throw RecognizerError(std::string("the recognizer command did not start: ") + e.what());
    }
    if (r.cancelled) return std::nullopt;
    auto detail = [&] {
        auto line = lastLine(r.err);
        return line.empty() ? std::string() : ": " + line;
    };
    if (r.timedOut) {
        throw RecognizerError(
            fmt::format("the recognizer command took longer than {:.0f} s for {:.1f} s of audio{}",
                        std::chrono::duration<double>(limit).count(), audioSeconds, detail()));
    }
    if (!r.exited) {
        throw RecognizerError(
            fmt::format("the recognizer command was ended by signal {}{}", r.signal, detail()));
    }
    if (r.exitStatus != 0) {
        throw RecognizerError(fmt::format("the recognizer command failed with exit status {}{}",
                                          r.exitStatus, detail()));
    }
    return collapseBlanks(core::trimWhitespace(core::repairUtf8(r.out)));
}

}  // namespace sayloft::wendrel
