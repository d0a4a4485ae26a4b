#include "scripted_engine.hpp"

#include <condition_variable>

namespace sayloft::test {

ScriptedEngine::ScriptedEngine(std::filesystem::path socketPath)
    : path_(std::move(socketPath)),
      server_(path_, [this](app::ControlConnection& c, const core::Json& r, std::stop_token stop) {
          handle(c, r, stop);
      }) {
    server_.start();
}

ScriptedEngine::~ScriptedEngine() {
    server_.stop();
}

void ScriptedEngine::done(app::ControlConnection& c, const core::Json& request, core::Json fields) {
    if (!fields.contains("exitCode")) fields["exitCode"] = 0;
    fields["id"] = request.value("id", 0);
    fields["done"] = true;
    c.send(fields);
}

void ScriptedEngine::answer(const std::string& method, core::Json fields,
                            std::vector<std::string> out) {
    script(method, [fields, out](app::ControlConnection& c, const core::Json& request) {
        for (auto& line : out) c.send({{"id", request.value("id", 0)}, {"out", line}});
        done(c, request, fields);
    });
}

void ScriptedEngine::script(const std::string& method, Script script) {
    std::lock_guard lock(mutex_);
    scripts_[method] = std::move(script);
}

void ScriptedEngine::publish(const core::Json& event) {
    std::lock_guard lock(mutex_);
    for (auto* c : subscribers_) c->send({{"id", 0}, {"event", event}});
}

std::vector<core::Json> ScriptedEngine::requests(const std::string& method) const {
    std::lock_guard lock(mutex_);
    std::vector<core::Json> found;
    for (auto& r : requests_)
        if (r.value("method", "") == method) found.push_back(r);
    return found;
}

size_t ScriptedEngine::subscribers() const {
    std::lock_guard lock(mutex_);
    return subscribers_.size();
}

void ScriptedEngine::handle(app::ControlConnection& c, const core::Json& request,
                            std::stop_token stop) {
    const auto method = request.value("method", std::string());
    if (method == "subscribe") {
        {
            std::lock_guard lock(mutex_);
            subscribers_.insert(&c);
        }
        c.send({{"id", request.value("id", 0)}, {"subscribed", true}});
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock wait(m);
        cv.wait(wait, stop, [] { return false; });
        std::lock_guard lock(mutex_);
        subscribers_.erase(&c);
        return;
    }
    Script script;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (auto it = scripts_.find(method); it != scripts_.end()) script = it->second;
    }
    if (script) return script(c, request);
    c.send({{"id", request.value("id", 0)}, {"err", "unknown request \"" + method + "\""}});
    done(c, request, {{"exitCode", 2}});
}

}  // namespace sayloft::test
