#pragma once

#include <filesystem>

#include "core/clock.hpp"
#include "core/error.hpp"

namespace sayloft::browser {

// A file that could not be moved to the trash; what() says which and why. The file is untouched.
class TrashError : public Error {
  public:
    using Error::Error;
};

struct TrashedFile {
    std::filesystem::path file;  // where it now lies, in the trash's files/ folder
    std::filesystem::path info;  // its .trashinfo
};

// Moves a file or folder to the trash as desktops expect it: the home trash
// ($XDG_DATA_HOME/Trash) for files on the same file system, else the volume's .Trash/$UID or
// .Trash-$UID. A name already in the trash gets a number, never replacing what is there; the
// .trashinfo (original path, deletion date) is written before the move.
TrashedFile moveToTrash(const std::filesystem::path& path,
                        core::TimePoint now = core::systemClock().now());

// $XDG_DATA_HOME/Trash
std::filesystem::path homeTrash();

}  // namespace sayloft::browser
