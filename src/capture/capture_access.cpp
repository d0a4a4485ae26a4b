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
            return "Folder permission needed";
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
            return "sayloft can read the Voice Memos folder, but it contains no audio files. If "
                   "the "
                   "recordings come from another device through a sync tool, check that it has "
                   "downloaded the audio files themselves to this computer, not only placeholders; "
                   "sayloft picks up .m4a and .wav files.";
        case Kind::denied:
            return "The folder's permissions do not let sayloft read the Voice Memos folder.\n\n"
                   "Your user needs read and execute permission on the folder and on every folder "
                   "above it: `ls -ld` shows them and `chmod u+rx` grants them. If sayloft runs in "
                   "a sandbox (Flatpak, Snap), give it access to the folder there as well.\n\n"
                   "No restart is needed: sayloft looks again every 30 seconds.";
        case Kind::missing:
            return "The Voice Memos folder does not exist on this computer. That is normal if no "
                   "voice memos have been put or synced here yet. sayloft will pick it up "
                   "automatically once the folder appears.";
        case Kind::notConfigured:
            return "Voice Memos capture is switched off in the settings (`sayloft folders enable "
                   "voice-memos` switches it on).";
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
