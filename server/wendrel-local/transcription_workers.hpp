#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "recognizer.hpp"
#include "store.hpp"

namespace sayloft::wendrel {

// The first words of a transcript, as a title; nothing for an empty transcript.
std::optional<std::string> titleFromText(const std::string& text, size_t words = 6);
// The first sentence-sized run of words, with an ellipsis when the transcript goes on.
std::optional<std::string> summaryFromText(const std::string& text, size_t words = 30);
int64_t countWords(const std::string& text);

// Decodes and transcribes queued sources, one job at a time per worker thread. The queue is the
// store's: a job claimed here is "processing" until it completes or fails; a job interrupted by
// stop() goes back to "queued", and so does one left "processing" by a crash (on the next
// start, through Store::requeueInterrupted).
class TranscriptionWorkers {
  public:
    using RecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>()>;

    TranscriptionWorkers(Store& store, std::filesystem::path audioDir, core::Clock& clock,
                         RecognizerFactory factory, int workers);
    ~TranscriptionWorkers();

    void start();
    // Tells idle workers that a job may be waiting.
    void wake();
    // Interrupts running jobs (they return to the queue) and joins the workers.
    void stop();

  private:
    void run(std::stop_token stop);
    void process(Source job, std::unique_ptr<SpeechRecognizer>& recognizer, std::stop_token stop);

    Store& store_;
    std::filesystem::path audioDir_;
    core::Clock& clock_;
    RecognizerFactory factory_;
    int count_;
    std::mutex mutex_;
    std::condition_variable_any wakeup_;
    uint64_t generation_ = 0;
    std::vector<std::jthread> threads_;
};

}  // namespace sayloft::wendrel
