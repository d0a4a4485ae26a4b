#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace sayloft::app {

// The per-user lock that makes one process the owner of sayloft's state: whoever holds it hosts
// the engine. The lock file also names its holder ("<pid> <role>"), so that others can say who
// is working. The kernel drops the lock when the holder dies, however it dies.
class InstanceLock {
  public:
    struct Holder {
        pid_t pid = 0;
        std::string role;  // "daemon" or "command"
    };

    // Takes the lock in `dir` without waiting; nothing when another process holds it. Throws
    // when the lock file cannot be opened at all.
    static std::unique_ptr<InstanceLock> tryAcquire(const std::filesystem::path& dir,
                                                    const std::string& role);
    // Who holds the lock now, when anyone does.
    static std::optional<Holder> holder(const std::filesystem::path& dir);

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    const std::filesystem::path& dir() const { return dir_; }

  private:
    InstanceLock(std::filesystem::path dir, int fd) : dir_(std::move(dir)), fd_(fd) {}
    std::filesystem::path dir_;
    int fd_ = -1;
};

}  // namespace sayloft::app
