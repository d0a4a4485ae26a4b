#include "recognizer.hpp"

#include <pocketsphinx.h>

#include <fmt/format.h>

#include <cmath>
#include <sstream>

#include "audio_decoder.hpp"
#include "core/error.hpp"

namespace sayloft::wendrel {

namespace {
// Half a second of silence around each utterance lets the recogniser settle before the first
// word and finish the last one.
constexpr size_t kPadding = kSpeechSampleRate / 2;
}  // namespace

struct PocketSphinxRecognizer::Impl {
    cmd_ln_t* config = nullptr;
    ps_decoder_t* decoder = nullptr;
};

std::filesystem::path PocketSphinxRecognizer::defaultModelDir() {
    return WENDREL_MODEL_DIR;
}

PocketSphinxRecognizer::PocketSphinxRecognizer(const std::filesystem::path& modelDir)
    : impl_(std::make_unique<Impl>()) {
    auto hmm = (modelDir / "en-us").string();
    auto lm = (modelDir / "en-us.lm.bin").string();
    auto dict = (modelDir / "cmudict-en-us.dict").string();
    impl_->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(),
                                "-dict", dict.c_str(), "-cmn", "current", "-dither", "yes", "-seed",
                                "1", "-logfn", "/dev/null", nullptr);
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
    while (samples.size() - start > maxLength) {
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

std::optional<std::string> PocketSphinxRecognizer::transcribe(const std::vector<int16_t>& samples,
                                                              std::stop_token stop) {
    std::string text;
    size_t start = 0;
    std::vector<int16_t> utterance;
    for (size_t end :
         utteranceBoundaries(samples, static_cast<size_t>(kMaxUtterance * kSpeechSampleRate))) {
        if (stop.stop_requested()) return std::nullopt;
        utterance.assign(kPadding, 0);
        utterance.insert(utterance.end(), samples.begin() + start, samples.begin() + end);
        utterance.insert(utterance.end(), kPadding, 0);
        start = end;
        ps_start_utt(impl_->decoder);
        ps_process_raw(impl_->decoder, utterance.data(), utterance.size(), FALSE, TRUE);
        ps_end_utt(impl_->decoder);
        int32 score = 0;
        const char* hyp = ps_get_hyp(impl_->decoder, &score);
        if (hyp && *hyp) {
            if (!text.empty()) text += ' ';
            text += hyp;
        }
    }
    return text;
}

}  // namespace sayloft::wendrel
