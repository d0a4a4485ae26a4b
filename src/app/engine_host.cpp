#include "app/engine_host.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/control_socket.hpp"
#include "app/instance_lock.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;
using core::Json;

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(100);

// Sleeps a little unless stopped first; false when stopped.
bool pause(std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    return !cv.wait_for(lock, stop, kRetryPause, [] { return false; }) && !stop.stop_requested();
}

// Relays one request over a connection; nothing when the connection broke before an answer.
std::optional<int> relay(ControlConnection& connection, Json request, const RequestOutput& output,
                         std::stop_token stop) {
    request["id"] = 1;
    if (!connection.send(request)) return std::nullopt;
    // A stop (Ctrl-C) ends the connection; the engine then stops the request.
    std::stop_callback hangUp(stop, [&] { connection.close(); });
    while (auto message = connection.receive()) {
        if (message->contains("out") && (*message)["out"].is_string())
            output.out((*message)["out"]);
        if (message->contains("err") && (*message)["err"].is_string())
            output.err((*message)["err"]);
        if (message->contains("error") && (*message)["error"].is_string()) {
            output.err((*message)["error"].get<std::string>());
            return 1;
        }
        if (message->value("done", false)) return message->value("exitCode", 1);
    }
    if (stop.stop_requested()) return 130;
    return std::nullopt;
}

}  // namespace

fs::path EngineAddress::lockDir() const {
    return dir.empty() ? core::runtimeDir() : dir;
}

fs::path EngineAddress::socketPath() const {
    return lockDir() / "control.sock";
}

int runThroughEngine(const Json& request, const RequestOutput& output, std::stop_token stop,
                     const EngineFactory& makeEngine, const EngineAddress& address) {
    bool toldWaiting = false;
    while (!stop.stop_requested()) {
        if (auto connection = connectToEngine(address.socketPath())) {
            if (auto code = relay(*connection, request, output, stop)) return *code;
            output.err("The running sayloft went away before it answered.");
            return 1;
        }
        if (auto lock = InstanceLock::tryAcquire(address.lockDir(), "command")) {
            auto engine = makeEngine("command");
            engine->launch();
            Json answer = engine->handle(request, output, stop);
            engine->waitForWork(stop);
            engine->shutdown();
            return stop.stop_requested() ? 130 : answer.value("exitCode", 1);
        }
        if (!toldWaiting) {
            auto holder = InstanceLock::holder(address.lockDir());
            // A daemon that is still starting has the lock but no socket yet: no need to say.
            if (holder && holder->role != "daemon") {
                output.err("Another sayloft (pid " + std::to_string(holder->pid) +
                           ") is working; waiting for it to finish…");
                toldWaiting = true;
            }
        }
        if (!pause(stop)) break;
    }
    return 130;
}

std::optional<int> runThroughRunningEngine(const Json& request, const RequestOutput& output,
                                           std::stop_token stop, const EngineAddress& address) {
    auto connection = connectToEngine(address.socketPath());
    if (!connection) return std::nullopt;
    if (auto code = relay(*connection, request, output, stop)) return *code;
    output.err("The running sayloft went away before it answered.");
    return 1;
}

void serveRequest(Engine& engine, ControlConnection& connection, const Json& request,
                  std::stop_token stop) {
    Json id = request.contains("id") ? request["id"] : Json(nullptr);
    if (request.value("method", "") == "subscribe") {
        int token = engine.subscribe([&connection, id](const Json& event) {
            connection.send({{"id", id}, {"event", event}});
        });
        // Events from here on reach the subscriber: say so, so that it can go on.
        connection.send({{"id", id}, {"subscribed", true}});
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        cv.wait(lock, stop, [] { return false; });
        engine.unsubscribe(token);
        return;
    }
    RequestOutput output{[&](const std::string& line) {
                             connection.send({{"id", id}, {"out", line}});
                         },
                         [&](const std::string& line) {
                             connection.send({{"id", id}, {"err", line}});
                         }};
    Json answer = engine.handle(request, output, stop);
    answer["id"] = id;
    answer["done"] = true;
    connection.send(answer);
}

int runDaemon(std::stop_token stop, const EngineFactory& makeEngine, const RequestOutput& output,
              const EngineAddress& address) {
    std::unique_ptr<InstanceLock> lock;
    bool toldWaiting = false;
    while (!(lock = InstanceLock::tryAcquire(address.lockDir(), "daemon"))) {
        auto holder = InstanceLock::holder(address.lockDir());
        if (holder && holder->role == "daemon") {
            output.err("sayloft is already running (pid " + std::to_string(holder->pid) + ").");
            return 1;
        }
        if (!toldWaiting && holder) {
            output.err("Another sayloft (pid " + std::to_string(holder->pid) +
                       ") is working; starting when it has finished…");
            toldWaiting = true;
        }
        if (!pause(stop)) return 0;
    }
    auto engine = makeEngine("daemon");
    engine->launch();
    ControlServer server(address.socketPath(),
                         [&](ControlConnection& c, const Json& request, std::stop_token s) {
                             serveRequest(*engine, c, request, s);
                         });
    try {
        server.start();
    } catch (const std::exception& e) {
        core::log("launch", "{}", e.what());
        engine->shutdown();
        output.err(e.what());
        return 1;
    }
    {
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock wait(m);
        cv.wait(wait, stop, [] { return false; });
    }
    server.stop();
    engine->shutdown();
    return 0;
}

}  // namespace sayloft::app
