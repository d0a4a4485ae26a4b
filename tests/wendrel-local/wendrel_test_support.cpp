#include "wendrel_test_support.hpp"

#include "crypto.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace sayloft::test {

namespace fs = std::filesystem;

namespace {
int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::vector<std::string> normalisedWords(const std::string& text) {
    std::vector<std::string> out;
    std::string w;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
            w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!w.empty()) {
            out.push_back(w);
            w.clear();
        }
    }
    return out;
}
}  // namespace

int runTool(const std::vector<std::string>& argv) {
    return run(argv).exitCode;
}

int runTool(const std::vector<std::string>& argv, std::string& output) {
    auto r = run(argv);
    output = r.out + r.err;
    return r.exitCode;
}

void speak(const std::string& sentence, const fs::path& wav) {
    ASSERT_EQ(runTool({"espeak-ng", "-v", "en-us+f2", "-s", "140", "-w", wav.string(), sentence}),
              0);
}

void encodeM4a(const fs::path& wav, const fs::path& m4a) {
    ASSERT_EQ(runTool({"ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", wav.string(), "-c:a",
                       "aac", "-b:a", "96k", m4a.string()}),
              0);
}

void writeWav(const fs::path& path, const std::vector<int16_t>& samples, int rate) {
    auto u32 = [](std::string& s, uint32_t v) { s.append(reinterpret_cast<char*>(&v), 4); };
    auto u16 = [](std::string& s, uint16_t v) { s.append(reinterpret_cast<char*>(&v), 2); };
    uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
    std::string b = "RIFF";
    u32(b, 36 + dataBytes);
    b += "WAVEfmt ";
    u32(b, 16);
    u16(b, 1);
    u16(b, 1);
    u32(b, rate);
    u32(b, rate * 2);
    u16(b, 2);
    u16(b, 16);
    b += "data";
    u32(b, dataBytes);
    b.append(reinterpret_cast<const char*>(samples.data()), dataBytes);
    writeFile(path, b);
}

double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
    auto r = normalisedWords(reference);
    auto h = normalisedWords(hypothesis);
    std::vector<size_t> prev(h.size() + 1), cur(h.size() + 1);
    for (size_t j = 0; j <= h.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= r.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= h.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r[i - 1] != h[j - 1])});
        }
        std::swap(prev, cur);
    }
    return r.empty() ? 0.0 : static_cast<double>(prev[h.size()]) / r.size();
}

httplib::MultipartFormDataItems uploadForm(const std::string& fileBytes,
                                           const std::string& filename,
                                           const std::string& contentSource,
                                           const std::string& mime) {
    return {{"content_source", contentSource, "", ""},
            {"tags", "voice-memo,sayloft-mac", "", ""},
            {"content_source_metadata", R"({"sayloft_id":"test"})", "", ""},
            {"file", fileBytes, filename, mime}};
}

httplib::Headers bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
}

Json parseJson(const httplib::Result& r) {
    if (!r) return Json();
    return Json::parse(r->body, nullptr, false);
}

std::string pairDevice(httplib::Client& client) {
    auto init = parseJson(client.Post("/api/v1/auth/devices/init",
                                      R"x({"client_type":"sayloft-mac","name":"test (sayloft)",)x"
                                      R"("scopes":["kb:read","kb:write"]})",
                                      "application/json"));
    Json poll{{"device_code", init.value("device_code", "")}};
    auto answer =
        parseJson(client.Post("/api/v1/auth/devices/token", poll.dump(), "application/json"));
    return answer.value("token", "");
}

std::string waitForOutcome(httplib::Client& client, const std::string& token,
                           const std::string& cacheKey, double limitSeconds) {
    auto until = std::chrono::steady_clock::now() + core::seconds(limitSeconds);
    std::string status;
    while (std::chrono::steady_clock::now() < until) {
        auto j = parseJson(client.Get("/api/v1/sources/" + cacheKey + "/status", bearer(token)));
        if (j.is_object()) status = j["status"]["transcription"].value("status", "");
        if (status == "completed" || status == "failed") return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "timed out while " + status;
}

std::string uploadAndResolve(httplib::Client& client, const std::string& token,
                             const std::string& bytes, const std::string& filename) {
    auto up = parseJson(client.Post("/api/v1/sources", bearer(token), uploadForm(bytes, filename)));
    if (!up.is_object() || !up.contains("task_id")) return "";
    auto task = parseJson(
        client.Get("/api/v1/sources/tasks/" + up["task_id"].get<std::string>(), bearer(token)));
    return task.value("cache_key", "");
}

// ---- InProcessService

httplib::Headers ownerHeaders(const fs::path& dataDir) {
    return {{wendrel::kOwnerKeyHeader, wendrel::DataDir(dataDir).ownerKey()}};
}

InProcessService::InProcessService(wendrel::ServiceOptions options, bool withWorkers)
    : dirs_(dir_.path() / "data") {
    wendrel::TranscriptionWorkers::RecognizerFactory factory;
    if (withWorkers) factory = [] { return std::make_unique<wendrel::PocketSphinxRecognizer>(); };
    start(std::move(options), std::move(factory));
}

InProcessService::InProcessService(wendrel::ServiceOptions options,
                                   wendrel::TranscriptionWorkers::RecognizerFactory factory)
    : dirs_(dir_.path() / "data") {
    start(std::move(options), std::move(factory));
}

void InProcessService::start(wendrel::ServiceOptions options,
                             wendrel::TranscriptionWorkers::RecognizerFactory factory) {
    options.dataDir = dirs_.root;
    dirs_.create();
    store_ = std::make_unique<wendrel::Store>(dirs_.database());
    if (factory) {
        workers_ = std::make_unique<wendrel::TranscriptionWorkers>(*store_, dirs_.audio(), clock_,
                                                                   std::move(factory), 1);
        workers_->start();
    }
    service_ = std::make_unique<wendrel::Service>(options, *store_, clock_, [this] {
        if (workers_) workers_->wake();
    });
    port_ = service_->bind("127.0.0.1", 0);
    thread_ = std::thread([this] { service_->run(); });
}

InProcessService::~InProcessService() {
    service_->stop();
    thread_.join();
    if (workers_) workers_->stop();
}

httplib::Client InProcessService::client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(30);
    return c;
}

std::string InProcessService::token() {
    if (token_.empty()) token_ = tokenWithScopes({"kb:read", "kb:write"});
    return token_;
}

std::string InProcessService::tokenWithScopes(const std::vector<std::string>& scopes) {
    auto c = client();
    auto init = parseJson(
        c.Post("/api/v1/auth/devices/init", Json{{"scopes", scopes}}.dump(), "application/json"));
    auto hash = wendrel::sha256Hex(init.value("device_code", ""));
    store_->decidePairing(hash, true);
    Json poll{{"device_code", init.value("device_code", "")}};
    return parseJson(c.Post("/api/v1/auth/devices/token", poll.dump(), "application/json"))
        .value("token", "");
}

// ---- ServerProcess

fs::path wendrelBinary() {
    const char* dir = getenv("SAYLOFT_BINARY_DIR");
    // Run by hand, the test binary sits in <build>/tests/wendrel-local.
    fs::path build =
        dir ? fs::path(dir) : fs::read_symlink("/proc/self/exe").parent_path() / "../..";
    return build / "server" / "wendrel-local" / "wendrel-local";
}

ServerProcess::ServerProcess(fs::path dataDir, std::vector<std::string> extraArgs)
    : dataDir_(std::move(dataDir)), extraArgs_(std::move(extraArgs)) {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) stop(SIGKILL);
}

void ServerProcess::start() {
    fs::create_directories(dataDir_);
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = freePort();
        std::vector<std::string> argv{wendrelBinary().string(), "--listen",
                                      "127.0.0.1:" + std::to_string(port_), "--data",
                                      dataDir_.string()};
        argv.insert(argv.end(), extraArgs_.begin(), extraArgs_.end());
        pid_ = spawnBackground(argv, dataDir_ / "server.log");
        auto c = client();
        for (int i = 0; i < 400; ++i) {
            if (auto r = c.Get("/api/v1/health"); r && r->status == 200) return;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;  // the port was taken meanwhile: try another
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (pid_ > 0) stop(SIGKILL);
    }
    throw std::runtime_error("wendrel-local did not start:\n" + log());
}

int ServerProcess::stop(int signal) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int code = waitExit(pid_);
    pid_ = -1;
    return code;
}

httplib::Client ServerProcess::client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_connection_timeout(2);
    c.set_read_timeout(30);
    return c;
}

std::string ServerProcess::log() const {
    return readFile(dataDir_ / "server.log");
}

}  // namespace sayloft::test
