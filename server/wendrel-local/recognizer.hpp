#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace sayloft::wendrel {

// Turns 16 kHz mono speech into text. One instance is used by one thread at a time.
class SpeechRecognizer {
  public:
    virtual ~SpeechRecognizer() = default;
    // The words heard, separated by single blanks; empty for silence. Nothing when `stop` was
    // requested before the end.
    virtual std::optional<std::string> transcribe(const std::vector<int16_t>& samples,
                                                  std::stop_token stop = {}) = 0;
    // The name reported as the transcript's model.
    virtual std::string model() const = 0;
};

// pocketsphinx with the en-us acoustic model, language model and dictionary from `modelDir`.
// Long recordings are cut at quiet moments into utterances of at most kMaxUtterance seconds,
// each decoded whole with its own mean normalisation.
class PocketSphinxRecognizer : public SpeechRecognizer {
  public:
    static constexpr double kMaxUtterance = 20.0;
    explicit PocketSphinxRecognizer(const std::filesystem::path& modelDir = defaultModelDir());
    ~PocketSphinxRecognizer() override;

    std::optional<std::string> transcribe(const std::vector<int16_t>& samples,
                                          std::stop_token stop = {}) override;
    std::string model() const override { return "pocketsphinx-en-us"; }

    static std::filesystem::path defaultModelDir();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Where to cut `samples` into utterances of at most `maxLength` samples: at the quietest
// 100 ms within the last 40 % of each span. Returns the end index of each utterance.
std::vector<size_t> utteranceBoundaries(const std::vector<int16_t>& samples, size_t maxLength);

}  // namespace sayloft::wendrel
