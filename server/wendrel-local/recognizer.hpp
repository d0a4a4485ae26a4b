#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"

namespace sayloft::wendrel {

// A recogniser that ran and failed (an engine error, a command's non-zero exit or time-out);
// what() is recorded as the transcription's error.
class RecognizerError : public Error {
  public:
    using Error::Error;
};

// Turns 16 kHz mono speech into text. One instance is used by one thread at a time.
class SpeechRecognizer {
  public:
    virtual ~SpeechRecognizer() = default;
    // The words heard, separated by single blanks; empty for silence. Nothing when `stop` was
    // requested before the end. Throws RecognizerError.
    virtual std::optional<std::string> transcribe(const std::vector<int16_t>& samples,
                                                  std::stop_token stop = {}) = 0;
    // The name reported as the transcript's model.
    virtual std::string model() const = 0;
};

// How pocketsphinx is set up and how a recording is cut before decoding.
struct DecoderSettings {
    // Extra decoder arguments on top of the model paths ("-lw", "8", ...).
    std::vector<std::pair<std::string, std::string>> arguments;
    // Cut at pauses in the speech (at least this many seconds of quiet); 0 cuts only where
    // an utterance would grow longer than maxUtterance.
    double minPause = 0;
    double maxUtterance = 20.0;
    // Silence added around each utterance, in seconds.
    double padding = 0.5;

    // The settings the service uses.
    static DecoderSettings chosen();
    // The engine's own defaults: only the model paths, the whole recording as one utterance.
    static DecoderSettings engineDefaults();
};

// pocketsphinx with the en-us acoustic model, language model and dictionary from `modelDir`.
class PocketSphinxRecognizer : public SpeechRecognizer {
  public:
    explicit PocketSphinxRecognizer(DecoderSettings settings = DecoderSettings::chosen(),
                                    const std::filesystem::path& modelDir = defaultModelDir());
    ~PocketSphinxRecognizer() override;

    std::optional<std::string> transcribe(const std::vector<int16_t>& samples,
                                          std::stop_token stop = {}) override;
    std::string model() const override { return "pocketsphinx-en-us"; }

    static std::filesystem::path defaultModelDir();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// An installed engine run as a command: `argv` with every "{wav}" replaced by the path of a
// 16 kHz mono 16-bit WAV of the recording; the trimmed standard output is the transcript. It
// gets `baseLimit` plus `perAudioSecond` for each second of audio (on `clock`).
class CommandRecognizer : public SpeechRecognizer {
  public:
    struct Limits {
        core::Duration base = core::seconds(60);
        double perAudioSecond = 10;
    };
    CommandRecognizer(std::vector<std::string> argv, std::filesystem::path workDir,
                      core::Clock& clock, Limits limits);

    std::optional<std::string> transcribe(const std::vector<int16_t>& samples,
                                          std::stop_token stop = {}) override;
    std::string model() const override;

  private:
    std::vector<std::string> argv_;
    std::filesystem::path workDir_;
    core::Clock& clock_;
    Limits limits_;
};

// Splits a command line into words as a shell would split plain words, with '...' and "..."
// quoting and backslash escapes, but without any expansion. Throws Error on an open quote.
std::vector<std::string> splitCommandLine(const std::string& text);

// Where to cut `samples` into utterances of at most `maxLength` samples: at the quietest
// 100 ms within the last 40 % of each span. Returns the end index of each utterance.
std::vector<size_t> utteranceBoundaries(const std::vector<int16_t>& samples, size_t maxLength);

// The ends of the stretches of speech between pauses of at least `minPause` samples (cut in the
// middle of each pause), judged against the recording's own noise floor.
std::vector<size_t> pauseBoundaries(const std::vector<int16_t>& samples, size_t minPause);

// A 16-bit mono WAV file image of `samples` at `rate`.
std::string wavBytes(const std::vector<int16_t>& samples, int rate);

}  // namespace sayloft::wendrel
