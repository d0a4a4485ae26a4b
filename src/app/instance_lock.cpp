#include "app/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "core/error.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;

namespace {

fs::path lockPath(const fs::path& dir) {
    return dir / "engine.lock";
}

int openLockFile(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return ::open(lockPath(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::tryAcquire(const fs::path& dir,
                                                       const std::string& role) {
    int fd = openLockFile(dir);
    if (fd < 0) {
        throw Error("cannot open the lock file " + lockPath(dir).string() + ": " +
                    std::strerror(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::string who = std::to_string(::getpid()) + " " + role + "\n";
    if (::ftruncate(fd, 0) == 0) {
        ssize_t written = ::pwrite(fd, who.data(), who.size(), 0);
        (void)written;  // the holder's name is informative only
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(dir, fd));
}

std::optional<InstanceLock::Holder> InstanceLock::holder(const fs::path& dir) {
    int fd = ::open(lockPath(dir).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    // A shared lock that can be had means nobody holds the exclusive one.
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return std::nullopt;
    }
    char buffer[128] = {};
    ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    Holder h;
    if (n > 0) {
        std::istringstream in(std::string(buffer, size_t(n)));
        in >> h.pid >> h.role;
    }
    return h;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        ::ftruncate(fd_, 0);
        ::close(fd_);  // releases the lock
    }
}

}  // namespace sayloft::app
