#include "test_support.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "core/log.hpp"
#include "core/process.hpp"

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

TempHome::TempHome() {
    if (const char* h = getenv("HOME")) {
        previous_ = h;
        hadPrevious_ = true;
    }
    setenv("HOME", dir_.path().c_str(), 1);
}

TempHome::~TempHome() {
    if (hadPrevious_) {
        setenv("HOME", previous_.c_str(), 1);
    } else {
        unsetenv("HOME");
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
