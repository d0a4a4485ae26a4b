#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace sayloft::core {

// A failed file operation: what() is "<step>: <strerror text>", code() the errno.
class FileError : public Error {
  public:
    FileError(std::string step, int code);
    int code() const { return code_; }
    const std::string& step() const { return step_; }

  private:
    std::string step_;
    int code_;
};

// The whole file, or nothing when it cannot be read or is not a regular file (a FIFO, a device
// or a folder is refused without blocking).
std::optional<std::string> readFile(const std::filesystem::path& path);
// The last `bytes` bytes of a regular file (all of a shorter one); nothing when it cannot be read.
std::optional<std::string> readFileTail(const std::filesystem::path& path, size_t bytes);

// How far a replacement is pushed before writeAtomically returns.
enum class Sync {
    none,     // in the page cache: a crash of the machine may leave an empty or old file
    durable,  // the file and its folder flushed to stable storage (fsync both)
};

// Replaces `target` atomically: a temporary file beside it, then rename. Creates the parent
// folder. `mode` applies to the new file from its creation (never wider, even for an instant).
// Throws FileError; the target is untouched on failure and no temporary file is left.
void writeAtomically(const std::filesystem::path& target, std::string_view bytes,
                     mode_t mode = 0644, Sync sync = Sync::none);

// Like writeAtomically, and flushed to stable storage (file and folder) before returning.
// Steps and their error words: open, write, fsync, rename; the parent folder's creation throws
// its own error. The temporary file is "." + name + ".<pid>.<n>.tmp" beside the target.
void writeDurably(const std::filesystem::path& target, std::string_view bytes);

}  // namespace sayloft::core
