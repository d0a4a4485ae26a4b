#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "app/engine.hpp"
#include "core/clock.hpp"
#include "core/json.hpp"
#include "core/signals.hpp"

namespace sayloft::cli {

// What every command shares: the options that apply to all of them, the signal waiter, and
// the exit status the chosen command leaves. Created in main() and handed to each family.
class Cli {
  public:
    explicit Cli(core::SignalWaiter& signals) : signals_(signals) {}

    // Product delays (size samples, ticks) pass instantly: for scripted runs and tests.
    bool virtualClock = false;
    // Every product delay runs this many times faster (end-to-end runs); 1 is real time.
    double timeScale = 1;
    int exitCode = 0;

    core::SignalWaiter& signals() { return signals_; }
    // The clock an engine hosted by this process uses, as the options say.
    core::Clock& clock();
    // Creates an engine in this process (the capture log is installed first).
    std::unique_ptr<app::Engine> makeEngine(const std::string& role);
    // Sends a request to this user's engine (hosting one here when none runs) and prints what
    // it says: standard output and standard error lines as they come. Returns its exit code.
    int request(const std::string& method, core::Json params = core::Json::object());
    // The same through a running daemon only: nothing when none runs (no engine is hosted).
    std::optional<int> requestIfRunning(const std::string& method,
                                        core::Json params = core::Json::object());

  private:
    core::SignalWaiter& signals_;
    std::unique_ptr<core::Clock> clock_;
};

void addCaptureCommands(CLI::App& app, Cli& cli);     // run, poll, import, retry, sync, status
void addNoteCommands(CLI::App& app, Cli& cli);        // note show
void addServiceCommands(CLI::App& app, Cli& cli);     // pair, unpair
void addSettingsCommands(CLI::App& app, Cli& cli);    // settings, folders
void addOnboardingCommands(CLI::App& app, Cli& cli);  // doctor, autostart, setup
void addBrowserCommands(CLI::App& app, Cli& cli);     // menu, search, trash
void addRecorderCommands(CLI::App& app, Cli& cli);    // recordings, record

// A first run gets a settings file that watches a demo folder (~/sayloft-demo/Recordings, filed
// into ~/sayloft-demo/Vault). An existing file, even a broken one, is never replaced. Returns
// whether it was created.
bool ensureSettingsFile();

// Appends this process's log lines to the capture log too.
void installCaptureLog();

}  // namespace sayloft::cli
