#include "app/onboarding/running_apps.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/files.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

namespace {

// The state letter from /proc/<pid>/stat (after the parenthesised command name).
char processState(pid_t pid) {
    auto stat = core::readFile(fs::path("/proc") / std::to_string(pid) / "stat");
    if (!stat) return 0;
    auto close = stat->rfind(')');
    if (close == std::string::npos || close + 2 >= stat->size()) return 0;
    return (*stat)[close + 2];
}

std::optional<uid_t> realUid(pid_t pid) {
    std::ifstream status(fs::path("/proc") / std::to_string(pid) / "status");
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("Uid:")) continue;
        std::istringstream fields(line.substr(4));
        uid_t uid;
        if (fields >> uid) return uid;
    }
    return std::nullopt;
}

std::string executableName(pid_t pid) {
    std::error_code ec;
    auto exe = fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "exe", ec);
    if (!ec) {
        std::string name = exe.filename().string();
        const std::string deleted = " (deleted)";
        if (name.ends_with(deleted)) name.resize(name.size() - deleted.size());
        return name;
    }
    auto comm = core::readFile(fs::path("/proc") / std::to_string(pid) / "comm");
    if (!comm) return {};
    while (!comm->empty() && comm->back() == '\n') comm->pop_back();
    return *comm;
}

}  // namespace

bool isProcessAlive(pid_t pid) {
    char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

std::vector<pid_t> findRunningByExecutable(const std::string& name) {
    std::vector<pid_t> found;
    const uid_t me = ::getuid();
    const pid_t self = ::getpid();
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.empty() || entry.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(entry));
        if (pid == self || realUid(pid) != me) continue;
        if (executableName(pid) == name && isProcessAlive(pid)) found.push_back(pid);
    }
    return found;
}

}  // namespace sayloft::app
