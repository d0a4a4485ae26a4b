#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "app/control_socket.hpp"
#include "core/json.hpp"
#include "test_support.hpp"

namespace sayloft::test {

// An engine that speaks the control protocol over a real Unix socket and answers from a
// script: each method's answer is set by the test; every request is recorded.
class ScriptedEngine {
  public:
    // Sends the answer's lines, then the done message; runs on the request's own thread.
    using Script = std::function<void(app::ControlConnection&, const core::Json& request)>;

    explicit ScriptedEngine(std::filesystem::path socketPath);
    ~ScriptedEngine();

    // A fixed answer: "out" lines, then {"done": true, "exitCode": 0, ...fields}.
    void answer(const std::string& method, core::Json fields = core::Json::object(),
                std::vector<std::string> out = {});
    void script(const std::string& method, Script script);
    // Sends an event to every subscriber.
    void publish(const core::Json& event);

    std::vector<core::Json> requests(const std::string& method) const;
    size_t subscribers() const;
    const std::filesystem::path& socketPath() const { return path_; }

    static void done(app::ControlConnection& c, const core::Json& request,
                     core::Json fields = core::Json::object());

  private:
    void handle(app::ControlConnection& c, const core::Json& request, std::stop_token stop);

    std::filesystem::path path_;
    mutable std::mutex mutex_;
    std::map<std::string, Script> scripts_;
    std::vector<core::Json> requests_;
    std::set<app::ControlConnection*> subscribers_;
    app::ControlServer server_;
};

// Runs the Qt event loop until `condition` holds (the engine answers on its own threads).
template <class F>
bool settle(F condition) {
    return eventually(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return condition();
        },
        20);
}

}  // namespace sayloft::test
