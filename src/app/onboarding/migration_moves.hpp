#pragma once

#include <filesystem>
#include <string>

// The careful file moves both migrations are made of. Each step only acts on what is still at the
// old place, never replaces anything at the new place, and leaves the old item where it was when
// it cannot be moved; a later launch continues where an interrupted one stopped.
namespace sayloft::app::moves {

enum class MoveOutcome {
    absent,  // nothing at the old place
    moved,   // now at the new place only
    taken,   // the new place already holds something else; the old copy stays (the caller
             // decides what that means and calls markLeft() when it keeps it)
    failed,  // the move failed; the old copy stays
};

// Writes its lines to the log under one area ("migration", "migration from Fennick").
class Mover {
  public:
    explicit Mover(std::string area) : area_(std::move(area)) {}
    const std::string& area() const { return area_; }

    // Moves a file or folder to `to` (its parent is created). A rename where both are on one file
    // system; else a copy beside the target, renamed into place, then the old copy removed. An
    // old item whose every file is already at the new place byte for byte (a move interrupted
    // between its copy and its clean-up) is removed.
    MoveOutcome move(const std::filesystem::path& from, const std::filesystem::path& to);
    // Moves every child of `fromDir` into `toDir` under the same name; children whose name is
    // taken stay and are logged with `what`. Then removes `fromDir` when empty. True when nothing
    // was left behind.
    bool moveChildren(const std::filesystem::path& fromDir, const std::filesystem::path& toDir,
                      const std::string& what);
    // Removes `dir` when it holds nothing but a ".DS_Store"; otherwise logs what it still holds.
    // True when the folder is gone.
    bool removeIfEmpty(const std::filesystem::path& dir);
    // Removes one file; logs failures. True when it is gone.
    bool removeFile(const std::filesystem::path& file, const std::string& what);

    // True when a step left something behind (a failed move, a kept copy the caller marked).
    bool leftSomething() const { return leftSomething_; }
    void markLeft() { leftSomething_ = true; }

    void log(const std::string& message) const;

  private:
    std::string area_;
    bool leftSomething_ = false;
};

// Removes the ~/Library folders the Mac-shaped layouts used (Application Support, Logs, Caches,
// Preferences, then Library itself) where they are empty. Cheap enough for every launch, which
// also finishes the job after a launch that was interrupted before it got here.
void removeEmptyLibraryFolders();

// True when something (even a dangling link) exists at `path`.
bool present(const std::filesystem::path& path);

// Merges the capture state file `from` into `to` (which must exist): every folder's entries of
// the old file are added where the new file does not know the file yet; the newer "version" is
// kept. Written atomically, then the old file is removed. Running it again after an interruption
// gives the same result. Logs the outcome; false when the old file stays (either file is not a
// JSON object, or the write failed).
bool mergeCaptureState(Mover& mover, const std::filesystem::path& from,
                       const std::filesystem::path& to);

// Both files' bytes equal.
bool sameContents(const std::filesystem::path& a, const std::filesystem::path& b);
// Every file below `from` (or `from` itself) is at the same place below `to` with the same bytes,
// every link with the same target.
bool isCopiedInto(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace sayloft::app::moves
