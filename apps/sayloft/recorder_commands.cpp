#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "app/control_socket.hpp"
#include "app/engine_host.hpp"
#include "app/instance_lock.hpp"
#include "commands.hpp"

namespace sayloft::cli {

namespace {

using core::Json;

std::string formatElapsed(double seconds) {
    const int s = std::max(0, int(seconds));
    if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
    return fmt::format("{:02}:{:02}", s / 60, s % 60);
}

// A level meter of ten steps over the last 60 dB.
std::string meter(double level) {
    const double db = 20 * std::log10(std::max(level, 1e-6));
    const int n = std::clamp(int(std::lround((db + 60) / 6)), 0, 10);
    return "[" + std::string(n, '#') + std::string(10 - n, '-') + "]";
}

std::string stateText(const std::string& state) {
    if (state == "recording") return "Recording";
    if (state == "paused") return "Paused";
    if (state == "starting") return "Starting…";
    if (state == "stopping") return "Finishing…";
    if (state == "failed") return "Stopped";
    return "Not recording";
}

// Shows the recorder's state: one line redrawn in place on a terminal, else a plain line each
// second or change of state. New warnings get lines of their own.
class StatusView {
  public:
    explicit StatusView(bool terminal) : terminal_(terminal) {}

    void show(const Json& s) {
        std::lock_guard guard(mutex_);
        const std::string state = s.value("state", "");
        const double elapsed = s.value("elapsed", 0.0);
        if (s.contains("warnings")) {
            for (auto& w : s["warnings"]) {
                const std::string text = w.get<std::string>();
                if (std::find(shown_.begin(), shown_.end(), text) != shown_.end()) continue;
                shown_.push_back(text);
                lineBreak();
                std::cout << "! " << text << std::endl;
            }
        }
        std::string line = stateText(state) + " " + formatElapsed(elapsed);
        if (state == "recording" || state == "paused") {
            if (s.contains("microphone") && !s["microphone"].is_null())
                line += "  mic " + meter(s.value("micLevel", 0.0));
            line += "  system " + meter(s.value("systemLevel", 0.0));
        }
        if (terminal_) {
            std::cout << "\r" << line << "\x1b[K" << std::flush;
            open_ = true;
            return;
        }
        const int second = int(elapsed);
        if (state == lastState_ && second == lastSecond_) return;
        lastState_ = state;
        lastSecond_ = second;
        std::cout << line << std::endl;
    }
    // Ends the redrawn line before other output.
    void lineBreak() {
        if (open_) std::cout << std::endl;
        open_ = false;
    }
    std::mutex& mutex() { return mutex_; }

  private:
    bool terminal_;
    bool open_ = false;
    std::string lastState_;
    int lastSecond_ = -1;
    std::vector<std::string> shown_;
    std::mutex mutex_;
};

// `sayloft record`: starts a recording and follows it until it has been sent. The first Ctrl-C
// stops and sends; a second one offers to discard instead, as long as the hand-over has not begun.
int recordInteractively(Cli& cli, Json params) {
    StatusView view(::isatty(STDOUT_FILENO));
    app::RequestOutput output{[&](const std::string& line) {
                                  if (!line.empty() && line[0] == '\x1e') {
                                      view.show(Json::parse(line.substr(1), nullptr, false));
                                      return;
                                  }
                                  std::lock_guard guard(view.mutex());
                                  view.lineBreak();
                                  std::cout << line << std::endl;
                              },
                              [&](const std::string& line) {
                                  std::lock_guard guard(view.mutex());
                                  view.lineBreak();
                                  std::cerr << line << std::endl;
                              }};
    app::RequestOutput quietOutput{[](const std::string&) {}, output.err};

    // Requests go to the running engine, or to one hosted here for the recording's duration;
    // either way Ctrl-C reaches the recording as a request of its own, not as a hang-up.
    app::EngineAddress address;
    std::unique_ptr<app::InstanceLock> lock;
    std::unique_ptr<app::Engine> engine;
    if (!app::connectToEngine(address.socketPath())) {
        lock = app::InstanceLock::tryAcquire(address.lockDir(), "command");
        if (lock) {
            engine = cli.makeEngine("command");
            engine->launch();
        }
    }
    std::stop_source never;
    auto send = [&](const std::string& method, const Json& p, const app::RequestOutput& out) {
        Json request{{"method", method}, {"params", p}};
        if (engine) return engine->handle(request, out, never.get_token()).value("exitCode", 1);
        return app::runThroughEngine(
            request, out, never.get_token(),
            [&](const std::string& role) { return cli.makeEngine(role); }, address);
    };

    std::atomic<bool> finished{false};
    int exitCode = 1;
    std::jthread recording([&] {
        exitCode = send("record", params, output);
        finished = true;
    });
    std::vector<std::jthread> side;
    int handled = 0;
    bool asked = false;
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int signals = cli.signals().count();
        if (signals == handled) continue;
        handled = signals;
        if (handled == 1) {
            {
                std::lock_guard guard(view.mutex());
                view.lineBreak();
                std::cout << "Stopping and sending… (Ctrl-C again to discard instead)" << std::endl;
            }
            side.emplace_back([&] { send("record.stop", Json::object(), quietOutput); });
        } else if (!asked) {
            asked = true;
            {
                std::lock_guard guard(view.mutex());
                view.lineBreak();
                std::cout << "Discard this recording? It is deleted and not sent. This cannot be "
                             "undone. [y/N] "
                          << std::flush;
            }
            std::string answer;
            std::getline(std::cin, answer);
            if (answer == "y" || answer == "Y" || answer == "yes")
                send("record.discard", Json::object(), output);
        }
    }
    recording.join();
    side.clear();
    {
        std::lock_guard guard(view.mutex());
        view.lineBreak();
    }
    if (engine) {
        engine->waitForWork();
        engine->shutdown();
    }
    return exitCode;
}

}  // namespace

void addRecorderCommands(CLI::App& app, Cli& cli) {
    auto* recordings = app.add_subcommand(
        "recordings", "List the unfinished meeting recordings, or send or discard one");
    recordings->callback([&cli, recordings] {
        if (recordings->get_subcommands().empty()) cli.exitCode = cli.request("recordings");
    });
    auto id = std::make_shared<std::string>();
    for (auto action : {"send", "discard"}) {
        auto* sub = recordings->add_subcommand(
            action, std::string(action == std::string("send")
                                    ? "Encode an unfinished recording and send it like a memo"
                                    : "Remove an unfinished recording for good"));
        sub->add_option("id", *id, "The recording's id, as `sayloft recordings` lists it")
            ->required();
        sub->callback([&cli, id, action] {
            cli.exitCode = cli.request(std::string("recordings.") + action, {{"id", *id}});
        });
    }

    app.add_subcommand("devices", "List the apps playing audio, the microphones and the output")
        ->callback([&cli] { cli.exitCode = cli.request("devices"); });

    struct Record {
        std::string source;
        std::string mic;
        bool noMic = false;
        double seconds = 0;
        // Records two audio files as one meeting recording (microphone left, system right) and
        // sends it: drives the whole recording path without audio hardware.
        std::string simulate;
        double segmentSeconds = 0;
    };
    auto o = std::make_shared<Record>();
    auto* record = app.add_subcommand(
        "record",
        "Record a meeting: the sound of this computer and the microphone, sent when it "
        "stops (Ctrl-C stops and sends)");
    record->add_option("--source", o->source, "all (every app) or the id of one app playing audio")
        ->default_str("all");
    record->add_option("--mic", o->mic, "The microphone to record, by id or name");
    record->add_flag("--no-mic", o->noMic, "Record only the sound of this computer");
    record->add_option("--seconds", o->seconds, "Stop and send after this many seconds")
        ->check(CLI::PositiveNumber);
    record->add_option("--simulate", o->simulate, "MIC.wav,SYSTEM.wav")->group("");
    record->add_option("--segment-seconds", o->segmentSeconds)->group("");
    for (auto action : {"pause", "resume", "stop", "discard"}) {
        const std::string help =
            std::string(action) == "stop"      ? "Stop the running recording and send it"
            : std::string(action) == "discard" ? "Throw the running recording away"
            : std::string(action) == "pause"   ? "Pause the running recording"
                                               : "Go on with the paused recording";
        record->add_subcommand(action, help)->callback([&cli, action] {
            cli.exitCode = cli.request(std::string("record.") + action);
        });
    }
    record->callback([&cli, o, record] {
        if (!record->get_subcommands().empty()) return;
        if (!o->simulate.empty()) {
            auto comma = o->simulate.find(',');
            if (comma == std::string::npos) {
                std::cerr << "--simulate takes MIC.wav,SYSTEM.wav\n";
                cli.exitCode = 2;
                return;
            }
            cli.exitCode = cli.request("record.simulate",
                                       {{"mic", o->simulate.substr(0, comma)},
                                        {"system", o->simulate.substr(comma + 1)},
                                        {"timeScale", cli.timeScale == 1 ? 1.0 : cli.timeScale},
                                        {"segmentSeconds", o->segmentSeconds}});
            return;
        }
        if (!o->mic.empty() && o->noMic) {
            std::cerr << "--mic and --no-mic exclude each other\n";
            cli.exitCode = 2;
            return;
        }
        Json params{{"source", o->source.empty() ? "all" : o->source},
                    {"noMic", o->noMic},
                    {"seconds", o->seconds}};
        if (!o->mic.empty()) params["microphone"] = o->mic;
        cli.exitCode = recordInteractively(cli, std::move(params));
    });
}

}  // namespace sayloft::cli
