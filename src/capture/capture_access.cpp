#include "capture/capture_access.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "core/log.hpp"

namespace sayloft::capture {

namespace fs = std::filesystem;

namespace CaptureAccess {

namespace {
std::string files(int n) {
    return fmt::format("{} file{}", n, n == 1 ? "" : "s");
}
}  // namespace

std::string State::summary(const std::string& name) const {
    switch (kind) {
        case Kind::ok:
            return name + ": " + files(fileCount) + " visible";
        case Kind::empty:
            return name + ": readable but no audio files";
        case Kind::denied:
            return "Full Disk Access needed";
        case Kind::missing:
            return name + " folder not found";
        case Kind::notConfigured:
            return "Capture is off";
    }
    return "";
}

std::string State::explanation() const {
    switch (kind) {
        case Kind::ok:
            return "sayloft can read the Voice Memos folder (" + files(fileCount) + ").";
        case Kind::empty:
            return "sayloft can read the Voice Memos folder, but it contains no audio files. This "
                   "usually means macOS is keeping the recordings in iCloud rather than on this "
                   "Mac — the audio is stored as CloudKit assets that sayloft cannot read by "
                   "filename. Open Voice Memos and check whether recordings are downloaded to this "
                   "Mac, or run capture on a Mac that keeps local copies.";
        case Kind::denied:
            return "macOS is blocking sayloft from reading the Voice Memos folder.\n\n1. Click "
                   "\"Open Full Disk Access settings…\" above.\n2. If sayloft is already listed, "
                   "switch it ON. If it is not listed, click + and choose sayloft from "
                   "Applications.\n3. Click \"Restart sayloft\". macOS applies the grant only when "
                   "an app starts, so nothing changes until it restarts.\n\nStill blocked "
                   "afterwards? Remove sayloft from the list with the − button, then add it again "
                   "with +. macOS ties the permission to the app's code signature, so a rebuilt or "
                   "replaced copy of the app is treated as a different app and needs re-granting.";
        case Kind::missing:
            return "The Voice Memos folder does not exist on this Mac. That is normal if Voice "
                   "Memos has never been used here. sayloft will pick it up automatically once the "
                   "folder appears.";
        case Kind::notConfigured:
            return "Voice Memos capture is switched off in Settings.";
    }
    return "";
}

std::string State::problemName() const {
    switch (kind) {
        case Kind::denied:
            return "denied";
        case Kind::empty:
            return "empty";
        case Kind::missing:
            return "missing";
        default:
            return "";
    }
}

std::vector<std::string> listFolder(const fs::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) throw std::system_error(errno, std::generic_category(), folder.string());
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        errno = 0;
    }
    int error = errno;
    ::closedir(dir);
    if (error != 0) throw std::system_error(error, std::generic_category(), folder.string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string lowerExtension(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return ext;
}

State check(const fs::path& folder, const std::set<std::string>& extensions, bool enabled) {
    if (!enabled) return State::notConfigured();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return State::missing();
    std::vector<std::string> names;
    try {
        names = listFolder(folder);
    } catch (const std::system_error& e) {
        int code = e.code().value();
        if (code != EACCES && code != EPERM) {
            core::log("capture", "unexpected error probing {}: {}", folder.string(),
                      e.code().message());
        }
        return State::denied();
    }
    int count = int(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
        return extensions.count(lowerExtension(n)) > 0;
    }));
    return count > 0 ? State::ok(count) : State::empty();
}

}  // namespace CaptureAccess

std::string printableName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += fmt::format("\\x{:02x}", c);
        } else {
            out += char(c);
        }
    }
    return out;
}

}  // namespace sayloft::capture
