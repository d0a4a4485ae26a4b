#include "test_support.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "core/log.hpp"
#include "core/process.hpp"

extern char** environ;

namespace sayloft::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "sayloft-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only leftovers of permission tests removable.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

std::vector<std::pair<std::string, std::string>> homeEnv(
    const fs::path& home, std::vector<std::pair<std::string, std::string>> extra) {
    fs::create_directories(home / ".run");
    fs::permissions(home / ".run", fs::perms::owner_all, fs::perm_options::replace);
    std::vector<std::pair<std::string, std::string>> env = {
        {"HOME", home.string()},
        {"XDG_CONFIG_HOME", (home / ".config").string()},
        {"XDG_STATE_HOME", (home / ".local/state").string()},
        {"XDG_DATA_HOME", (home / ".local/share").string()},
        {"XDG_CACHE_HOME", (home / ".cache").string()},
        {"XDG_RUNTIME_DIR", (home / ".run").string()}};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

TempHome::TempHome() {
    for (auto& [name, value] : homeEnv(dir_.path())) {
        const char* old = getenv(name.c_str());
        previous_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
}

TempHome::~TempHome() {
    for (auto& [name, value] : previous_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

struct LogCollector::Impl {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    int token = 0;
};

LogCollector::LogCollector() : impl_(new Impl) {
    core::LogConfig::setStderr(false);
    impl_->token = core::LogConfig::addListener([impl = impl_](const std::string& line) {
        std::lock_guard lock(impl->mutex);
        impl->lines.push_back(line);
    });
}

LogCollector::~LogCollector() {
    core::LogConfig::removeListener(impl_->token);
    core::LogConfig::setStderr(true);
    delete impl_;
}

std::vector<std::string> LogCollector::lines() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lines;
}

size_t LogCollector::count(const std::string& needle) const {
    std::lock_guard lock(impl_->mutex);
    size_t n = 0;
    for (auto& l : impl_->lines) n += l.find(needle) != std::string::npos;
    return n;
}

size_t countIn(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

RunResult run(const std::vector<std::string>& argv,
              const std::vector<std::pair<std::string, std::string>>& env) {
    core::ProcessOptions options;
    options.argv = argv;
    options.environment = env;
    RunResult result;
    try {
        auto r = core::runProcess(options);
        result.exitCode = r.exited ? r.exitStatus : -1;
        result.out = std::move(r.out);
        result.err = std::move(r.err);
    } catch (const core::ProcessError& e) {
        result.err = e.what();
    }
    return result;
}

pid_t spawnBackground(const std::vector<std::string>& argv, const fs::path& logFile,
                      const std::vector<std::pair<std::string, std::string>>& env) {
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

fs::path buildPath(const std::string& relative) {
    if (const char* dir = getenv("SAYLOFT_BINARY_DIR")) return fs::path(dir) / relative;
    // Run by hand: the build folder is the nearest one above this test that holds CMakeCache.txt.
    std::error_code ec;
    for (auto dir = fs::read_symlink("/proc/self/exe", ec).parent_path();
         !dir.empty() && dir != "/"; dir = dir.parent_path()) {
        if (fs::exists(dir / "CMakeCache.txt")) return dir / relative;
    }
    return fs::path(relative);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace sayloft::test

namespace sayloft::test {

core::Json settingsFor(const std::filesystem::path& vault, const std::string& name) {
    return {{"vaultPath", vault.string()},
            {"vaultName", name},
            {"additionalPaths", core::Json::array()},
            {"refreshInterval", 60},
            {"recentDays", 7},
            {"maxFiles", 500},
            {"includeExtensions", {"md"}},
            {"excludeDirs", core::Json::array()}};
}

core::Json watchedFolder(const std::string& id, const std::filesystem::path& path,
                         const std::string& displayName, bool enabled) {
    return {{"id", id},
            {"path", path.string()},
            {"displayName", displayName},
            {"enabled", enabled},
            {"extensions", core::Json::array()},
            {"normaliser", "none"}};
}

}  // namespace sayloft::test
