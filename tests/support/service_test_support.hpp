#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/secret_store.hpp"
#include "service/keychain.hpp"
#include "test_support.hpp"

namespace sayloft::test {

// What a scripted server saw of one request.
struct SeenRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string> query;
    httplib::Headers headers;
    std::string body;
    httplib::MultipartFormDataItems parts;  // multipart fields, parsed by the server

    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return headers.count(name) > 0; }
};

// A cpp-httplib server on 127.0.0.1 answering with test-supplied handlers; every request is
// recorded before its handler runs. Unrouted requests get 404.
class ScriptedServer {
  public:
    using Handler = std::function<void(const SeenRequest&, httplib::Response&)>;

    ScriptedServer();
    ~ScriptedServer();

    void get(const std::string& pattern, Handler handler);
    void post(const std::string& pattern, Handler handler);
    // Starts serving; call after the routes are set.
    void start();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>/api/v1"
    std::string baseURL() const;
    std::vector<SeenRequest> requests() const;
    size_t count() const;

  private:
    SeenRequest record(const httplib::Request& req);

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
};

// Answers one connection with a canned response and keeps the raw request bytes.
class RawServer {
  public:
    explicit RawServer(std::string response);
    ~RawServer();
    int port() const { return port_; }
    // Waits for the request to be complete.
    std::string request();

  private:
    int listener_ = -1;
    int port_ = 0;
    std::string response_;
    std::string received_;
    std::thread thread_;
};

// A keychain over a real file store in a temporary folder.
struct FileKeychain {
    TempDir dir;
    std::shared_ptr<platform::FileSecretStore> store =
        std::make_shared<platform::FileSecretStore>(dir / "secrets.json");
    service::Keychain keychain{store};

    void setToken(const std::string& token) {
        keychain.write(service::Keychain::kDeviceTokenAccount, token);
    }
};

void json(httplib::Response& res, const std::string& body, int status = 200);

}  // namespace sayloft::test
