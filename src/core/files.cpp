#include "core/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <fmt/format.h>

namespace sayloft::core {

namespace fs = std::filesystem;

FileError::FileError(std::string step, int code)
    : Error(step + ": " + std::strerror(code)), step_(std::move(step)), code_(code) {}

std::optional<std::string> readFile(const fs::path& path) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; fstat then refuses it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return std::nullopt;
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buffer, size_t(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> readFileTail(const fs::path& path, size_t bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    off_t start = st.st_size > off_t(bytes) ? st.st_size - off_t(bytes) : 0;
    std::string out(size_t(st.st_size - start), '\0');
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd, out.data() + done, out.size() - done, start + off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    out.resize(done);
    return out;
}

namespace {

bool writeAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += size_t(n);
    }
    return true;
}

void createParent(const fs::path& target) {
    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    if (ec) throw FileError("mkdir", ec.value());
}

void syncFolder(const fs::path& folder) {
    int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

std::string uniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return fmt::format("{}.{}", ::getpid(), counter.fetch_add(1));
}

}  // namespace

void writeAtomically(const fs::path& target, std::string_view bytes, mode_t mode, Sync sync) {
    createParent(target);
    fs::path temp =
        target.parent_path() / ("." + target.filename().string() + "." + uniqueSuffix() + ".tmp");
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) throw FileError("open", errno);
    ::fchmod(fd, mode);  // the umask may have narrowed it; never widen beyond `mode`
    if (!writeAll(fd, bytes)) {
        int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw FileError("write", e);
    }
    if (sync == Sync::durable && ::fsync(fd) != 0) {
        int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw FileError("fsync", e);
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw FileError("write", e);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        throw FileError("rename", e);
    }
    if (sync == Sync::durable) syncFolder(target.parent_path());
}

void writeDurably(const fs::path& target, std::string_view bytes) {
    createParent(target);
    fs::path temp =
        target.parent_path() / ("." + target.filename().string() + "." + uniqueSuffix() + ".tmp");
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw FileError("open", errno);
    auto fail = [&](const char* step) {
        int e = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        throw FileError(step, e);
    };
    if (!writeAll(fd, bytes)) fail("write");
    // Linux has no F_FULLFSYNC; fdatasync would skip the size update, so fsync it is.
    if (::fsync(fd) != 0) fail("fsync");
    ::close(fd);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());  // no temporary file outlives a failed write
        throw FileError("rename", e);
    }
    syncFolder(target.parent_path());
}

}  // namespace sayloft::core
