#include "service_test_support.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace sayloft::test {

std::string SeenRequest::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
}

ScriptedServer::ScriptedServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
}

ScriptedServer::~ScriptedServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

SeenRequest ScriptedServer::record(const httplib::Request& req) {
    SeenRequest seen{req.method, req.path, {}, req.headers, req.body, {}};
    for (const auto& [k, v] : req.params) seen.query.emplace(k, v);
    for (const auto& [name, file] : req.files) seen.parts.push_back(file);
    std::lock_guard lock(mutex_);
    seen_.push_back(seen);
    return seen;
}

void ScriptedServer::get(const std::string& pattern, Handler handler) {
    server_.Get(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
        handler(record(req), res);
    });
}

void ScriptedServer::post(const std::string& pattern, Handler handler) {
    server_.Post(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
        handler(record(req), res);
    });
}

void ScriptedServer::start() {
    auto notFound = [this](const httplib::Request& req, httplib::Response& res) {
        record(req);
        res.status = 404;
        res.set_content("not found", "text/plain");
    };
    server_.Get(".*", notFound);
    server_.Post(".*", notFound);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
}

std::string ScriptedServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/api/v1";
}

std::vector<SeenRequest> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

size_t ScriptedServer::count() const {
    std::lock_guard lock(mutex_);
    return seen_.size();
}

RawServer::RawServer(std::string response) : response_(std::move(response)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        std::string data;
        char buffer[65536];
        for (;;) {
            auto end = data.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t length = 0;
                auto at = data.find("Content-Length: ");
                if (at != std::string::npos && at < end) length = std::stoul(data.substr(at + 16));
                if (data.size() >= end + 4 + length) break;
            }
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            data.append(buffer, size_t(n));
        }
        received_ = data;
        (void)!::write(fd, response_.data(), response_.size());
        ::close(fd);
    });
}

RawServer::~RawServer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
}

std::string RawServer::request() {
    if (thread_.joinable()) thread_.join();
    return received_;
}

void json(httplib::Response& res, const std::string& body, int status) {
    res.status = status;
    res.set_content(body, "application/json");
}

}  // namespace sayloft::test
