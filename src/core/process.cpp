#include "core/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fmt/format.h>

extern char** environ;

namespace sayloft::core {

namespace fs = std::filesystem;

namespace {

// Closes on scope exit; -1 means nothing to close.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw ProcessError(fmt::format("pipe: {}", strerror(errno)));
    return {Fd(fds[0]), Fd(fds[1])};
}

std::vector<std::string> buildEnvironment(const ProcessOptions& o) {
    std::vector<std::pair<std::string, std::string>> extra = o.environment;
    if (!o.workingDirectory.empty()) {
        bool hasPwd = false;
        for (auto& [k, v] : extra) hasPwd |= k == "PWD";
        if (!hasPwd) extra.emplace_back("PWD", fs::absolute(o.workingDirectory).string());
    }
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (auto& [k, v] : extra) replaced |= k == name;
        if (!replaced) env.emplace_back(entry);
    }
    for (auto& [k, v] : extra) env.push_back(k + "=" + v);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Holds the posix_spawn attribute objects for one launch.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Keeps a captured stream, or only its tail. Trimming happens in batches so a long stream costs
// linear time.
struct Capture {
    Fd fd;
    std::string data;
    size_t keep = 0;

    void append(const char* bytes, size_t n) {
        data.append(bytes, n);
        if (keep > 0 && data.size() > 2 * keep + 65536) data.erase(0, data.size() - keep);
    }
    std::string finish() {
        if (keep > 0 && data.size() > keep) data.erase(0, data.size() - keep);
        return std::move(data);
    }
    // Reads one chunk; false at end of stream or on error.
    bool readSome() {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            append(buffer, size_t(n));
            return true;
        }
    }
    // Reads what is already in the pipe without waiting for more.
    void drain() {
        if (!fd) return;
        int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
        while (readSome()) {
        }
        fd.reset();
    }
};

// Serialises signals against reaping, so a signal never reaches a recycled process id.
class Child {
  public:
    Child(pid_t pid, bool group) : pid_(pid), group_(group) {}
    // Only reached unreaped when the wait was abandoned by an exception: never leave a zombie.
    ~Child() {
        int status;
        if (reaped_) return;
        ::kill(group_ ? -pid_ : pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }

    // The child is no longer ours to signal or reap here (a detached wait).
    void release() {
        std::lock_guard lock(mutex_);
        reaped_ = true;
    }

    void signal(int sig) {
        std::lock_guard lock(mutex_);
        if (!reaped_) ::kill(group_ ? -pid_ : pid_, sig);
    }
    // Reaps the child if it has ended (or, with `block`, once it ends). True when reaped.
    bool reap(bool block, int& status) {
        std::lock_guard lock(mutex_);
        if (reaped_) return true;
        for (;;) {
            pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) return false;
            if (r < 0) status = -1;  // already reaped elsewhere (SIGCHLD ignored)
            reaped_ = true;
            return true;
        }
    }

  private:
    std::mutex mutex_;
    pid_t pid_;
    bool group_;
    bool reaped_ = false;
};

enum class StopReason { none, timeLimit, cancelled };

// Children left running by a detached wait; reaped as they end so they leave no zombies.
std::mutex detachedMutex;
std::vector<pid_t> detachedChildren;

void rememberDetached(pid_t pid) {
    std::lock_guard lock(detachedMutex);
    detachedChildren.push_back(pid);
}

// Ends the child when its time limit passes or the caller cancels: SIGTERM first, SIGKILL after
// the grace period. Deadlines are absolute on the clock, so a clock that jumps past both sends
// both at once.
class Watchdog {
  public:
    Watchdog(const ProcessOptions& o, Clock& clock, Child& child, TimePoint started)
        : options_(o), clock_(clock), child_(child), started_(started) {
        thread_ = std::jthread([this](std::stop_token finished) { run(finished); });
    }
    ~Watchdog() { finish(); }

    void finish() {
        if (!thread_.joinable()) return;
        thread_.request_stop();
        thread_.join();
    }
    StopReason reason() const {
        std::lock_guard lock(mutex_);
        return reason_;
    }

  private:
    void run(std::stop_token finished) {
        std::stop_source interrupt;
        std::stop_callback onFinish(finished, [&] { interrupt.request_stop(); });
        std::stop_callback onCancel(options_.cancel, [&] { interrupt.request_stop(); });
        bool limitReached = false;
        if (options_.timeLimit) {
            Duration left = started_ + *options_.timeLimit - clock_.now();
            limitReached = left <= Duration::zero() || clock_.sleepFor(left, interrupt.get_token());
        } else {
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock lock(m);
            cv.wait(lock, interrupt.get_token(), [] { return false; });
        }
        if (finished.stop_requested()) return;
        TimePoint termAt = clock_.now();
        {
            std::lock_guard lock(mutex_);
            reason_ = limitReached ? StopReason::timeLimit : StopReason::cancelled;
            if (limitReached) termAt = started_ + *options_.timeLimit;
        }
        child_.signal(SIGTERM);
        Duration left = termAt + options_.killGrace - clock_.now();
        if (left > Duration::zero() && !clock_.sleepFor(left, finished)) return;
        if (finished.stop_requested()) return;
        child_.signal(SIGKILL);
    }

    const ProcessOptions& options_;
    Clock& clock_;
    Child& child_;
    TimePoint started_;
    mutable std::mutex mutex_;
    StopReason reason_ = StopReason::none;
    std::jthread thread_;
};

int pidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid, 0));  // always close-on-exec
#else
    return -1;
#endif
}

// Sets up where one standard stream of the child goes. `pipe` receives the read end of a
// capture pipe.
void routeOutput(SpawnSetup& s, int target, const ProcessOutput& to, Capture& capture,
                 std::vector<Fd>& childEnds) {
    using Kind = ProcessOutput::Kind;
    switch (to.kind) {
        case Kind::capture: {
            Pipe p = makePipe();
            posix_spawn_file_actions_adddup2(&s.actions, p.write.get(), target);
            capture.fd = std::move(p.read);
            childEnds.push_back(std::move(p.write));
            break;
        }
        case Kind::discard:
            posix_spawn_file_actions_addopen(&s.actions, target, "/dev/null", O_WRONLY, 0);
            break;
        case Kind::file: {
            Fd f(::open(to.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            if (!f)
                throw ProcessError(
                    fmt::format("cannot open {}: {}", to.file.string(), strerror(errno)));
            posix_spawn_file_actions_adddup2(&s.actions, f.get(), target);
            childEnds.push_back(std::move(f));
            break;
        }
        case Kind::inherit:
            break;
        case Kind::mergeIntoStdout:
            if (target == STDERR_FILENO)
                posix_spawn_file_actions_adddup2(&s.actions, STDOUT_FILENO, STDERR_FILENO);
            break;
    }
}

}  // namespace

void reapDetached() {
    std::lock_guard lock(detachedMutex);
    std::erase_if(detachedChildren, [](pid_t pid) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

ProcessResult runProcess(const ProcessOptions& o) {
    if (o.argv.empty() || o.argv[0].empty()) throw ProcessError("no program to run");
    reapDetached();
    const std::string& program = o.argv[0];
    if (!o.workingDirectory.empty()) {
        std::error_code ec;
        if (!fs::is_directory(o.workingDirectory, ec))
            throw ProcessError(fmt::format("cannot run {}: working directory {} does not exist",
                                           program, o.workingDirectory.string()));
    }
    Clock& clock = o.clock ? *o.clock : systemClock();

    SpawnSetup s;
    posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    Capture out, err;
    out.keep = err.keep = o.keepLastBytes;
    std::vector<Fd> childEnds;
    routeOutput(s, STDOUT_FILENO, o.stdoutTo, out, childEnds);
    routeOutput(s, STDERR_FILENO, o.stderrTo, err, childEnds);
    if (!o.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&s.actions, o.workingDirectory.c_str());

    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (o.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    } else if (o.newProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&s.attr, 0);
    }
    posix_spawnattr_setflags(&s.attr, flags);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setsigdefault(&s.attr, &all);

    std::vector<std::string> args = o.argv;
    std::vector<std::string> env = buildEnvironment(o);
    auto argvPtrs = pointers(args);
    auto envPtrs = pointers(env);

    pid_t pid = -1;
    int rc = program.find('/') == std::string::npos
                 ? posix_spawnp(&pid, program.c_str(), &s.actions, &s.attr, argvPtrs.data(),
                                envPtrs.data())
                 : posix_spawn(&pid, program.c_str(), &s.actions, &s.attr, argvPtrs.data(),
                               envPtrs.data());
    childEnds.clear();
    if (rc != 0) throw ProcessError(fmt::format("cannot run {}: {}", program, strerror(rc)));

    ProcessResult result;
    result.pid = pid;
    result.startedAt = clock.now();
    Child child(pid, o.newProcessGroup || o.newSession);
    Fd pidfd(pidfdOpen(pid));
    std::optional<Watchdog> watchdog;
    if (o.timeLimit || o.cancel.stop_possible())
        watchdog.emplace(o, clock, child, result.startedAt);
    if (o.onStart) {
        try {
            o.onStart(pid);
        } catch (...) {
            // A failing observer must not leave the child unreaped.
        }
    }

    int status = -1;
    bool ended = false;
    const bool mayDetach = o.detach.stop_possible() || o.waitAtMost.has_value();
    const auto waitStarted = std::chrono::steady_clock::now();
    while (!ended) {
        if (mayDetach &&
            (o.detach.stop_requested() ||
             (o.waitAtMost && std::chrono::steady_clock::now() - waitStarted >= *o.waitAtMost))) {
            result.detached = true;
            child.release();
            rememberDetached(pid);
            break;
        }
        std::vector<pollfd> fds;
        if (out.fd) fds.push_back({out.fd.get(), POLLIN, 0});
        if (err.fd) fds.push_back({err.fd.get(), POLLIN, 0});
        if (pidfd) fds.push_back({pidfd.get(), POLLIN, 0});
        // Without a process descriptor the child's end is noticed by polling; a wait that may be
        // given up looks at its token now and then.
        int timeout = !pidfd ? 10 : mayDetach ? 20 : -1;
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) pidfd.reset();
        bool pidfdReady = false;
        for (auto& p : fds) {
            if (p.revents == 0) continue;
            if (p.fd == pidfd.get()) {
                pidfdReady = true;
            } else {
                Capture& c = p.fd == out.fd.get() ? out : err;
                if (!c.readSome()) c.fd.reset();
            }
        }
        // Blocking is safe only once the descriptor says the child has ended: reaping holds
        // the lock the watchdog needs to signal.
        if (pidfdReady || !pidfd) ended = child.reap(pidfdReady, status);
    }
    if (!result.detached) {
        out.drain();
        err.drain();
    }
    if (watchdog) {
        watchdog->finish();
        result.timedOut = watchdog->reason() == StopReason::timeLimit;
        result.cancelled = watchdog->reason() == StopReason::cancelled;
    }
    result.endedAt = clock.now();
    if (status != -1 && WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (status != -1 && WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = out.finish();
    result.err = err.finish();
    return result;
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

}  // namespace sayloft::core
