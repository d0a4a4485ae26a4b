#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>

#include "core/clock.hpp"

namespace sayloft::capture {

// Runs the user's after-transcript command once a capture's transcript is in the vault: in a
// login shell, with the vault as working directory and SAYLOFT_ID, SAYLOFT_FILE and
// SAYLOFT_FOLDER naming the capture. The capture id and paths reach the command only through
// the environment. At most one run per capture id exists at a time; runs of different
// captures overlap on threads this object owns. Every run ends after ten minutes of clock time;
// the end of its output goes to the capture log.
//
// A command belongs to the user, not to the process that started it: it runs in a session of its
// own (no Ctrl-C or closed terminal of ours reaches it), writes its output to a file rather than
// a pipe, and runs under `timeout`, which cuts it off after the same ten minutes when the process
// that started it is no longer there to do so.
class AfterTranscriptCommand {
  public:
    struct Settings {
        std::string command;    // the shell command text; blank: nothing runs
        std::string vaultPath;  // a leading "~" is expanded
    };
    using SettingsProvider = std::function<Settings()>;

    static constexpr size_t kOutputTailBytes = 2000;
    static constexpr core::Duration kTimeLimit = std::chrono::seconds(600);

    // `settings` is read on every call. `shell` overrides the login shell (tests).
    explicit AfterTranscriptCommand(SettingsProvider settings,
                                    core::Clock& clock = core::systemClock(),
                                    std::string shell = {});
    ~AfterTranscriptCommand();
    AfterTranscriptCommand(const AfterTranscriptCommand&) = delete;
    AfterTranscriptCommand& operator=(const AfterTranscriptCommand&) = delete;

    // Starts the command for `id` unless it is already running for it; returns at once.
    void transcriptWritten(const std::string& id);

    bool isRunning(const std::string& id) const;
    // Blocks until no command runs.
    void waitUntilIdle();
    bool isIdle() const;
    // Refuses new runs, ends running commands (termination, then a kill after a grace period
    // on the clock) and joins their threads.
    void stop();
    // Refuses new runs and stops following the running ones, which run on to their end (or to
    // their time limit, enforced by `timeout`). Used when sayloft itself exits.
    void detach();

    // zsh where installed; else the user's login shell from the password database; else /bin/sh.
    static std::string loginShell();

  private:
    struct Worker;
    void run(const std::string& id, const std::string& command, const std::string& vaultPath,
             std::stop_token stop);
    void end(bool kill);
    void finished(const std::string& id, Worker* worker);

    SettingsProvider settings_;
    core::Clock& clock_;
    std::string shell_;
    mutable std::mutex lock_;
    std::condition_variable idle_;
    std::set<std::string> running_;
    std::list<std::unique_ptr<Worker>> workers_;
    bool stopped_ = false;
    std::stop_source detach_;
};

}  // namespace sayloft::capture
