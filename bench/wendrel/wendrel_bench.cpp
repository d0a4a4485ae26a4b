// wendrel_bench: how fast the local service transcribes, and how status polls fare while it does.
//
//   1. Real-time factor: seconds of speech transcribed per CPU second (decode + recognition, on
//      this thread, model loading excluded).
//   2. Latency of rounds of 50 concurrent status polls over loopback, first with the service
//      idle (the baseline), then while a transcription runs; reported as p50/p99 and as ratios
//      of the busy figures to the baseline.
//   3. Latency of /health, idle (the baseline) and with 50 slow connections open that each send
//      a byte of their request line every 200 ms; as p50/p99 and their ratio to the baseline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "audio_decoder.hpp"
#include "core/log.hpp"
#include "core/process.hpp"
#include "crypto.hpp"
#include "recognizer.hpp"
#include "service.hpp"
#include "store.hpp"
#include "transcription_workers.hpp"

namespace fs = std::filesystem;
using namespace sayloft;
using namespace sayloft::wendrel;

namespace {
constexpr int kConcurrentPolls = 50;
constexpr int kRounds = 20;

const char* kSpeech =
    "I would like to order two large pizzas and a bottle of water for dinner tonight. "
    "Please call me back tomorrow morning about the meeting with the new customer. "
    "The weather today is sunny and warm so we will walk to the park after lunch. "
    "We should finish the report before Friday and send it to the whole team.";

bool run(std::vector<std::string> argv) {
    sayloft::core::ProcessOptions options;
    options.argv = std::move(argv);
    options.stdoutTo = sayloft::core::ProcessOutput::discarded();
    options.stderrTo = sayloft::core::ProcessOutput::discarded();
    try {
        return sayloft::core::runProcess(options).succeeded();
    } catch (const std::exception&) {
        return false;
    }
}

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One round: 50 threads each send one status poll at the same moment; latencies in ms.
std::vector<double> pollRound(int port, const std::string& token, const std::string& key) {
    std::vector<double> ms(kConcurrentPolls, -1);
    std::barrier start(kConcurrentPolls);
    std::vector<std::thread> threads;
    for (int i = 0; i < kConcurrentPolls; ++i) {
        threads.emplace_back([&, i] {
            httplib::Client c("127.0.0.1", port);
            start.arrive_and_wait();
            auto t0 = std::chrono::steady_clock::now();
            auto r = c.Get(("/api/v1/sources/" + key + "/status").c_str(),
                           {{"Authorization", "Bearer " + token}});
            auto t1 = std::chrono::steady_clock::now();
            if (r && r->status == 200) {
                ms[i] = std::chrono::duration<double, std::milli>(t1 - t0).count();
            }
        });
    }
    for (auto& t : threads) t.join();
    std::erase(ms, -1);
    return ms;
}

// 30 sequential /health requests; latencies in ms.
std::vector<double> healthRound(int port) {
    std::vector<double> ms;
    httplib::Client c("127.0.0.1", port);
    c.set_keep_alive(false);
    for (int i = 0; i < 30; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto r = c.Get("/api/v1/health");
        if (r && r->status == 200) {
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count());
        }
    }
    return ms;
}

int openSlowConnection(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    send(fd, "GET /api/v1/health HTTP/1.1\r\n", 29, MSG_NOSIGNAL);
    return fd;
}

std::string statusOf(int port, const std::string& token, const std::string& key) {
    httplib::Client c("127.0.0.1", port);
    auto r = c.Get(("/api/v1/sources/" + key + "/status").c_str(),
                   {{"Authorization", "Bearer " + token}});
    if (!r) return "";
    return core::Json::parse(r->body)["status"]["transcription"].value("status", "");
}
}  // namespace

int main() {
    core::LogConfig::setStderr(false);
    char pattern[] = "/tmp/wendrel-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    fs::path tmp = pattern;
    fs::path wav = tmp / "speech.wav";
    if (!run({"espeak-ng", "-v", "en-us+f2", "-s", "140", "-w", wav.string(), kSpeech})) {
        std::cerr << "wendrel_bench: espeak-ng is needed to make the speech\n";
        return 1;
    }

    // 1. Real-time factor.
    PocketSphinxRecognizer recognizer;
    double cpu0 = threadCpuSeconds();
    auto samples = decodeForSpeech(wav);
    auto text = recognizer.transcribe(*samples);
    double cpu = threadCpuSeconds() - cpu0;
    double audio = static_cast<double>(samples->size()) / kSpeechSampleRate;
    std::printf(
        "transcription: %.1f s of audio in %.2f CPU s -> real-time factor %.2f "
        "(audio s per CPU s); %lld words\n",
        audio, cpu, audio / cpu, static_cast<long long>(countWords(*text)));

    // 2. Concurrent status polls, idle and while transcribing.
    DataDir dirs(tmp / "data");
    dirs.create();
    Store store(dirs.database());
    TranscriptionWorkers workers(
        store, dirs.audio(), core::systemClock(),
        [] { return std::make_unique<PocketSphinxRecognizer>(); }, 1);
    ServiceOptions options;
    options.dataDir = dirs.root;
    options.autoApprove = true;
    Service service(options, store, core::systemClock(), [&] { workers.wake(); });
    int port = service.bind("127.0.0.1", 0);
    std::thread server([&] { service.run(); });
    workers.start();

    httplib::Client c("127.0.0.1", port);
    auto init =
        core::Json::parse(c.Post("/api/v1/auth/devices/init", "{}", "application/json")->body);
    auto tok = core::Json::parse(c.Post("/api/v1/auth/devices/token",
                                        core::Json{{"device_code", init["device_code"]}}.dump(),
                                        "application/json")
                                     ->body);
    std::string token = tok["token"];
    auto upload = [&](const std::string& bytes, const std::string& name) {
        httplib::MultipartFormDataItems form{{"content_source", "voice_memo", "", ""},
                                             {"file", bytes, name, "audio/wav"}};
        auto up = core::Json::parse(
            c.Post("/api/v1/sources", {{"Authorization", "Bearer " + token}}, form)->body);
        auto task = core::Json::parse(
            c.Get(("/api/v1/sources/tasks/" + up["task_id"].get<std::string>()).c_str(),
                  {{"Authorization", "Bearer " + token}})
                ->body);
        return task["cache_key"].get<std::string>();
    };
    std::string bytes = readAll(wav);
    std::string key = upload(bytes, "first.wav");
    while (statusOf(port, token, key) != "completed") {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::vector<double> idle;
    for (int r = 0; r < kRounds; ++r) {
        auto round = pollRound(port, token, key);
        idle.insert(idle.end(), round.begin(), round.end());
    }

    // A longer recording (the speech twice, so different bytes) keeps the worker busy.
    run({"sox", wav.string(), wav.string(), (tmp / "long.wav").string()});
    std::string busyKey = upload(readAll(tmp / "long.wav"), "long.wav");
    while (statusOf(port, token, busyKey) != "processing") {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> busy;
    int busyRounds = 0;
    for (int r = 0; r < kRounds; ++r) {
        auto round = pollRound(port, token, key);
        if (statusOf(port, token, busyKey) != "processing") break;
        busy.insert(busy.end(), round.begin(), round.end());
        ++busyRounds;
    }

    // 3. /health with slow connections open.
    auto healthIdle = healthRound(port);
    std::vector<int> slow;
    for (int i = 0; i < kConcurrentPolls; ++i) slow.push_back(openSlowConnection(port));
    std::atomic<bool> dribbling{true};
    std::thread dribbler([&] {
        while (dribbling) {
            for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    auto healthSlow = healthRound(port);
    dribbling = false;
    dribbler.join();
    for (int fd : slow) close(fd);

    service.stop();
    server.join();
    workers.stop();
    fs::remove_all(tmp);

    if (busy.empty() || idle.empty()) {
        std::cerr << "wendrel_bench: no complete round while transcribing\n";
        return 1;
    }
    double i50 = percentile(idle, 0.5), i99 = percentile(idle, 0.99);
    double b50 = percentile(busy, 0.5), b99 = percentile(busy, 0.99);
    std::printf(
        "status polls, %d concurrent, idle (baseline): p50 %.2f ms  p99 %.2f ms  (%zu polls)\n",
        kConcurrentPolls, i50, i99, idle.size());
    std::printf(
        "status polls, %d concurrent, transcribing:    p50 %.2f ms  p99 %.2f ms  (%zu polls, "
        "%d rounds)\n",
        kConcurrentPolls, b50, b99, busy.size(), busyRounds);
    std::printf("ratio transcribing/idle: p50 %.2fx  p99 %.2fx\n", b50 / i50, b99 / i99);
    if (!healthIdle.empty() && !healthSlow.empty()) {
        double h50 = percentile(healthIdle, 0.5), h99 = percentile(healthIdle, 0.99);
        double s50 = percentile(healthSlow, 0.5), s99 = percentile(healthSlow, 0.99);
        std::printf("/health idle (baseline): p50 %.2f ms  p99 %.2f ms\n", h50, h99);
        std::printf(
            "/health with %d slow connections: p50 %.2f ms  p99 %.2f ms  (%zu of 30 "
            "answered)\n",
            kConcurrentPolls, s50, s99, healthSlow.size());
        std::printf("ratio slow/idle: p50 %.2fx  p99 %.2fx\n", s50 / h50, s99 / h99);
    } else {
        std::printf("/health: no answers with %d slow connections open\n", kConcurrentPolls);
    }
    return 0;
}
