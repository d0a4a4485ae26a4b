#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "app/engine.hpp"
#include "core/json.hpp"

namespace sayloft::app {

// Where this user's engine is found: the lock and the control socket, in the runtime dir.
struct EngineAddress {
    std::filesystem::path dir;  // core::runtimeDir() when empty
    std::filesystem::path lockDir() const;
    std::filesystem::path socketPath() const;
};

using EngineFactory = std::function<std::unique_ptr<Engine>(const std::string& role)>;

// Sends one request to this user's engine and relays its output as it arrives. When no engine
// runs, hosts one here for the request's duration, holding the lock, and before returning waits
// for the work it started (captures, after-transcript commands) unless `stop` comes first, which
// leaves unfinished captures to the next start. While another command hosts the engine, waits
// for it. Returns the request's exit code (130 when stopped).
int runThroughEngine(const core::Json& request, const RequestOutput& output, std::stop_token stop,
                     const EngineFactory& makeEngine, const EngineAddress& address = {});

// Sends one request to this user's running daemon and relays its output. Nothing (and nothing
// sent) when no daemon answers on the control socket: the caller then does the work itself.
std::optional<int> runThroughRunningEngine(const core::Json& request, const RequestOutput& output,
                                           std::stop_token stop, const EngineAddress& address = {});

// The daemon: takes the lock (waiting while a command holds it; refusing when a daemon does),
// launches the engine, serves the control socket until `stop`, then shuts down. Returns the exit
// status for the process.
int runDaemon(std::stop_token stop, const EngineFactory& makeEngine, const RequestOutput& output,
              const EngineAddress& address = {});

// Serves one control connection's request with `engine` (the socket's request handler).
void serveRequest(Engine& engine, class ControlConnection& connection, const core::Json& request,
                  std::stop_token stop);

}  // namespace sayloft::app
