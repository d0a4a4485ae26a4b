#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

namespace sayloft::service {

// A failure of the HTTP stack itself (no connection, time-out, TLS): what() is curl's own
// description of the problem.
class TransportError : public Error {
  public:
    TransportError(int curlCode, const std::string& text) : Error(text), curlCode_(curlCode) {}
    int curlCode() const { return curlCode_; }

  private:
    int curlCode_;
};

// The caller asked the running exchange (or wait) to stop.
class Cancelled : public Error {
  public:
    Cancelled() : Error("cancelled") {}
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    // Sent in this order, after the ones curl adds itself (Host, Accept, Content-Length).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, the body sent is `body`, then this file's bytes read as they are sent (memory
    // stays flat whatever its size), then `bodySuffix`. Only regular files are read.
    std::optional<std::filesystem::path> bodyFile;
    std::string bodySuffix;
    core::Duration timeout = core::seconds(60);
};

struct HttpResponse {
    // The HTTP status, or nothing when the answer was not an HTTP response.
    std::optional<long> status;
    std::string body;
};

// Runs one exchange. Only http and https are spoken; https always verifies the peer's
// certificate and host name. Throws TransportError, or Cancelled when `stop` is requested
// while the exchange runs.
HttpResponse perform(const HttpRequest& request, std::stop_token stop = {});

// Percent-encodes everything but the unreserved characters, for path segments and queries.
std::string urlEscape(std::string_view text);

// Appends a path ("sources/tasks/x") to a base URL's path as path components; the base URL's
// query, if any, stays after it.
std::string joinURL(std::string_view base, std::string_view path);

// Adds query items (escaped here) after any query the URL already has.
std::string appendQuery(std::string_view url,
                        const std::vector<std::pair<std::string, std::string>>& items);

// The URL's host names this computer: "localhost", 127.0.0.0/8 or ::1.
bool isLoopbackURL(std::string_view url);
// The URL's scheme is plain http.
bool isPlainHttpURL(std::string_view url);

// UTF-8 helpers used with answers and tokens.
using core::isValidUtf8;
using core::utf8Prefix;

}  // namespace sayloft::service
