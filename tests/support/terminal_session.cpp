#include "terminal_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "test_support.hpp"

extern char** environ;

namespace sayloft::test {

TerminalSession::TerminalSession(const std::vector<std::string>& argv,
                                 const std::vector<std::pair<std::string, std::string>>& env) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slave = ::ptsname(master_);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (auto& [k, v] : env) replaced |= entry.rfind(k + "=", 0) == 0;
        if (!replaced) envStrings.push_back(entry);
    }
    for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    // A new session, so the terminal opened afterwards becomes the program's controlling one.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, slave.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
    int rc = ::posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        ::close(master_);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

TerminalSession::~TerminalSession() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitExit(pid_);
    }
    if (master_ >= 0) ::close(master_);
}

bool TerminalSession::readSome(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return true;  // nothing yet
    char buffer[4096];
    ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // the program closed the terminal
    output_.append(buffer, size_t(n));
    return true;
}

bool TerminalSession::waitFor(const std::string& text, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end || !readSome(50)) return false;
    }
    return true;
}

void TerminalSession::type(const std::string& line) {
    const std::string bytes = line + "\n";
    if (::write(master_, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        throw std::runtime_error("cannot type into the terminal");
}

void TerminalSession::interrupt() {
    if (::write(master_, "\x03", 1) != 1) throw std::runtime_error("cannot type into the terminal");
}

int TerminalSession::wait() {
    // Collect what it prints until it closes the terminal (it ended), then reap it.
    while (readSome(50)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            while (readSome(0)) {
                pollfd p{master_, POLLIN, 0};
                if (::poll(&p, 1, 0) <= 0) break;
            }
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    const int code = waitExit(pid_);
    pid_ = -1;
    return code;
}

}  // namespace sayloft::test
