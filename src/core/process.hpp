#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/error.hpp"

namespace sayloft::core {

// A process that could not be started; what() names the program and the system's reason.
class ProcessError : public Error {
  public:
    using Error::Error;
};

// Where a child's standard output or standard error goes.
struct ProcessOutput {
    enum class Kind {
        capture,          // into a pipe, collected in ProcessResult
        discard,          // /dev/null
        file,             // created or truncated, mode 0644
        inherit,          // this process's own stream
        mergeIntoStdout,  // standard error only: the same destination as standard output
    };
    Kind kind = Kind::capture;
    std::filesystem::path file;

    static ProcessOutput captured() { return {}; }
    static ProcessOutput discarded() { return {Kind::discard, {}}; }
    static ProcessOutput toFile(std::filesystem::path path) {
        return {Kind::file, std::move(path)};
    }
    static ProcessOutput inherited() { return {Kind::inherit, {}}; }
    static ProcessOutput mergedIntoStdout() { return {Kind::mergeIntoStdout, {}}; }
};

struct ProcessOptions {
    // argv[0] is the program: a path, or a name looked up in PATH. No shell is involved unless
    // the caller runs one itself (e.g. {"/bin/sh", "-c", text}).
    std::vector<std::string> argv;
    // Set on top of this process's environment (replacing variables of the same name).
    std::vector<std::pair<std::string, std::string>> environment;
    // Empty: this process's working directory. Otherwise it must exist; PWD follows it.
    std::filesystem::path workingDirectory;
    ProcessOutput stdoutTo = ProcessOutput::captured();
    ProcessOutput stderrTo = ProcessOutput::captured();
    // Above zero: only the last this many bytes of each captured stream are kept.
    size_t keepLastBytes = 0;
    // Measured on `clock` from the launch. When reached the process group gets SIGTERM and,
    // killGrace later, SIGKILL.
    std::optional<Duration> timeLimit;
    Duration killGrace = seconds(5);
    Clock* clock = nullptr;  // systemClock() when null
    // Stopping this token ends the run the same way a time limit does.
    std::stop_token cancel;
    // Called on the calling thread right after a successful launch.
    std::function<void(pid_t)> onStart;
    // The child leads a new process group, so that signals reach what it started too.
    bool newProcessGroup = true;
    // The child leads a new session (and so a new group): it has no controlling terminal, so a
    // Ctrl-C or a closed terminal of ours never reaches it.
    bool newSession = false;
    // Stopping this token ends the waiting, not the child: runProcess returns at once with
    // `detached` set and the child runs on. Output captured into pipes is cut off then, so a
    // child that may be detached writes to files.
    std::stop_token detach;
    // Waits at most this long (real time) for the child to end, then returns detached.
    std::optional<std::chrono::milliseconds> waitAtMost;
};

struct ProcessResult {
    pid_t pid = -1;
    bool exited = false;  // ended by exit(); exitStatus holds its status
    int exitStatus = -1;
    int signal = 0;          // the signal that ended it, when not exited
    bool timedOut = false;   // the time limit ended it
    bool cancelled = false;  // the cancel token ended it
    bool detached = false;   // still running when runProcess returned (see ProcessOptions)
    std::string out;         // captured standard output (or its tail)
    std::string err;         // captured standard error (or its tail)
    TimePoint startedAt{};
    TimePoint endedAt{};

    bool succeeded() const { return exited && exitStatus == 0; }
    // The exit status, or the signal number when a signal ended the process.
    int status() const { return exited ? exitStatus : signal; }
    Duration elapsed() const { return endedAt - startedAt; }
};

// Runs a process to its end and reaps it. Standard input is /dev/null; every descriptor this
// process opens for the child is close-on-exec. Output written by processes the child leaves
// behind after it exits is not collected. Throws ProcessError when the process cannot start.
ProcessResult runProcess(const ProcessOptions& options);

// Reaps children that runProcess left running (detached) and that have ended since. Called by
// runProcess itself; a long-lived process may call it from time to time.
void reapDetached();

// `text` as one POSIX shell word in single quotes: 'it'\''s'.
std::string shellQuote(std::string_view text);

}  // namespace sayloft::core
