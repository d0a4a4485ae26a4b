#include "app/onboarding/migration_moves.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

namespace sayloft::app::moves {

namespace fs = std::filesystem;

namespace {

// rename() that fails with EEXIST instead of replacing an existing target.
int renameNoReplace(const fs::path& from, const fs::path& to) {
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
}

std::string errnoText(int code) {
    return std::strerror(code);
}

// Copies a file or folder tree (links stay links) to `to`, flushing each file.
void copyTree(const fs::path& from, const fs::path& to) {
    auto status = fs::symlink_status(from);
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to);
    } else if (fs::is_directory(status)) {
        fs::create_directory(to);
        fs::permissions(to, status.permissions());
        for (auto& entry : fs::directory_iterator(from))
            copyTree(entry.path(), to / entry.path().filename());
    } else {
        fs::copy_file(from, to);
        fs::permissions(to, status.permissions());
        int fd = ::open(to.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
}

}  // namespace

void removeEmptyLibraryFolders() {
    const fs::path support = core::legacy::appSupportDir().parent_path();
    for (const fs::path& dir :
         {support, core::legacy::logsDir().parent_path(), core::legacy::cachesDir().parent_path(),
          core::legacy::defaultsFile().parent_path(), support.parent_path()})
        ::rmdir(dir.c_str());  // fails, harmlessly, unless the folder is empty
}

bool present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool sameContents(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(a, ec)) ||
        !fs::is_regular_file(fs::symlink_status(b, ec)))
        return false;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
    auto left = core::readFile(a);
    auto right = core::readFile(b);
    return left && right && *left == *right;
}

bool isCopiedInto(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    auto status = fs::symlink_status(from, ec);
    auto target = fs::symlink_status(to, ec);
    if (fs::is_symlink(status))
        return fs::is_symlink(target) && fs::read_symlink(from, ec) == fs::read_symlink(to, ec);
    if (fs::is_regular_file(status)) return sameContents(from, to);
    if (!fs::is_directory(status) || !fs::is_directory(target)) return false;
    for (auto it = fs::directory_iterator(from, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (!isCopiedInto(it->path(), to / it->path().filename())) return false;
    return !ec;
}

void Mover::log(const std::string& message) const {
    core::logLine(area_, message);
}

MoveOutcome Mover::move(const fs::path& from, const fs::path& to) {
    if (!present(from)) return MoveOutcome::absent;
    if (present(to)) {
        if (isCopiedInto(from, to)) {
            // The copy reached the new place before an interruption; only the clean-up is left.
            std::error_code ec;
            if (fs::remove_all(from, ec) > 0 && !ec) {
                log(fmt::format("moved {} -> {}", from.string(), to.string()));
                return MoveOutcome::moved;
            }
        }
        return MoveOutcome::taken;
    }
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    if (renameNoReplace(from, to) == 0) {
        log(fmt::format("moved {} -> {}", from.string(), to.string()));
        return MoveOutcome::moved;
    }
    int code = errno;
    if (code == EEXIST) return MoveOutcome::taken;
    if (code != EXDEV) {
        log(fmt::format("could not move {}: {}", from.string(), errnoText(code)));
        leftSomething_ = true;
        return MoveOutcome::failed;
    }
    // Another file system: copy beside the target under a temporary name, then rename it into
    // place, so the new place never holds half a copy.
    const fs::path partial = to.parent_path() / ("." + to.filename().string() + ".migrating");
    try {
        fs::remove_all(partial);
        copyTree(from, partial);
        if (renameNoReplace(partial, to) != 0)
            throw fs::filesystem_error("rename", partial, to,
                                       std::error_code(errno, std::generic_category()));
    } catch (const std::exception& e) {
        fs::remove_all(partial, ec);
        log(fmt::format("could not move {}: {}", from.string(), e.what()));
        leftSomething_ = true;
        return MoveOutcome::failed;
    }
    fs::remove_all(from, ec);
    if (ec) {
        log(fmt::format("could not move {}: {}", from.string(), ec.message()));
        leftSomething_ = true;
        return MoveOutcome::failed;
    }
    log(fmt::format("moved {} -> {}", from.string(), to.string()));
    return MoveOutcome::moved;
}

bool Mover::moveChildren(const fs::path& fromDir, const fs::path& toDir, const std::string& what) {
    std::error_code ec;
    if (!fs::is_directory(fromDir, ec)) return true;
    fs::create_directories(toDir, ec);
    std::vector<fs::path> children;
    for (auto it = fs::directory_iterator(fromDir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        children.push_back(it->path());
    for (auto& child : children) {
        if (move(child, toDir / child.filename()) != MoveOutcome::taken) continue;
        markLeft();
        log(fmt::format("{} {} already exists; the old copy is kept", what,
                        child.filename().string()));
    }
    return removeIfEmpty(fromDir);
}

bool Mover::removeIfEmpty(const fs::path& dir) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(dir, ec))) return !present(dir);
    size_t count = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (it->path().filename() != ".DS_Store") ++count;
    if (ec) return false;
    if (count > 0) {
        log(fmt::format("{} kept, still holds {} item{}", dir.string(), count,
                        count == 1 ? "" : "s"));
        leftSomething_ = true;
        return false;
    }
    fs::remove(dir / ".DS_Store", ec);
    if (!fs::remove(dir, ec) || ec) {
        log(fmt::format("could not remove {}: {}", dir.string(), ec.message()));
        leftSomething_ = true;
        return false;
    }
    log(fmt::format("removed {}", dir.string()));
    return true;
}

bool Mover::removeFile(const fs::path& file, const std::string& what) {
    std::error_code ec;
    if (fs::remove(file, ec) || !ec) return true;
    log(fmt::format("could not remove {}: {}", what, ec.message()));
    leftSomething_ = true;
    return false;
}

bool mergeCaptureState(Mover& mover, const fs::path& from, const fs::path& to) {
    auto oldText = core::readFile(from);
    auto newText = core::readFile(to);
    auto oldJson = oldText ? core::Json::parse(*oldText, nullptr, false) : core::Json();
    auto newJson = newText ? core::Json::parse(*newText, nullptr, false) : core::Json();
    if (!oldJson.is_object() || !newJson.is_object()) {
        mover.log("state.json could not be merged; the old copy is kept");
        mover.markLeft();
        return false;
    }
    core::Json merged = newJson;
    // Per folder (and for the Voice Memos keeper's own list) the new file's entry wins.
    for (const char* member : {"seenByFolder", "voiceMemosSeen"}) {
        auto it = oldJson.find(member);
        if (it == oldJson.end() || !it->is_object()) continue;
        if (!merged.contains(member) || !merged[member].is_object())
            merged[member] = core::Json::object();
        auto& target = merged[member];
        if (std::string(member) == "voiceMemosSeen") {
            for (auto& [file, entry] : it->items())
                if (!target.contains(file)) target[file] = entry;
            continue;
        }
        for (auto& [folder, entries] : it->items()) {
            if (!entries.is_object()) continue;
            if (!target.contains(folder) || !target[folder].is_object())
                target[folder] = core::Json::object();
            for (auto& [file, entry] : entries.items())
                if (!target[folder].contains(file)) target[folder][file] = entry;
        }
    }
    // The higher version: the store brings an older layout up to date when it loads.
    auto version = [](const core::Json& j) {
        auto it = j.find("version");
        return it != j.end() && it->is_number_integer() ? std::optional<int>(it->get<int>())
                                                        : std::nullopt;
    };
    auto oldVersion = version(oldJson), newVersion = version(newJson);
    if (oldVersion || newVersion)
        merged["version"] = std::max(oldVersion.value_or(0), newVersion.value_or(0));
    const size_t folders = merged.contains("seenByFolder") ? merged["seenByFolder"].size() : 0;
    try {
        core::writeDurably(to, core::dumpPretty(merged));
    } catch (const std::exception& e) {
        mover.log(fmt::format("state.json merge failed: {}", e.what()));
        mover.markLeft();
        return false;
    }
    if (!mover.removeFile(from, from.string())) return false;
    mover.log(fmt::format("state.json merged ({} folders)", folders));
    return true;
}

}  // namespace sayloft::app::moves
