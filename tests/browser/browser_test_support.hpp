#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/queue.hpp"
#include "test_support.hpp"

namespace sayloft::test {

struct InlineQueue : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A folder of stand-in programs put first on PATH while alive.
class FakeBin {
  public:
    FakeBin() : path_("PATH", (dir_.path() / "bin").string() + ":" + std::getenv("PATH")) {
        std::filesystem::create_directories(dir_.path() / "bin");
    }
    void add(const std::string& name, const std::string& script) {
        auto file = dir_.path() / "bin" / name;
        writeFile(file, script);
        std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    }
    const std::filesystem::path& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    ScopedEnv path_;
};

inline void setMtime(const std::filesystem::path& file, std::chrono::system_clock::time_point t) {
    auto s = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    struct timespec times[2] = {{s, 0}, {s, 0}};
    ::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Polls (in real time, bounded) for something another thread or process does.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace sayloft::test
