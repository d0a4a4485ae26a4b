#pragma once

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "core/json.hpp"
#include "service.hpp"
#include "store.hpp"
#include "test_support.hpp"
#include "transcription_workers.hpp"

namespace sayloft::test {

using core::Json;

// Runs a tool from an argv vector (no shell); returns its exit status. Output goes to /dev/null.
int runTool(const std::vector<std::string>& argv);
// The same, keeping standard output and error in `output`.
int runTool(const std::vector<std::string>& argv, std::string& output);

// espeak-ng speaks `sentence` into a WAV file (female voice, 140 words a minute).
void speak(const std::string& sentence, const std::filesystem::path& wav);
// The WAV encoded as AAC in an .m4a by the ffmpeg tool.
void encodeM4a(const std::filesystem::path& wav, const std::filesystem::path& m4a);
// A 16-bit mono WAV of `samples` at `rate`.
void writeWav(const std::filesystem::path& path, const std::vector<int16_t>& samples,
              int rate = 16000);

// Word error rate of `hypothesis` against `reference` (case and punctuation ignored).
double wordErrorRate(const std::string& reference, const std::string& hypothesis);

// A multipart upload as the client sends it: content_source, optional extras and the file.
httplib::MultipartFormDataItems uploadForm(const std::string& fileBytes,
                                           const std::string& filename,
                                           const std::string& contentSource = "voice_memo",
                                           const std::string& mime = "audio/wav");

// Pairs through the API with an auto-approving service and returns the device token.
std::string pairDevice(httplib::Client& client);

// The owner key header for /admin and /owner requests, read from a service's data folder.
httplib::Headers ownerHeaders(const std::filesystem::path& dataDir);

httplib::Headers bearer(const std::string& token);
Json parseJson(const httplib::Result& r);

// The service in this process on a loopback port, with a manual clock and no workers unless
// asked for.
class InProcessService {
  public:
    explicit InProcessService(wendrel::ServiceOptions options = {}, bool withWorkers = false);
    // With workers using recognisers from `factory`.
    InProcessService(wendrel::ServiceOptions options,
                     wendrel::TranscriptionWorkers::RecognizerFactory factory);
    static wendrel::ServiceOptions withAdmin() {
        wendrel::ServiceOptions o;
        o.admin = true;
        return o;
    }
    ~InProcessService();

    httplib::Client client() const;
    std::string token();  // pairs once, then reuses the token
    // Pairs a new device asking for `scopes` (approved through the store) and returns its token.
    std::string tokenWithScopes(const std::vector<std::string>& scopes);
    httplib::Headers ownerHeaders() const { return test::ownerHeaders(dirs_.root); }
    wendrel::Store& store() { return *store_; }
    core::ManualClock& clock() { return clock_; }
    wendrel::Service& service() { return *service_; }
    const wendrel::DataDir& dirs() const { return dirs_; }
    int port() const { return port_; }
    void wakeWorkers() { workers_->wake(); }

  private:
    void start(wendrel::ServiceOptions options,
               wendrel::TranscriptionWorkers::RecognizerFactory factory);

    TempDir dir_;
    wendrel::DataDir dirs_;
    core::ManualClock clock_;
    std::unique_ptr<wendrel::Store> store_;
    std::unique_ptr<wendrel::TranscriptionWorkers> workers_;
    std::unique_ptr<wendrel::Service> service_;
    std::thread thread_;
    int port_ = 0;
    std::string token_;
};

// The real wendrel-local binary on a free loopback port.
class ServerProcess {
  public:
    ServerProcess(std::filesystem::path dataDir, std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    void start();
    // Sends `signal` and waits for the exit; returns the exit status (or 128 + signal).
    int stop(int signal);
    httplib::Client client() const;
    int port() const { return port_; }
    std::string log() const;
    httplib::Headers ownerHeaders() const { return test::ownerHeaders(dataDir_); }

  private:
    std::filesystem::path dataDir_;
    std::vector<std::string> extraArgs_;
    int port_ = 0;
    pid_t pid_ = -1;
};

std::filesystem::path wendrelBinary();

// Polls a source's status with `client` until it is neither queued nor processing.
std::string waitForOutcome(httplib::Client& client, const std::string& token,
                           const std::string& cacheKey, double limitSeconds = 60);
// Uploads and resolves the new source's key through its task.
std::string uploadAndResolve(httplib::Client& client, const std::string& token,
                             const std::string& bytes, const std::string& filename);

}  // namespace sayloft::test
