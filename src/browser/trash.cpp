#include "browser/trash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "browser/file_entry.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"

namespace sayloft::browser {

namespace fs = std::filesystem;

namespace {

std::string shown(const fs::path& path) {
    return core::repairUtf8(path.string());
}

[[noreturn]] void fail(const fs::path& path, const std::string& why) {
    throw TrashError(fmt::format("Cannot move {} to the trash: {}", shown(path), why));
}

bool sameDevice(const fs::path& a, const fs::path& b) {
    struct stat sa {
    }, sb{};
    return ::lstat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

// The top folder of the file system holding `path`.
fs::path mountTop(const fs::path& path) {
    struct stat s {};
    if (::lstat(path.c_str(), &s) != 0) return "/";
    fs::path top = path;
    while (top.has_parent_path() && top.parent_path() != top) {
        struct stat p {};
        if (::stat(top.parent_path().c_str(), &p) != 0 || p.st_dev != s.st_dev) break;
        top = top.parent_path();
    }
    return top;
}

// A folder we own, created 0700 when missing; false when something else is there.
bool ownedFolder(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat s {};
    return ::lstat(dir.c_str(), &s) == 0 && S_ISDIR(s.st_mode) && s.st_uid == ::getuid();
}

// The trash for a file on another file system, and the base its Path= is relative to.
std::pair<fs::path, fs::path> volumeTrash(const fs::path& file) {
    fs::path top = mountTop(file);
    std::string uid = std::to_string(::getuid());
    struct stat s {};
    fs::path shared = top / ".Trash";
    if (::lstat(shared.c_str(), &s) == 0 && S_ISDIR(s.st_mode) && (s.st_mode & S_ISVTX) &&
        ownedFolder(shared / uid))
        return {shared / uid, top};
    fs::path own = top / (".Trash-" + uid);
    if (ownedFolder(own)) return {own, top};
    return {};
}

std::string escapedPath(const std::string& path) {
    return fileUrl(path).substr(7);  // without "file://"
}

std::string candidateName(const std::string& name, int n) {
    if (n == 1) return name;
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return fmt::format("{}.{}", name, n);
    return fmt::format("{}.{}{}", name.substr(0, dot), n, name.substr(dot));
}

}  // namespace

fs::path homeTrash() {
    return core::xdgDataHome() / "Trash";
}

TrashedFile moveToTrash(const fs::path& given, core::TimePoint now) {
    std::error_code ec;
    fs::path path = fs::absolute(given, ec).lexically_normal();
    if (ec || path.filename().empty()) fail(given, "not a file");
    struct stat s {};
    if (::lstat(path.c_str(), &s) != 0) fail(path, std::strerror(errno));

    fs::path trash = homeTrash();
    fs::create_directories(trash, ec);
    std::string originalPath = path.string();
    if (!sameDevice(path, trash.parent_path())) {
        auto [volume, top] = volumeTrash(path);
        if (volume.empty()) fail(path, "this file system has no trash folder you can use");
        trash = volume;
        originalPath = path.lexically_relative(top).string();
    }
    fs::path files = trash / "files", info = trash / "info";
    for (auto& dir : {trash, files, info}) {
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            fail(path, fmt::format("{}: {}", shown(dir), std::strerror(errno)));
    }

    std::string contents =
        fmt::format("[Trash Info]\nPath={}\nDeletionDate={}\n", escapedPath(originalPath),
                    core::formatLocal(now, "yyyy-MM-ddTHH:mm:ss"));
    std::string name = path.filename().string();
    for (int n = 1; n < 10000; ++n) {
        std::string candidate = candidateName(name, n);
        fs::path infoFile = info / (candidate + ".trashinfo");
        fs::path target = files / candidate;
        struct stat t {};
        if (::lstat(target.c_str(), &t) == 0) continue;
        // Creating the .trashinfo exclusively claims the name.
        int fd = ::open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) fail(path, fmt::format("{}: {}", shown(infoFile), std::strerror(errno)));
        bool written = ::write(fd, contents.data(), contents.size()) == ssize_t(contents.size());
        written = ::fsync(fd) == 0 && written;
        ::close(fd);
        if (!written) {
            int e = errno;
            ::unlink(infoFile.c_str());
            fail(path, std::strerror(e));
        }
        if (::rename(path.c_str(), target.c_str()) != 0) {
            int e = errno;
            ::unlink(infoFile.c_str());
            fail(path, std::strerror(e));
        }
        return {target, infoFile};
    }
    fail(path, "too many files of that name in the trash");
}

}  // namespace sayloft::browser
