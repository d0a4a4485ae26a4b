#include "platform/linux/scheme_handler.hpp"

#include "core/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "core/places.hpp"
#include "core/text.hpp"

extern char** environ;

namespace sayloft::platform {

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

std::string trim(const std::string& s) {
    return std::string(core::trimChars(s, " \t\r"));
}

// An XDG base folder variable with its default; relative values are ignored as the rules say.
fs::path baseDir(const char* var, const char* fallbackBelowHome) {
    const std::string v = env(var);
    if (!v.empty() && v[0] == '/') return v;
    return fs::path(core::homeDir()) / fallbackBelowHome;
}

std::vector<fs::path> baseDirs(const char* var, const char* fallback) {
    std::vector<fs::path> dirs;
    std::string v = env(var);
    if (v.empty()) v = fallback;
    for (const auto& d : split(v, ':')) {
        if (d[0] == '/') dirs.emplace_back(d);
    }
    return dirs;
}

// Key/value pairs of one group of an ini-style file (mimeapps.list, desktop files).
using Group = std::map<std::string, std::string>;
std::map<std::string, Group> readIni(const fs::path& path) {
    std::map<std::string, Group> groups;
    std::ifstream in(path);
    std::string line;
    Group* current = nullptr;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            current = &groups[line.substr(1, line.size() - 2)];
            continue;
        }
        const auto eq = line.find('=');
        if (!current || eq == std::string::npos) continue;
        current->emplace(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return groups;
}

std::vector<std::string> listValue(const Group& group, const std::string& key) {
    auto it = group.find(key);
    return it == group.end() ? std::vector<std::string>{} : split(it->second, ';');
}

struct Lookup {
    std::vector<fs::path> listFiles;        // mimeapps.list files, most important first
    std::vector<fs::path> applicationDirs;  // where desktop files live, most important first
};

Lookup lookupPaths() {
    std::vector<std::string> desktops;
    for (auto d : split(env("XDG_CURRENT_DESKTOP"), ':')) {
        std::transform(d.begin(), d.end(), d.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        desktops.push_back(d);
    }
    Lookup l;
    std::vector<fs::path> configDirs{baseDir("XDG_CONFIG_HOME", ".config")};
    for (auto& d : baseDirs("XDG_CONFIG_DIRS", "/etc/xdg")) configDirs.push_back(d);
    l.applicationDirs.push_back(baseDir("XDG_DATA_HOME", ".local/share") / "applications");
    for (auto& d : baseDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share")) {
        l.applicationDirs.push_back(d / "applications");
    }
    auto addLists = [&](const std::vector<fs::path>& dirs) {
        for (const auto& dir : dirs) {
            for (const auto& desktop : desktops)
                l.listFiles.push_back(dir / (desktop + "-mimeapps.list"));
            l.listFiles.push_back(dir / "mimeapps.list");
        }
    };
    addLists(configDirs);
    addLists(l.applicationDirs);
    return l;
}

// Desktop file ids ("vendor-app.desktop" for vendor/app.desktop) to their files; the first folder
// that has an id wins.
std::map<std::string, fs::path> installedDesktopFiles(const std::vector<fs::path>& dirs) {
    std::map<std::string, fs::path> files;
    for (const auto& dir : dirs) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().extension() != ".desktop") continue;
            std::string id = it->path().lexically_relative(dir).string();
            std::replace(id.begin(), id.end(), '/', '-');
            files.emplace(id, it->path());
        }
    }
    return files;
}

bool usableApplication(const fs::path& desktopFile) {
    const auto groups = readIni(desktopFile);
    auto it = groups.find("Desktop Entry");
    if (it == groups.end()) return false;
    const Group& entry = it->second;
    auto value = [&](const char* key) {
        auto v = entry.find(key);
        return v == entry.end() ? std::string() : v->second;
    };
    return value("Hidden") != "true" && value("Type") != "Link" && value("Type") != "Directory";
}

}  // namespace

std::optional<std::string> schemeHandler(const std::string& scheme) {
    const std::string mime = "x-scheme-handler/" + scheme;
    const Lookup lookup = lookupPaths();
    const auto installed = installedDesktopFiles(lookup.applicationDirs);

    std::vector<std::string> candidates;
    std::set<std::string> removed;
    auto consider = [&](const std::string& id) {
        if (!removed.count(id)) candidates.push_back(id);
    };
    for (const auto& file : lookup.listFiles) {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) continue;
        auto groups = readIni(file);
        for (const auto& id : listValue(groups["Default Applications"], mime)) consider(id);
        for (const auto& id : listValue(groups["Added Associations"], mime)) consider(id);
        for (const auto& id : listValue(groups["Removed Associations"], mime)) removed.insert(id);
    }
    for (const auto& [id, path] : installed) {
        const auto groups = readIni(path);
        auto entry = groups.find("Desktop Entry");
        if (entry == groups.end()) continue;
        const auto types = listValue(entry->second, "MimeType");
        if (std::find(types.begin(), types.end(), mime) != types.end()) consider(id);
    }
    for (const auto& id : candidates) {
        auto it = installed.find(id);
        if (it != installed.end() && usableApplication(it->second)) return id;
    }
    return std::nullopt;
}

bool hasSchemeHandler(const std::string& scheme) {
    return schemeHandler(scheme).has_value();
}

namespace {

std::string exitMeaning(int code) {
    switch (code) {
        case 1:
            return "bad command line";
        case 2:
            return "no such file";
        case 3:
            return "a required tool is missing";
        case 4:
            return "the action failed";
        default:
            return "failed";
    }
}

}  // namespace

void openWithDefaultApplication(const std::string& target, std::chrono::milliseconds wait) {
    if (target.empty()) throw OpenError("nothing to open");
    // xdg-open takes a leading '-' for an option.
    const std::string arg = target[0] == '-' ? "./" + target : target;
    core::ProcessOptions options;
    options.argv = {"xdg-open", arg};
    options.stdoutTo = core::ProcessOutput::discarded();
    options.stderrTo = core::ProcessOutput::inherited();
    // The opened application lives on in a session of its own; a slow xdg-open is left to it.
    options.newSession = true;
    options.waitAtMost = wait;
    core::ProcessResult result;
    try {
        result = core::runProcess(options);
    } catch (const core::ProcessError& e) {
        throw OpenError(std::string("cannot run xdg-open: ") + e.what());
    }
    if (result.detached || result.succeeded()) return;
    if (result.exited) {
        const int code = result.exitStatus;
        throw OpenError("xdg-open could not open " + target + ": " + exitMeaning(code) +
                        " (exit status " + std::to_string(code) + ")");
    }
    throw OpenError("xdg-open could not open " + target + ": killed by signal " +
                    std::to_string(result.signal));
}

}  // namespace sayloft::platform
