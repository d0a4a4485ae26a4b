#include "service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <set>
#include <stop_token>
#include <thread>

#include "audio_decoder.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "crypto.hpp"
#include "sayloft/version.hpp"

namespace sayloft::wendrel {

namespace fs = std::filesystem;
using core::Json;
using httplib::Request;
using httplib::Response;

namespace {
constexpr size_t kMaxFieldBytes = 64 * 1024;
// Bodies of requests other than uploads.
constexpr int64_t kMaxBodyBytes = 64 * 1024;
constexpr const char* kSessionCookie = "wl_session";
constexpr int kMaxListLimit = 1000;
constexpr int kDefaultListLimit = 100;
// A device's last use is written at most this often (seconds).
constexpr double kTouchInterval = 60;

double epoch(core::TimePoint t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

void sendJson(Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void sendError(Response& res, int status, const std::string& code, const std::string& message) {
    sendJson(res, status, Json{{"error", code}, {"message", message}});
}

std::string reasonPhrase(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 402:
            return "payment required";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 408:
            return "request timeout";
        case 411:
            return "length required";
        case 409:
            return "conflict";
        case 413:
            return "payload too large";
        case 415:
            return "unsupported media type";
        case 421:
            return "misdirected request";
        case 422:
            return "unprocessable content";
        case 429:
            return "too many requests";
        case 500:
            return "internal server error";
        case 502:
            return "bad gateway";
        case 503:
            return "service unavailable";
        default:
            return "error " + std::to_string(status);
    }
}

std::string htmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool isLoopback(const std::string& addr) {
    return addr == "127.0.0.1" || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0 ||
           addr.rfind("127.", 0) == 0;
}

bool isWildcard(const std::string& host) {
    return host.empty() || host == "0.0.0.0" || host == "::";
}

bool isIpLiteral(const std::string& host) {
    in6_addr v6{};
    in_addr v4{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

std::string lowerCase(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "application/json; charset=utf-8" -> "application/json".
std::string mediaType(const std::string& contentType) {
    auto semi = contentType.find(';');
    return lowerCase(std::string(core::trimWhitespace(contentType.substr(0, semi))));
}

bool equalInConstantTime(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::optional<std::string> cookie(const Request& req, const std::string& name) {
    auto header = req.get_header_value("Cookie");
    size_t start = 0;
    while (start < header.size()) {
        auto end = header.find(';', start);
        if (end == std::string::npos) end = header.size();
        auto pair = std::string(core::trimWhitespace(header.substr(start, end - start)));
        auto eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
        start = end + 1;
    }
    return std::nullopt;
}

// Routes whose bodies are JSON.
bool isJsonRoute(const std::string& path) {
    return path.rfind("/api/v1/auth/", 0) == 0 || path.rfind("/admin/", 0) == 0 ||
           path.rfind("/owner/", 0) == 0;
}

void fsyncPath(const fs::path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// "ABCDEFGH", "abcd efgh" and "ABCD-EFGH" all name the code "ABCD-EFGH".
std::string normaliseUserCode(const std::string& raw) {
    std::string s;
    for (char c : raw) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (s.size() == 8) s.insert(4, "-");
    return s;
}

// A safe extension for the stored audio file: the upload's own when it is short and plain.
std::string storedExtension(const std::string& filename) {
    auto ext = fs::path(filename).extension().string();
    if (ext.size() < 2 || ext.size() > 6) return ".bin";
    std::string out = ".";
    for (char c : ext.substr(1)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return ".bin";
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::vector<std::string> splitTags(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos) comma = s.size();
        auto tag = s.substr(start, comma - start);
        auto b = tag.find_first_not_of(" \t");
        auto e = tag.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(tag.substr(b, e - b + 1));
        start = comma + 1;
    }
    return out;
}

// The multipart upload as it streams in: fields in memory, the file part straight to a
// temporary file in the incoming folder (removed unless taken).
class UploadReceiver {
  public:
    UploadReceiver(fs::path incoming, int64_t maxBytes)
        : path_(incoming / ("upload-" + randomHex(12) + ".part")), maxBytes_(maxBytes) {}
    ~UploadReceiver() {
        closeFile();
        if (!taken_) {
            std::error_code ec;
            fs::remove(path_, ec);
        }
    }

    bool beginPart(const httplib::MultipartFormData& part) {
        current_ = part.name;
        if (part.name == "file") {
            if (fd_ >= 0 || sawFile_) return fail("the form has more than one file part");
            sawFile_ = true;
            filename_ = fs::path(part.filename).filename().string();
            contentType_ = part.content_type;
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ < 0) return fail("cannot store the upload: " + std::string(strerror(errno)));
        } else {
            fields_[part.name].clear();
        }
        return true;
    }

    bool data(const char* p, size_t n) {
        if (current_ == "file") {
            bytes_ += static_cast<int64_t>(n);
            if (bytes_ > maxBytes_) {
                tooLarge_ = true;
                return false;
            }
            hash_.update(p, n);
            while (n > 0) {
                ssize_t w = ::write(fd_, p, n);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return fail("cannot store the upload: " + std::string(strerror(errno)));
                p += w;
                n -= static_cast<size_t>(w);
            }
            return true;
        }
        auto& f = fields_[current_];
        if (f.size() + n > kMaxFieldBytes)
            return fail("the field \"" + current_ + "\" is too long");
        f.append(p, n);
        return true;
    }

    // Flushes the file to disk; false on failure.
    bool finishFile() {
        bool ok = fd_ < 0 || ::fsync(fd_) == 0;
        closeFile();
        return ok;
    }

    std::optional<std::string> field(const std::string& name) const {
        auto it = fields_.find(name);
        if (it == fields_.end()) return std::nullopt;
        return it->second;
    }

    // Moves the file to `target` (same file system) and keeps it there.
    void moveTo(const fs::path& target) {
        fs::rename(path_, target);
        taken_ = true;
    }

    const fs::path& path() const { return path_; }
    bool sawFile() const { return sawFile_; }
    int64_t bytes() const { return bytes_; }
    bool tooLarge() const { return tooLarge_; }
    const std::optional<std::string>& error() const { return error_; }
    const std::string& filename() const { return filename_; }
    const std::string& contentType() const { return contentType_; }
    std::string sha256() { return hash_.finishHex(); }

  private:
    bool fail(std::string why) {
        if (!error_) error_ = std::move(why);
        return false;
    }
    void closeFile() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    fs::path path_;
    int64_t maxBytes_;
    int fd_ = -1;
    bool sawFile_ = false;
    bool taken_ = false;
    bool tooLarge_ = false;
    int64_t bytes_ = 0;
    std::string current_;
    std::string filename_;
    std::string contentType_;
    std::map<std::string, std::string> fields_;
    std::optional<std::string> error_;
    Sha256 hash_;
};

Json stageJson(const Source& s) {
    Json stage{{"status", s.status}};
    core::putOptional(stage, "model", s.model);
    core::putOptional(stage, "duration", s.duration);
    core::putOptional(stage, "word_count", s.wordCount);
    core::putOptional(stage, "error", s.error);
    return stage;
}

Json listEntryJson(const Source& s) {
    Json j{{"cache_key", s.cacheKey},   {"timestamp", s.createdAt},
           {"created_at", s.createdAt}, {"status", s.status},
           {"is_deleted", s.isDeleted}, {"original_filename", s.originalFilename}};
    core::putOptional(j, "llm_title", s.llmTitle);
    core::putOptional(j, "llm_summary", s.llmSummary);
    core::putOptional(j, "model", s.model);
    core::putOptional(j, "duration", s.duration);
    return j;
}

Json resultJson(const Source& s) {
    Json r{{"original_filename", s.originalFilename}, {"status", s.status},
           {"content_source", s.contentSource},       {"tags", s.tags},
           {"content_source_metadata", s.metadata},   {"created_at", s.createdAt}};
    core::putOptional(r, "text", s.text);
    core::putOptional(r, "language", s.language ? s.language : std::optional<std::string>("en"));
    core::putOptional(r, "duration", s.duration);
    core::putOptional(r, "word_count", s.wordCount);
    core::putOptional(r, "model", s.model);
    core::putOptional(r, "llm_title", s.llmTitle);
    core::putOptional(r, "llm_summary", s.llmSummary);
    core::putOptional(r, "error", s.error);
    return r;
}

const char* kPageStyle =
    "body{font-family:sans-serif;max-width:32em;margin:4em auto;padding:0 1em;color:#222}"
    ".code{font-size:2em;letter-spacing:.15em;font-family:monospace;padding:.3em .6em;"
    "border:1px solid #aaa;display:inline-block}button{font-size:1.1em;margin-right:1em;"
    "padding:.4em 1.2em}";

std::string page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + htmlEscape(title) +
           "</title><style>" + kPageStyle + "</style></head><body><h1>" + htmlEscape(title) +
           "</h1>" + body + "</body></html>";
}
}  // namespace

// ---- DataDir

DataDir::DataDir(fs::path r) : root(std::move(r)) {}

void DataDir::create() const {
    // Folders made here are the owner's alone; an existing folder keeps its permissions.
    for (const auto& dir : {root, audio(), incoming(), work()}) {
        if (fs::create_directories(dir)) {
            fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
        }
    }
    if (!fs::exists(ownerKeyFile())) {
        core::writeAtomically(ownerKeyFile(), randomHex(32) + "\n", 0600);
    }
}

std::string DataDir::ownerKey() const {
    auto text = core::readFile(ownerKeyFile());
    if (!text) throw Error("cannot read the owner key " + ownerKeyFile().string());
    auto key = std::string(core::trimWhitespace(*text));
    if (key.size() < 32) throw Error("the owner key " + ownerKeyFile().string() + " is damaged");
    return key;
}

int DataDir::removeLeftovers(Store& store) const {
    int removed = 0;
    std::error_code ec;
    for (const auto& dir : {incoming(), work()}) {
        for (auto& e : fs::directory_iterator(dir, ec)) {
            if (fs::remove(e.path(), ec)) ++removed;
        }
    }
    auto known = store.audioFiles();
    std::set<std::string> referenced(known.begin(), known.end());
    for (auto& e : fs::directory_iterator(audio(), ec)) {
        if (!referenced.count(e.path().filename().string()) && fs::remove(e.path(), ec)) {
            ++removed;
        }
    }
    return removed;
}

// ---- Service

struct Service::Impl {
    Impl(ServiceOptions o, Store& s, core::Clock& c, std::function<void()> n)
        : options(std::move(o)),
          dirs(options.dataDir),
          store(s),
          clock(c),
          onNewJob(std::move(n)),
          server(options.limits) {
        if (!options.ownerUid) options.ownerUid = ::getuid();
        if (!options.peerUid) {
            options.peerUid = [](const TcpConnection& c) { return tcpPeerUid(c); };
        }
    }

    struct Session {
        std::string csrf;
        double expiresAt = 0;
    };

    ServiceOptions options;
    DataDir dirs;
    Store& store;
    core::Clock& clock;
    std::function<void()> onNewJob;
    GuardedServer server;
    FaultTable faults;
    std::stop_source stopping;
    std::string ownerKey;
    std::string host;
    int port = 0;
    std::mutex runMutex;
    bool running = false;
    bool stopRequested = false;
    std::atomic<bool> finished{false};
    std::mutex sessionsMutex;
    std::map<std::string, Session> sessions;  // by the cookie's SHA-256

    double now() const { return epoch(clock.now()); }

    void routes();
    void logRequest(const Request& req, const Response& res);
    // Host, Origin, media type and size checks made before any route runs.
    httplib::Server::HandlerResponse screen(const Request& req, Response& res);
    bool hostAllowed(const std::string& hostHeader) const;
    std::string baseUrl() const;

    // Answers 401 (or 403 without `scope`) and returns nothing unless the request carries a
    // live device token that grants `scope`.
    std::optional<Device> authenticate(const Request& req, Response& res, const std::string& scope);
    // Answers with the next queued fault of `route`, if any; true when the answer is made.
    bool injectFault(const std::string& route, Response& res);
    // Authentication, then faults, then `handler`; exceptions become a JSON 500.
    void api(const std::string& route, const Request& req, Response& res,
             const std::function<void(Response&)>& handler);
    // A 500 that names a request id; the detail only goes to the log.
    void internalError(const Request& req, Response& res, const std::string& detail);

    bool ownerKeyMatches(const std::string& key) const {
        return !key.empty() && equalInConstantTime(key, ownerKey);
    }
    // The approval page's session, when the request carries a live one.
    std::optional<Session> session(const Request& req);
    // Why a pairing request may not be approved automatically; nothing when it may.
    std::optional<std::string> autoApproveRefusal(const Request& req);
    void handleSession(const Request& req, Response& res);
    void handleOwnerDecision(const Request& req, Response& res);

    void handleInit(const Request& req, Response& res);
    void handleToken(const Request& req, Response& res);
    void handleUpload(const Request& req, Response& res, const httplib::ContentReader& reader);
    void handleList(const Request& req, Response& res);
    void handleDevicePage(const Request& req, Response& res);
    void handleDeviceDecision(const Request& req, Response& res);
    bool adminAllowed(const Request& req, Response& res);
};

Service::Service(ServiceOptions options, Store& store, core::Clock& clock,
                 std::function<void()> onNewJob)
    : impl_(std::make_unique<Impl>(std::move(options), store, clock, std::move(onNewJob))) {
    impl_->dirs.create();
    impl_->ownerKey = impl_->dirs.ownerKey();
    impl_->routes();
}

Service::~Service() {
    stop();
}

FaultTable& Service::faults() {
    return impl_->faults;
}

int Service::bind(const std::string& host, int port) {
    impl_->host = host;
    // The library's default shares the port with other processes (SO_REUSEPORT), which would
    // let a second service answer half the requests: only allow a quick restart. It also
    // listens with a backlog of 5, so bursts of new connections would wait for SYN retries (a
    // second or more); the socket is listened on again with a deeper queue.
    int listening = -1;
    impl_->server.set_socket_options([&listening](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    if (port == 0) {
        port = impl_->server.bind_to_any_port(host);
        if (port < 0) throw Error("cannot listen on " + host);
    } else if (!impl_->server.bind_to_port(host, port)) {
        throw Error(fmt::format("cannot listen on {}:{}", host, port));
    }
    if (listening >= 0) ::listen(listening, SOMAXCONN);
    impl_->port = port;
    return port;
}

std::string Service::baseUrl() const {
    return impl_->baseUrl();
}

std::string Service::Impl::baseUrl() const {
    std::string h = isWildcard(host) ? "127.0.0.1" : host;
    if (h.find(':') != std::string::npos) h = "[" + h + "]";
    return fmt::format("http://{}:{}", h, port);
}

bool Service::Impl::hostAllowed(const std::string& header) const {
    if (header.empty()) return false;
    std::string name, portText;
    if (header[0] == '[') {
        auto close = header.find(']');
        if (close == std::string::npos) return false;
        name = header.substr(1, close - 1);
        auto rest = header.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            portText = rest.substr(1);
        }
    } else {
        auto colon = header.find(':');
        if (colon != header.rfind(':')) return false;
        name = header.substr(0, colon);
        if (colon != std::string::npos) portText = header.substr(colon + 1);
    }
    name = lowerCase(name);
    int requested = 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        requested = std::stoi(portText);
    }
    if (requested != port) return false;
    std::string listening = lowerCase(host);
    if (name == listening) return true;
    bool loopbackName = name == "localhost" || (isIpLiteral(name) && isLoopback(name));
    if ((isLoopback(listening) || listening == "localhost" || isWildcard(listening)) &&
        loopbackName) {
        return true;
    }
    // Listening everywhere, any address of this machine may be named, but never a host name
    // (which a web page could point here).
    return isWildcard(listening) && isIpLiteral(name);
}

httplib::Server::HandlerResponse Service::Impl::screen(const Request& req, Response& res) {
    bool upload = req.method == "POST" && req.path == "/api/v1/sources";
    GuardedServer::headersComplete(upload);
    // The body of a refused request is not read: the connection closes after the answer.
    auto refuse = [&](int status, const std::string& code, const std::string& message) {
        res.set_header("Connection", "close");
        sendError(res, status, code, message);
        return httplib::Server::HandlerResponse::Handled;
    };
    if (!hostAllowed(req.get_header_value("Host"))) {
        return refuse(421, "misdirected_request",
                      "this service only answers requests addressed to " + baseUrl());
    }
    bool changes = req.method != "GET" && req.method != "HEAD" && req.method != "OPTIONS";
    if (changes) {
        bool foreign = req.get_header_value("Sec-Fetch-Site") == "cross-site";
        if (req.has_header("Origin")) {
            foreign = foreign || lowerCase(req.get_header_value("Origin")) !=
                                     "http://" + lowerCase(req.get_header_value("Host"));
        }
        if (foreign) {
            return refuse(403, "forbidden_origin", "requests from other web sites are refused");
        }
    }
    if (!upload) {
        if (req.has_header("Transfer-Encoding")) {
            return refuse(411, "length_required", "send the body with a Content-Length");
        }
        if (req.has_header("Content-Length")) {
            auto text = req.get_header_value("Content-Length");
            if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos ||
                std::stoll(text) > kMaxBodyBytes) {
                return refuse(413, "too_large",
                              fmt::format("request bodies are limited to {} bytes", kMaxBodyBytes));
            }
        }
    }
    bool hasBody =
        (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0") ||
        req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (isJsonRoute(req.path) && hasBody &&
        mediaType(req.get_header_value("Content-Type")) != "application/json") {
        return refuse(415, "unsupported_media_type", "the body must be application/json");
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void Service::Impl::internalError(const Request& req, Response& res, const std::string& detail) {
    auto id = randomHex(6);
    core::log("wendrel-local", "request {}: {} {} failed: {}", id, req.method, req.path, detail);
    sendJson(res, 500,
             Json{{"error", "internal_error"},
                  {"message", "internal error (request " + id + ")"},
                  {"request_id", id}});
}

void Service::run() {
    {
        std::lock_guard lock(impl_->runMutex);
        if (impl_->stopRequested) return;
        impl_->running = true;
    }
    impl_->server.listen_after_bind();
    impl_->finished = true;
}

void Service::stop() {
    impl_->stopping.request_stop();
    {
        std::lock_guard lock(impl_->runMutex);
        impl_->stopRequested = true;
        if (!impl_->running) return;
    }
    // The server only takes a stop once its accept loop runs: a stop that comes right after
    // run() started waits for that moment.
    while (!impl_->server.is_running() && !impl_->finished) std::this_thread::yield();
    impl_->server.stop();
}

void Service::Impl::logRequest(const Request& req, const Response& res) {
    if (res.get_header_value("Connection") == "close") GuardedServer::closeAfterThisRequest();
    core::log("wendrel-local", "{} {} {} {} ({} bytes)", req.remote_addr, req.method, req.path,
              res.status, res.body.size());
}

std::optional<Device> Service::Impl::authenticate(const Request& req, Response& res,
                                                  const std::string& scope) {
    auto header = req.get_header_value("Authorization");
    const std::string scheme = "Bearer ";
    if (header.size() <= scheme.size() || header.compare(0, scheme.size(), scheme) != 0) {
        res.set_header("WWW-Authenticate", "Bearer");
        sendError(res, 401, "unauthorized", "a device token is required (Authorization: Bearer)");
        return std::nullopt;
    }
    auto device = store.activeDeviceByTokenHash(sha256Hex(header.substr(scheme.size())));
    if (!device) {
        res.set_header("WWW-Authenticate", "Bearer error=\"invalid_token\"");
        sendError(res, 401, "unauthorized", "the device token is unknown or revoked");
        return std::nullopt;
    }
    double t = now();
    if (!device->lastUsedAt || t - *device->lastUsedAt >= kTouchInterval) {
        store.touchDevice(device->id, t);
    }
    if (std::find(device->scopes.begin(), device->scopes.end(), scope) == device->scopes.end()) {
        res.set_header("WWW-Authenticate", "Bearer error=\"insufficient_scope\"");
        sendError(res, 403, "insufficient_scope", "this device's token does not grant " + scope);
        return std::nullopt;
    }
    return device;
}

bool Service::Impl::injectFault(const std::string& route, Response& res) {
    auto fault = faults.take(route);
    if (!fault) return false;
    switch (fault->kind) {
        case Fault::Kind::slow:
            clock.sleepFor(std::chrono::milliseconds(fault->delayMs), stopping.get_token());
            return false;
        case Fault::Kind::malformedJson:
            res.status = 200;
            res.set_content(fault->body.value_or("{\"status\": \"queued\", \"cache_key\": "),
                            "application/json");
            return true;
        case Fault::Kind::status:
            if (fault->body) {
                res.status = fault->code;
                res.set_content(*fault->body, "application/json");
            } else if (fault->code == 402) {
                Json body{{"error", "plan_required"}};
                core::putOptional(body, "plan", fault->plan);
                core::putOptional(body, "message", fault->message);
                sendJson(res, 402, body);
            } else {
                sendError(res, fault->code, "injected_fault",
                          fault->message.value_or(reasonPhrase(fault->code)));
            }
            return true;
    }
    return false;
}

void Service::Impl::api(const std::string& route, const Request& req, Response& res,
                        const std::function<void(Response&)>& handler) {
    try {
        bool open = route == "init" || route == "token";
        if (!open && !authenticate(req, res, "kb:read")) return;
        if (injectFault(route, res)) return;
        handler(res);
    } catch (const std::exception& e) {
        internalError(req, res, e.what());
    }
}

void Service::Impl::routes() {
    server.set_read_timeout(
        std::chrono::duration_cast<std::chrono::microseconds>(options.limits.readTimeout));
    server.set_write_timeout(
        std::chrono::duration_cast<std::chrono::microseconds>(options.limits.readTimeout));
    server.set_pre_routing_handler(
        [this](const Request& req, Response& res) { return screen(req, res); });
    server.set_exception_handler([this](const Request& req, Response& res, std::exception_ptr e) {
        std::string detail = "unknown exception";
        try {
            if (e) std::rethrow_exception(e);
        } catch (const std::exception& x) {
            detail = x.what();
        } catch (...) {
        }
        internalError(req, res, detail);
    });
    server.set_payload_max_length(static_cast<size_t>(options.maxUploadBytes) + 2 * kMaxFieldBytes);
    server.set_logger([this](const Request& req, const Response& res) { logRequest(req, res); });
    server.set_error_handler([](const Request& req, Response& res) {
        // Answers this service wrote itself (even an empty one) stay as they are.
        if (!res.body.empty() || res.has_header("Content-Type")) return;
        if (res.status == 404) {
            sendError(res, 404, "not_found", "no such endpoint: " + req.method + " " + req.path);
        } else if (res.status == 413) {
            sendError(res, 413, "too_large", "the request body is larger than allowed");
        } else {
            sendError(res, res.status, "bad_request", reasonPhrase(res.status));
        }
    });

    server.Get("/api/v1/health", [](const Request&, Response& res) {
        sendJson(res, 200, Json{{"status", "ok"}, {"version", kVersion}});
    });
    server.Post("/api/v1/auth/devices/init", [this](const Request& req, Response& res) {
        api("init", req, res, [&](Response& r) { handleInit(req, r); });
    });
    server.Post("/api/v1/auth/devices/token", [this](const Request& req, Response& res) {
        api("token", req, res, [&](Response& r) { handleToken(req, r); });
    });
    server.Post("/api/v1/sources",
                [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
                    handleUpload(req, res, reader);
                });
    server.Get("/api/v1/sources", [this](const Request& req, Response& res) {
        api("list", req, res, [&](Response& r) { handleList(req, r); });
    });
    server.Get(R"(/api/v1/sources/tasks/([^/]+))", [this](const Request& req, Response& res) {
        api("task", req, res, [&](Response& r) {
            auto s = store.sourceByTask(req.matches[1]);
            if (!s) return sendError(r, 404, "not_found", "no task " + std::string(req.matches[1]));
            Json result{{"cache_key", s->cacheKey}, {"status", s->status}};
            sendJson(r, 200,
                     Json{{"status", s->status}, {"cache_key", s->cacheKey}, {"result", result}});
        });
    });
    server.Get(R"(/api/v1/sources/([^/]+)/status)", [this](const Request& req, Response& res) {
        api("status", req, res, [&](Response& r) {
            auto s = store.sourceByKey(req.matches[1]);
            if (!s || s->isDeleted) {
                return sendError(r, 404, "not_found", "no source " + std::string(req.matches[1]));
            }
            sendJson(r, 200,
                     Json{{"cache_key", s->cacheKey},
                          {"status", Json{{"transcription", stageJson(*s)}}}});
        });
    });
    server.Get(R"(/api/v1/sources/([^/]+))", [this](const Request& req, Response& res) {
        api("source", req, res, [&](Response& r) {
            auto s = store.sourceByKey(req.matches[1]);
            if (!s || s->isDeleted) {
                return sendError(r, 404, "not_found", "no source " + std::string(req.matches[1]));
            }
            sendJson(
                r, 200,
                Json{{"success", true}, {"cache_key", s->cacheKey}, {"result", resultJson(*s)}});
        });
    });

    server.Get("/device",
               [this](const Request& req, Response& res) { handleDevicePage(req, res); });
    server.Post("/device",
                [this](const Request& req, Response& res) { handleDeviceDecision(req, res); });
    server.Post("/device/session",
                [this](const Request& req, Response& res) { handleSession(req, res); });
    server.Post("/owner/pairings",
                [this](const Request& req, Response& res) { handleOwnerDecision(req, res); });

    if (!options.admin) return;
    server.Get("/admin/faults", [this](const Request& req, Response& res) {
        if (adminAllowed(req, res)) sendJson(res, 200, faults.describe());
    });
    server.Post("/admin/faults", [this](const Request& req, Response& res) {
        if (!adminAllowed(req, res)) return;
        try {
            faults.add(Json::parse(req.body));
            sendJson(res, 200, faults.describe());
        } catch (const Json::exception& e) {
            sendError(res, 400, "invalid_request",
                      std::string("the body is not JSON: ") + e.what());
        } catch (const FaultError& e) {
            sendError(res, 400, "invalid_request", e.what());
        }
    });
    server.Delete("/admin/faults", [this](const Request& req, Response& res) {
        if (!adminAllowed(req, res)) return;
        faults.clear();
        sendJson(res, 200, Json::object());
    });
    server.Post(R"(/admin/sources/([^/]+)/move)", [this](const Request& req, Response& res) {
        if (!adminAllowed(req, res)) return;
        std::string oldKey = req.matches[1];
        auto body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
        std::string newKey = body.is_object() ? body.value("new_key", std::string()) : "";
        if (newKey.empty()) newKey = "DOC_" + randomCode(24);
        if (store.sourceByKey(newKey)) {
            return sendError(res, 409, "conflict", "a source already has the key " + newKey);
        }
        if (!store.moveSource(oldKey, newKey)) {
            return sendError(res, 404, "not_found", "no source " + oldKey);
        }
        core::log("wendrel-local", "moved {} -> {}", oldKey, newKey);
        sendJson(res, 200, Json{{"previous_key", oldKey}, {"cache_key", newKey}});
    });
    server.Post(R"(/admin/sources/([^/]+)/delete)", [this](const Request& req, Response& res) {
        if (!adminAllowed(req, res)) return;
        if (!store.markDeleted(req.matches[1])) {
            return sendError(res, 404, "not_found", "no source " + std::string(req.matches[1]));
        }
        sendJson(res, 200, Json{{"cache_key", std::string(req.matches[1])}, {"is_deleted", true}});
    });
}

bool Service::Impl::adminAllowed(const Request& req, Response& res) {
    if (!isLoopback(req.remote_addr)) {
        sendError(res, 403, "forbidden", "admin endpoints answer loopback clients only");
        return false;
    }
    if (!ownerKeyMatches(req.get_header_value(kOwnerKeyHeader))) {
        sendError(
            res, 403, "forbidden",
            std::string("admin endpoints need the owner key (header ") + kOwnerKeyHeader + ")");
        return false;
    }
    return true;
}

// ---- pairing

void Service::Impl::handleInit(const Request& req, Response& res) {
    auto body = Json::parse(req.body.empty() ? "{}" : req.body, nullptr, false);
    if (!body.is_object()) {
        return sendError(res, 400, "invalid_request", "the body must be a JSON object");
    }
    Pairing p;
    try {
        p.name = body.value("name", std::string("device"));
        p.clientType = body.value("client_type", std::string("unknown"));
        p.scopes = body.value("scopes", std::vector<std::string>{"kb:read", "kb:write"});
    } catch (const Json::exception&) {
        return sendError(res, 400, "invalid_request",
                         "name and client_type must be strings, scopes an array of strings");
    }
    if (p.name.size() > 200 || p.clientType.size() > 100 || p.scopes.size() > 8) {
        return sendError(res, 400, "invalid_request", "name, client_type or scopes too long");
    }
    for (auto& scope : p.scopes) {
        if (scope != "kb:read" && scope != "kb:write") {
            return sendError(res, 400, "invalid_scope",
                             "unknown scope \"" + core::utf8Prefix(scope, 40) +
                                 "\" (this service grants kb:read and kb:write)");
        }
    }
    double t = now();
    std::string deviceCode = randomHex(32);
    p.deviceCodeHash = sha256Hex(deviceCode);
    p.userCode = randomCode(4) + "-" + randomCode(4);
    p.createdAt = t;
    p.expiresAt = t + options.pairingLifetime;
    store.removePairingsExpiredBefore(t - 86400);
    store.insertPairing(p);
    std::string url = baseUrl() + "/device?user_code=" + p.userCode;
    auto refusal = options.autoApprove ? autoApproveRefusal(req) : std::nullopt;
    if (options.autoApprove && !refusal) {
        store.decidePairing(p.deviceCodeHash, true);
        core::log("wendrel-local", "pairing {} for \"{}\" approved automatically", p.userCode,
                  p.name);
    } else {
        if (refusal) {
            core::log("wendrel-local", "pairing {} for \"{}\" not approved automatically: {}",
                      p.userCode, p.name, *refusal);
        }
        core::log("wendrel-local",
                  "pairing {} for \"{}\" waits for approval: run `wendrel-local approve {} "
                  "--data {}` or open {} (it asks for the owner key in {})",
                  p.userCode, p.name, p.userCode, core::shellQuote(dirs.root.string()), url,
                  dirs.ownerKeyFile().string());
    }
    sendJson(res, 200,
             Json{{"device_code", deviceCode},
                  {"user_code", p.userCode},
                  {"verification_url", url},
                  {"interval", options.pairingInterval},
                  {"expires_in", options.pairingLifetime}});
}

std::optional<std::string> Service::Impl::autoApproveRefusal(const Request& req) {
    if (!isLoopback(req.remote_addr)) return "the request did not come over loopback";
    auto uid = options.peerUid(
        TcpConnection{req.remote_addr, req.remote_port, req.local_addr, req.local_port});
    if (!uid) return "the requesting process was not found on this computer";
    if (*uid != *options.ownerUid) {
        return fmt::format("the requesting process runs as uid {}, this service as uid {}", *uid,
                           *options.ownerUid);
    }
    return std::nullopt;
}

void Service::Impl::handleToken(const Request& req, Response& res) {
    auto body = Json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("device_code") || !body["device_code"].is_string()) {
        return sendError(res, 400, "invalid_request", "device_code is required");
    }
    std::string hash = sha256Hex(body["device_code"].get<std::string>());
    auto p = store.pairingByDeviceCodeHash(hash);
    if (!p) return sendError(res, 400, "invalid_grant", "unknown device code");
    if (p->state == "delivered") {
        return sendError(res, 400, "invalid_grant", "this device code was already used");
    }
    if (p->state == "denied") return sendJson(res, 200, Json{{"status", "denied"}});
    if (now() >= p->expiresAt) return sendJson(res, 200, Json{{"status", "expired"}});
    if (p->state == "pending") return sendJson(res, 200, Json{{"status", "authorization_pending"}});

    std::string token = "wlt_" + randomHex(32);
    Device d;
    d.id = "dev_" + randomHex(8);
    d.name = p->name;
    d.clientType = p->clientType;
    d.scopes = p->scopes;
    d.tokenPrefix = token.substr(0, 12);
    d.createdAt = now();
    if (!store.deliverPairing(hash, d, sha256Hex(token))) {
        return sendError(res, 400, "invalid_grant", "this device code was already used");
    }
    core::log("wendrel-local", "device {} \"{}\" paired (token {}…)", d.id, d.name, d.tokenPrefix);
    sendJson(
        res, 200,
        Json{{"status", "approved"}, {"token", token}, {"scopes", d.scopes}, {"device_id", d.id}});
}

std::optional<Service::Impl::Session> Service::Impl::session(const Request& req) {
    auto value = cookie(req, kSessionCookie);
    if (!value || value->empty()) return std::nullopt;
    std::lock_guard lock(sessionsMutex);
    double t = now();
    std::erase_if(sessions, [t](const auto& entry) { return entry.second.expiresAt <= t; });
    auto it = sessions.find(sha256Hex(*value));
    if (it == sessions.end()) return std::nullopt;
    return it->second;
}

void Service::Impl::handleSession(const Request& req, Response& res) {
    std::string code = normaliseUserCode(req.get_param_value("user_code"));
    if (!ownerKeyMatches(std::string(core::trimWhitespace(req.get_param_value("owner_key"))))) {
        core::log("wendrel-local", "approval page: a wrong owner key was entered");
        res.status = 403;
        res.set_content(page("Wrong key",
                             "<p>That is not this service's owner key.</p>"
                             "<p><a href=\"/device?user_code=" +
                                 htmlEscape(code) + "\">Try again</a></p>"),
                        "text/html; charset=utf-8");
        return;
    }
    std::string value = randomHex(32);
    {
        std::lock_guard lock(sessionsMutex);
        sessions[sha256Hex(value)] = Session{randomHex(16), now() + options.sessionLifetime};
    }
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + value +
                                     "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                     std::to_string(options.sessionLifetime));
    res.set_redirect("/device" + (code.empty() ? std::string() : "?user_code=" + code), 303);
}

void Service::Impl::handleOwnerDecision(const Request& req, Response& res) {
    if (!ownerKeyMatches(req.get_header_value(kOwnerKeyHeader))) {
        return sendError(res, 403, "forbidden", "approving needs the owner key");
    }
    auto body = Json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("user_code") || !body["user_code"].is_string()) {
        return sendError(res, 400, "invalid_request", "user_code is required");
    }
    std::string decision = body.value("decision", std::string("approve"));
    if (decision != "approve" && decision != "deny") {
        return sendError(res, 400, "invalid_request", "decision is approve or deny");
    }
    std::string code = normaliseUserCode(body["user_code"].get<std::string>());
    auto p = store.pendingPairingByUserCode(code, now());
    if (!p || !store.decidePairing(p->deviceCodeHash, decision == "approve")) {
        return sendError(res, 404, "not_found",
                         "no device is waiting with the code " + code +
                             " (it may have expired or been answered already)");
    }
    core::log("wendrel-local", "pairing {} for \"{}\" {} by the owner", code, p->name,
              decision == "approve" ? "approved" : "denied");
    sendJson(res, 200,
             Json{{"user_code", code},
                  {"name", p->name},
                  {"status", decision == "approve" ? "approved" : "denied"}});
}

void Service::Impl::handleDevicePage(const Request& req, Response& res) {
    std::string code = normaliseUserCode(req.get_param_value("user_code"));
    auto current = session(req);
    if (!current) {
        res.set_content(
            page("Connect a device",
                 "<p>Only the owner of this service may connect devices. Enter the owner key "
                 "from <code>" +
                     htmlEscape(dirs.ownerKeyFile().string()) +
                     "</code> (readable by you only), or approve from a terminal with "
                     "<code>wendrel-local approve " +
                     htmlEscape(code.empty() ? "CODE" : code) +
                     "</code>.</p><form method=\"post\" action=\"/device/session\">"
                     "<input type=\"hidden\" name=\"user_code\" value=\"" +
                     htmlEscape(code) +
                     "\"><p><input type=\"password\" name=\"owner_key\" autofocus "
                     "autocomplete=\"off\"></p><p><button type=\"submit\">Continue</button>"
                     "</p></form>"),
            "text/html; charset=utf-8");
        return;
    }
    if (code.empty()) {
        res.set_content(page("Connect a device",
                             "<form method=\"get\" action=\"/device\"><p>Enter the code your "
                             "device shows:</p><p><input name=\"user_code\" autofocus></p>"
                             "<p><button type=\"submit\">Continue</button></p></form>"),
                        "text/html; charset=utf-8");
        return;
    }
    auto p = store.pendingPairingByUserCode(code, now());
    if (!p) {
        res.status = 404;
        res.set_content(
            page("Unknown code", "<p>No device is waiting with the code <b>" + htmlEscape(code) +
                                     "</b>. It may have expired or been "
                                     "answered already.</p>"),
            "text/html; charset=utf-8");
        return;
    }
    std::string scopes;
    for (auto& s : p->scopes) scopes += (scopes.empty() ? "" : ", ") + s;
    res.set_content(
        page("Connect a device",
             "<p><b>" + htmlEscape(p->name) + "</b> asks for access" +
                 (scopes.empty() ? std::string() : " (" + htmlEscape(scopes) + ")") +
                 ".</p><p>Check that the device shows this code:</p><p class=\"code\">" +
                 htmlEscape(code) +
                 "</p><form method=\"post\" action=\"/device\"><input type=\"hidden\" "
                 "name=\"csrf\" value=\"" +
                 current->csrf + "\"><input type=\"hidden\" name=\"user_code\" value=\"" +
                 htmlEscape(code) +
                 "\"><button type=\"submit\" name=\"decision\" value=\"approve\">Approve</button>"
                 "<button type=\"submit\" name=\"decision\" value=\"deny\">Deny</button></form>"),
        "text/html; charset=utf-8");
}

void Service::Impl::handleDeviceDecision(const Request& req, Response& res) {
    std::string code = normaliseUserCode(req.get_param_value("user_code"));
    auto current = session(req);
    if (!current || !equalInConstantTime(req.get_param_value("csrf"), current->csrf)) {
        res.status = 403;
        res.set_content(page("Connect a device",
                             "<p>This form has lapsed or did not come from this service. "
                             "<a href=\"/device?user_code=" +
                                 htmlEscape(code) + "\">Start again</a>.</p>"),
                        "text/html; charset=utf-8");
        return;
    }
    std::string decision = req.get_param_value("decision");
    if (decision != "approve" && decision != "deny") {
        res.status = 400;
        res.set_content(page("Connect a device", "<p>Choose Approve or Deny.</p>"),
                        "text/html; charset=utf-8");
        return;
    }
    auto p = store.pendingPairingByUserCode(code, now());
    if (!p || !store.decidePairing(p->deviceCodeHash, decision == "approve")) {
        res.status = 404;
        res.set_content(page("Unknown code",
                             "<p>No device is waiting with this code. It may have "
                             "expired or been answered already.</p>"),
                        "text/html; charset=utf-8");
        return;
    }
    bool approved = decision == "approve";
    core::log("wendrel-local", "pairing {} for \"{}\" {}", code, p->name,
              approved ? "approved" : "denied");
    res.set_content(page(approved ? "Device approved" : "Device denied",
                         approved ? "<p>" + htmlEscape(p->name) +
                                        " is connected. You can close this window.</p>"
                                  : "<p>The request was denied. You can close this window.</p>"),
                    "text/html; charset=utf-8");
}

// ---- sources

void Service::Impl::handleUpload(const Request& req, Response& res,
                                 const httplib::ContentReader& reader) {
    // Whatever is answered before the body is read leaves bytes on the connection: close it.
    auto refuse = [&](int status, const std::string& code, const std::string& message) {
        res.set_header("Connection", "close");
        sendError(res, status, code, message);
    };
    try {
        auto device = authenticate(req, res, "kb:write");
        if (!device) return res.set_header("Connection", "close");
        if (injectFault("upload", res)) return res.set_header("Connection", "close");
        if (!req.is_multipart_form_data()) {
            return refuse(415, "unsupported_media_type",
                          "uploads are multipart/form-data with a \"file\" part");
        }
        if (req.has_header("Content-Length") &&
            std::stoll(req.get_header_value("Content-Length")) >
                options.maxUploadBytes + static_cast<int64_t>(2 * kMaxFieldBytes)) {
            return refuse(413, "too_large",
                          fmt::format("uploads are limited to {} bytes", options.maxUploadBytes));
        }

        UploadReceiver rx(dirs.incoming(), options.maxUploadBytes);
        bool complete =
            reader([&](const httplib::MultipartFormData& part) { return rx.beginPart(part); },
                   [&](const char* data, size_t n) { return rx.data(data, n); });
        if (!complete) {
            if (rx.tooLarge()) {
                return refuse(
                    413, "too_large",
                    fmt::format("uploads are limited to {} bytes", options.maxUploadBytes));
            }
            return refuse(400, "malformed_multipart",
                          rx.error().value_or("the multipart body is incomplete or malformed"));
        }
        if (!rx.sawFile()) return refuse(400, "missing_file", "the form has no \"file\" part");
        auto contentSource = rx.field("content_source");
        if (!contentSource || contentSource->empty()) {
            return refuse(400, "missing_field", "the form has no \"content_source\" field");
        }
        if (rx.bytes() == 0) return refuse(400, "empty_file", "the uploaded file is empty");
        Json metadata = Json::object();
        if (auto m = rx.field("content_source_metadata"); m && !m->empty()) {
            metadata = Json::parse(*m, nullptr, false);
            if (!metadata.is_object()) {
                return refuse(400, "invalid_metadata",
                              "content_source_metadata must be a JSON object");
            }
        }
        if (!rx.finishFile()) return refuse(500, "storage_error", "cannot store the upload");

        AudioProbe probe;
        try {
            probe = probeAudio(rx.path());
        } catch (const AudioError& e) {
            return refuse(
                422, "unsupported_audio",
                "the file is not audio this service can decode: " + std::string(e.what()));
        }

        NewSource n;
        n.cacheKey = "DOC_" + randomCode(24);
        n.taskId = "task_" + randomHex(12);
        n.audioSha256 = rx.sha256();
        n.originalFilename = rx.filename().empty() ? "audio" : rx.filename();
        n.audioFile = n.taskId + storedExtension(n.originalFilename);
        n.audioBytes = rx.bytes();
        n.contentType = rx.contentType().empty() ? "application/octet-stream" : rx.contentType();
        n.contentSource = *contentSource;
        if (auto lang = rx.field("language"); lang && !lang->empty()) n.language = *lang;
        if (auto tags = rx.field("tags")) n.tags = splitTags(*tags);
        n.metadata = metadata;
        n.deviceId = device->id;
        n.createdAt = now();
        if (probe.duration > 0) n.duration = probe.duration;

        // The file is in place before the row that names it is committed.
        fs::path stored = dirs.audio() / n.audioFile;
        rx.moveTo(stored);
        fsyncPath(dirs.audio());
        Store::InsertResult result;
        try {
            result = store.insertSource(n);
        } catch (...) {
            std::error_code ec;
            fs::remove(stored, ec);
            throw;
        }
        if (!result.inserted) {
            std::error_code ec;
            fs::remove(stored, ec);
            Json body{
                {"status", "duplicate_upload"},
                {"cache_key", result.source.cacheKey},
                {"message", "this audio is already in the library as " + result.source.cacheKey}};
            core::putOptional(body, "title", result.source.llmTitle);
            return sendJson(res, 200, body);
        }
        core::log("wendrel-local", "accepted {} as {} ({} bytes, {:.1f} s)", n.originalFilename,
                  n.cacheKey, n.audioBytes, probe.duration);
        if (onNewJob) onNewJob();
        sendJson(res, 200,
                 Json{{"status", "queued"},
                      {"task_id", n.taskId},
                      {"message", "queued for transcription"}});
    } catch (const std::exception& e) {
        res.set_header("Connection", "close");
        internalError(req, res, e.what());
    }
}

void Service::Impl::handleList(const Request& req, Response& res) {
    int limit = kDefaultListLimit;
    if (req.has_param("limit")) {
        auto text = req.get_param_value("limit");
        char* end = nullptr;
        long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || v < 1 || v > kMaxListLimit) {
            return sendError(res, 400, "invalid_limit",
                             fmt::format("limit must be a number from 1 to {}", kMaxListLimit));
        }
        limit = static_cast<int>(v);
    }
    bool includeDeleted = false;
    if (req.has_param("include_deleted")) {
        auto v = req.get_param_value("include_deleted");
        if (v == "true" || v == "1") {
            includeDeleted = true;
        } else if (v != "false" && v != "0") {
            return sendError(res, 400, "invalid_request", "include_deleted must be true or false");
        }
    }
    std::optional<std::string> before;
    if (req.has_param("before")) before = req.get_param_value("before");
    SourcePage page;
    try {
        page = store.listSources(limit, before, includeDeleted, now());
    } catch (const InvalidCursor&) {
        return sendError(
            res, 400, "invalid_cursor",
            "the cursor \"" + *before + "\" was not issued by this service or has expired");
    }
    Json files = Json::array();
    for (auto& s : page.items) files.push_back(listEntryJson(s));
    Json body{{"files", files}, {"count", page.items.size()}, {"has_more", page.hasMore}};
    core::putOptional(body, "next_cursor", page.nextCursor);
    sendJson(res, 200, body);
}

}  // namespace sayloft::wendrel
