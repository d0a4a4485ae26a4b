#include "transcription_workers.hpp"

#include <sstream>

#include "audio_decoder.hpp"
#include "core/log.hpp"

namespace sayloft::wendrel {

namespace {
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string joinFirst(const std::vector<std::string>& w, size_t n) {
    std::string out;
    for (size_t i = 0; i < std::min(n, w.size()); ++i) {
        if (i) out += ' ';
        out += w[i];
    }
    return out;
}

double epoch(core::Clock& clock) {
    return std::chrono::duration<double>(clock.now().time_since_epoch()).count();
}
}  // namespace

std::optional<std::string> titleFromText(const std::string& text, size_t n) {
    auto w = words(text);
    if (w.empty()) return std::nullopt;
    std::string title = joinFirst(w, n);
    if (title[0] >= 'a' && title[0] <= 'z') title[0] = static_cast<char>(title[0] - 'a' + 'A');
    return title;
}

std::optional<std::string> summaryFromText(const std::string& text, size_t n) {
    auto w = words(text);
    if (w.empty()) return std::nullopt;
    std::string summary = joinFirst(w, n);
    if (summary[0] >= 'a' && summary[0] <= 'z') {
        summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
    }
    return w.size() > n ? summary + "…" : summary + ".";
}

int64_t countWords(const std::string& text) {
    return static_cast<int64_t>(words(text).size());
}

TranscriptionWorkers::TranscriptionWorkers(Store& store, std::filesystem::path audioDir,
                                           core::Clock& clock, RecognizerFactory factory,
                                           int workers)
    : store_(store),
      audioDir_(std::move(audioDir)),
      clock_(clock),
      factory_(std::move(factory)),
      count_(std::max(1, workers)) {}

TranscriptionWorkers::~TranscriptionWorkers() {
    stop();
}

void TranscriptionWorkers::start() {
    if (!threads_.empty()) return;
    for (int i = 0; i < count_; ++i) {
        threads_.emplace_back([this](std::stop_token stop) { run(stop); });
    }
}

void TranscriptionWorkers::wake() {
    {
        std::lock_guard lock(mutex_);
        ++generation_;
    }
    wakeup_.notify_all();
}

void TranscriptionWorkers::stop() {
    for (auto& t : threads_) t.request_stop();
    wakeup_.notify_all();
    threads_.clear();  // joins
}

void TranscriptionWorkers::run(std::stop_token stop) {
    std::unique_ptr<SpeechRecognizer> recognizer;
    while (!stop.stop_requested()) {
        uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            seen = generation_;
        }
        std::optional<Source> job;
        try {
            job = store_.claimNextJob();
        } catch (const std::exception& e) {
            core::log("wendrel-local", "cannot read the queue: {}", e.what());
        }
        if (job) {
            process(std::move(*job), recognizer, stop);
            continue;
        }
        std::unique_lock lock(mutex_);
        wakeup_.wait(lock, stop, [&] { return generation_ != seen; });
    }
}

void TranscriptionWorkers::process(Source job, std::unique_ptr<SpeechRecognizer>& recognizer,
                                   std::stop_token stop) {
    try {
        core::log("wendrel-local", "transcribing {} ({})", job.cacheKey, job.originalFilename);
        std::optional<std::vector<int16_t>> samples;
        try {
            samples = decodeForSpeech(audioDir_ / job.audioFile, stop);
        } catch (const AudioError& e) {
            store_.failJob(job.seq, e.what(), epoch(clock_));
            core::log("wendrel-local", "transcription of {} failed: {}", job.cacheKey, e.what());
            return;
        }
        if (!samples) {
            store_.requeueJob(job.seq);
            return;
        }
        if (!recognizer) recognizer = factory_();
        auto text = recognizer->transcribe(*samples, stop);
        if (!text) {
            store_.requeueJob(job.seq);
            return;
        }
        Transcript t;
        t.text = *text;
        t.wordCount = countWords(t.text);
        t.duration = static_cast<double>(samples->size()) / kSpeechSampleRate;
        t.model = recognizer->model();
        t.title = titleFromText(t.text);
        t.summary = summaryFromText(t.text);
        store_.completeJob(job.seq, t, epoch(clock_));
        core::log("wendrel-local", "transcribed {}: {} words from {:.1f} s of audio", job.cacheKey,
                  t.wordCount, t.duration);
    } catch (const std::exception& e) {
        core::log("wendrel-local", "transcription of {} failed: {}", job.cacheKey, e.what());
        try {
            store_.failJob(job.seq, e.what(), epoch(clock_));
        } catch (const std::exception&) {
        }
    }
}

}  // namespace sayloft::wendrel
