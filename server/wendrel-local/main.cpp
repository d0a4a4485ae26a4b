// wendrel-local: a local transcription service that speaks the Wendrel API.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>
#include <thread>

#include "core/clock.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "sayloft/version.hpp"
#include "service.hpp"
#include "store.hpp"
#include "transcription_workers.hpp"

namespace fs = std::filesystem;
using namespace sayloft;
using namespace sayloft::wendrel;

namespace {
struct ListenAddress {
    std::string host;
    int port = 0;
};

ListenAddress parseListen(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw CLI::ValidationError("--listen", "expected HOST:PORT, got \"" + text + "\"");
    }
    ListenAddress a;
    a.host = text.substr(0, colon);
    if (a.host.size() > 2 && a.host.front() == '[' && a.host.back() == ']') {
        a.host = a.host.substr(1, a.host.size() - 2);
    }
    try {
        size_t used = 0;
        a.port = std::stoi(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1 || a.port < 0 || a.port > 65535) throw 0;
    } catch (...) {
        throw CLI::ValidationError("--listen", "bad port in \"" + text + "\"");
    }
    return a;
}

std::string formatTime(std::optional<double> t) {
    if (!t) return "-";
    std::time_t secs = static_cast<std::time_t>(*t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

double nowSeconds() {
    return std::chrono::duration<double>(core::systemClock().now().time_since_epoch()).count();
}

// Keeps a second server off the same data folder.
int lockDataDir(const DataDir& dirs) {
    int fd = ::open((dirs.root / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        throw Error("another wendrel-local is already using " + dirs.root.string());
    }
    return fd;
}

std::string authority(const std::string& host, int port) {
    return host.find(':') != std::string::npos ? fmt::format("[{}]:{}", host, port)
                                               : fmt::format("{}:{}", host, port);
}

// How transcriptions are made: pocketsphinx, or an installed engine run as a command.
struct RecognizerChoice {
    std::string engine = "pocketsphinx";
    std::string command;

    TranscriptionWorkers::RecognizerFactory factory(const DataDir& dirs) const {
        if (command.empty()) return [] { return std::make_unique<PocketSphinxRecognizer>(); };
        auto argv = splitCommandLine(command);
        if (argv.empty()) throw Error("--recognizer-command is empty");
        bool namesAudio = false;
        for (auto& a : argv) namesAudio = namesAudio || a.find("{wav}") != std::string::npos;
        if (!namesAudio) {
            throw Error(
                "--recognizer-command must name the audio file as {wav}, e.g. "
                "'my-engine --input {wav}'");
        }
        return [argv, work = dirs.work()] {
            return std::make_unique<CommandRecognizer>(argv, work, core::systemClock(),
                                                       CommandRecognizer::Limits{});
        };
    }
};

// `wendrel-local approve CODE`: the running service is asked with the owner key, which only
// the owner of the data folder can read.
int approve(const DataDir& dirs, const std::string& userCode, bool deny) {
    auto address = core::readFile(dirs.listenFile());
    if (!address) {
        throw Error("no wendrel-local is running with the data folder " + dirs.root.string());
    }
    auto listen = parseListen(std::string(core::trimWhitespace(*address)));
    if (listen.host.empty() || listen.host == "0.0.0.0") listen.host = "127.0.0.1";
    if (listen.host == "::") listen.host = "::1";
    httplib::Client client(listen.host, listen.port);
    client.set_connection_timeout(3);
    client.set_read_timeout(10);
    core::Json body{{"user_code", userCode}, {"decision", deny ? "deny" : "approve"}};
    auto r = client.Post("/owner/pairings", {{kOwnerKeyHeader, dirs.ownerKey()}}, body.dump(),
                         "application/json");
    if (!r) {
        throw Error(fmt::format("cannot reach wendrel-local at {}: {}",
                                authority(listen.host, listen.port),
                                httplib::to_string(r.error())));
    }
    auto answer = core::Json::parse(r->body, nullptr, false);
    if (r->status != 200 || !answer.is_object()) {
        std::string message = answer.is_object() ? answer.value("message", r->body) : r->body;
        std::cerr << "wendrel-local: " << message << "\n";
        return 1;
    }
    std::cout << answer.value("status", "") << " " << answer.value("user_code", "") << " for \""
              << answer.value("name", "") << "\"\n";
    return 0;
}

int serve(const DataDir& dirs, const ListenAddress& listen, ServiceOptions options, int workers,
          const RecognizerChoice& recognizer) {
    // Signals are taken by one thread with sigwait, so every other thread runs undisturbed.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    dirs.create();
    int lockFd = lockDataDir(dirs);
    Store store(dirs.database());
    if (int n = store.requeueInterrupted()) {
        core::log("wendrel-local", "{} interrupted transcription(s) queued again", n);
    }
    if (int n = dirs.removeLeftovers(store)) {
        core::log("wendrel-local", "removed {} unfinished upload file(s)", n);
    }
    TranscriptionWorkers pool(store, dirs.audio(), core::systemClock(), recognizer.factory(dirs),
                              workers);
    options.dataDir = dirs.root;
    Service service(options, store, core::systemClock(), [&pool] { pool.wake(); });
    int port = service.bind(listen.host, listen.port);
    core::writeAtomically(dirs.listenFile(), authority(listen.host, port) + "\n", 0600);
    pool.start();
    if (store.queuedCount() > 0) pool.wake();

    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&signals, &sig);
        if (sig != 0) {
            core::log("wendrel-local", "{}: finishing requests in progress and stopping",
                      sig == SIGTERM ? "SIGTERM" : "SIGINT");
        }
        service.stop();
    });
    core::log("wendrel-local", "{} listening on {} (data {}, {} worker(s), recogniser {}{}{})",
              kVersion, service.baseUrl(), dirs.root.string(), workers,
              recognizer.command.empty() ? recognizer.engine : "command: " + recognizer.command,
              options.autoApprove ? ", auto-approve for uid " + std::to_string(::getuid()) : "",
              options.admin ? ", admin" : "");
    service.run();
    pool.stop();
    std::error_code ec;
    std::filesystem::remove(dirs.listenFile(), ec);
    // Wake the signal thread if the server ended on its own.
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    ::close(lockFd);
    core::log("wendrel-local", "stopped");
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"wendrel-local: a local transcription service speaking the Wendrel API"};
    app.set_version_flag("--version", std::string(kVersion));
    app.fallthrough();
    std::string listen = "127.0.0.1:8765";
    std::string data = (core::xdgDataHome() / "wendrel-local").string();
    ServiceOptions options;
    int workers = 1;
    int64_t maxUploadMb = options.maxUploadBytes / (1024 * 1024);
    app.add_option("--listen", listen, "Address to serve on, HOST:PORT")->capture_default_str();
    app.add_option("--data", data, "Folder for the database and the audio")->capture_default_str();
    app.add_flag("--auto-approve", options.autoApprove,
                 "Approve at once pairing requests from this user's processes on this computer");
    RecognizerChoice recognizer;
    app.add_option("--recognizer", recognizer.engine, "Speech recogniser")
        ->check(CLI::IsMember({"pocketsphinx"}))
        ->capture_default_str();
    app.add_option("--recognizer-command", recognizer.command,
                   "Run this command to transcribe instead ({wav} names the 16 kHz mono WAV; "
                   "the transcript is read from its standard output)");
    app.add_option("--workers", workers, "Transcriptions running at the same time")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_option("--max-upload-mb", maxUploadMb, "Largest accepted upload, in MiB")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    app.add_flag("--admin", options.admin,
                 "Serve /admin (fault injection, moving sources) to loopback clients with the "
                 "owner key");

    auto* devicesCmd = app.add_subcommand("devices", "List the paired devices");
    std::string prefix;
    auto* revokeCmd = app.add_subcommand("revoke",
                                         "Revoke the device whose token or id starts "
                                         "with PREFIX");
    revokeCmd->add_option("prefix", prefix, "Token prefix (as listed) or device id")->required();
    auto* approveCmd =
        app.add_subcommand("approve", "Approve the device waiting with USER_CODE (the owner only)");
    std::string userCode;
    bool deny = false;
    approveCmd->add_option("user_code", userCode, "The code the device shows")->required();
    approveCmd->add_flag("--deny", deny, "Deny the request instead");
    app.require_subcommand(0, 1);

    CLI11_PARSE(app, argc, argv);
    try {
        DataDir dirs(core::expandTilde(data));
        if (approveCmd->parsed()) return approve(dirs, userCode, deny);
        if (devicesCmd->parsed() || revokeCmd->parsed()) {
            if (!fs::exists(dirs.database())) {
                std::cout << "no paired devices (no data in " << dirs.root.string() << ")\n";
                return devicesCmd->parsed() ? 0 : 1;
            }
            Store store(dirs.database());
            if (devicesCmd->parsed()) {
                auto list = store.devices();
                if (list.empty()) std::cout << "no paired devices\n";
                for (auto& d : list) {
                    std::cout << d.tokenPrefix << "  " << d.id << "  " << d.name << "  ("
                              << d.clientType << ")  paired " << formatTime(d.createdAt)
                              << "  last used " << formatTime(d.lastUsedAt)
                              << (d.revokedAt ? "  REVOKED " + formatTime(d.revokedAt) : "")
                              << "\n";
                }
                return 0;
            }
            auto active = store.devices();
            size_t matching = 0;
            for (auto& d : active) {
                if (!d.revokedAt &&
                    (d.tokenPrefix.rfind(prefix, 0) == 0 || d.id.rfind(prefix, 0) == 0)) {
                    ++matching;
                }
            }
            if (matching == 0) {
                std::cerr << "wendrel-local: no active device matches \"" << prefix << "\"\n";
                return 1;
            }
            if (matching > 1) {
                std::cerr << "wendrel-local: \"" << prefix << "\" matches " << matching
                          << " devices; give more characters\n";
                return 1;
            }
            for (auto& d : store.revokeDevices(prefix, nowSeconds())) {
                std::cout << "revoked " << d.tokenPrefix << "  " << d.id << "  " << d.name << "\n";
            }
            return 0;
        }
        options.maxUploadBytes = maxUploadMb * 1024 * 1024;
        return serve(dirs, parseListen(listen), options, workers, recognizer);
    } catch (const CLI::ValidationError& e) {
        std::cerr << "wendrel-local: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "wendrel-local: " << e.what() << "\n";
        return 1;
    }
}
