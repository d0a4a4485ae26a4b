#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace sayloft::capture {

namespace CaptureAccess {

// Whether a watched folder can be read, and what it holds.
struct State {
    enum class Kind { ok, empty, denied, missing, notConfigured };
    Kind kind = Kind::notConfigured;
    int fileCount = 0;  // only for ok

    static State ok(int count) { return {Kind::ok, count}; }
    static State empty() { return {Kind::empty, 0}; }
    static State denied() { return {Kind::denied, 0}; }
    static State missing() { return {Kind::missing, 0}; }
    static State notConfigured() { return {Kind::notConfigured, 0}; }

    bool operator==(const State& other) const {
        return kind == other.kind && (kind != Kind::ok || fileCount == other.fileCount);
    }
    // Short text: menu line, log text and notification title.
    std::string summary(const std::string& folderName) const;
    // The long help text under the menu line, and the notification body.
    std::string explanation() const;
    // "denied", "empty", "missing"; empty for the others.
    std::string problemName() const;
};

inline const std::set<std::string> audioExtensions = {"m4a", "wav"};

State check(const std::filesystem::path& folder, const std::set<std::string>& extensions,
            bool enabled);

// The folder's entries in name order, hidden ones skipped. Throws std::system_error.
std::vector<std::string> listFolder(const std::filesystem::path& folder);

// The lower-cased extension of a file name without its dot ("" when there is none).
std::string lowerExtension(const std::string& fileName);

}  // namespace CaptureAccess

// A file name made safe for one log line: control characters are written as escapes.
std::string printableName(const std::string& name);

}  // namespace sayloft::capture
