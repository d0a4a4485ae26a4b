#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "core/json.hpp"

namespace sayloft::wendrel {

// An answer a test wants instead of the real one.
struct Fault {
    enum class Kind {
        status,         // an HTTP error with a JSON body (or `body` verbatim)
        malformedJson,  // 200 with a body that is not JSON
        slow,           // the real answer, after `delayMs`
    };
    Kind kind = Kind::status;
    int code = 500;
    std::optional<std::string> plan;     // 402 only
    std::optional<std::string> message;  // 402 and other errors
    std::optional<std::string> body;     // replaces the generated body
    int delayMs = 0;
};

class FaultError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Faults queued per route, each used for one answer. Route names: "init", "token", "upload",
// "task", "status", "source", "list", or "*" for any of them.
class FaultTable {
  public:
    static const char* const kRoutes[];

    // Reads {"route", "kind": "status"|"malformed_json"|"slow", "code", "plan", "message",
    // "body", "delay_ms", "count"} and queues `count` copies. Throws FaultError on bad input.
    void add(const core::Json& request);
    // The next fault for `route` (a route's own faults before "*"), consumed.
    std::optional<Fault> take(const std::string& route);
    void clear();
    core::Json describe() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::deque<Fault>> queued_;
};

}  // namespace sayloft::wendrel
