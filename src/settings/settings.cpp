#include "settings/settings.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "core/clock.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"

namespace sayloft::settings {

namespace fs = std::filesystem;
using core::Json;

// ---------------------------------------------------------------------------------------------
// Defaults and substitutes

AppSettings AppSettings::defaults() {
    AppSettings s;
    s.vaultPath = "~/workspace/Orrin";
    s.vaultName = "Orrin";
    s.additionalPaths = {"~/workspace"};
    s.remotesPath = "~/workspace/remotes";
    s.refreshInterval = 60;
    s.recentDays = 7;
    s.searchDays = 30;
    s.timeBasis = TimeBasis::modification;
    s.maxFiles = 500;
    s.includeExtensions = {"md",   "txt", "pdf", "doc", "docx", "odt", "xls",
                           "xlsx", "ods", "csv", "ppt", "pptx", "odp", "key"};
    s.excludeDirs = {".git",     ".obsidian",    "node_modules", ".cache", ".config",
                     ".pm2",     ".credentials", ".local",       ".npm",   ".nvm",
                     ".cargo",   ".rustup",      "__pycache__",  ".venv",  "venv",
                     ".archive", ".doable",      ".claude",      ".build", ".swiftpm"};
    s.captureVoiceMemosEnabled = false;
    s.captureWendrelEnabled = false;
    return s;
}

int AppSettings::effectiveSearchDays() const {
    if (searchDays) return *searchDays;
    return recentDays < 31 ? 30 : recentDays;
}
TimeBasis AppSettings::effectiveTimeBasis() const {
    return timeBasis.value_or(TimeBasis::modification);
}
int AppSettings::groupThreshold(const std::optional<int>& value) const {
    return std::max(1, value.value_or(15));
}
int AppSettings::effectiveMenuDayLimit() const {
    return std::max(1, menuDayLimit.value_or(10));
}
int AppSettings::effectiveAutoStopMinutes() const {
    return std::max(0, recordingAutoStopMinutes.value_or(0));
}
std::string AppSettings::effectiveConsentText() const {
    return recordingConsentText.value_or(kDefaultConsentText);
}
std::string AppSettings::effectiveEchoCancellation() const {
    return recordingEchoCancellation.value_or("automatic");
}

std::set<std::string> WatchedFolder::effectiveExtensions() const {
    if (extensions.empty()) return {"m4a", "wav"};
    std::set<std::string> out;
    for (auto e : extensions) {
        std::transform(e.begin(), e.end(), e.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        out.insert(e);
    }
    return out;
}

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string base36(uint64_t value) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    if (value == 0) return "0";
    std::string out;
    while (value > 0) {
        out.insert(out.begin(), digits[value % 36]);
        value /= 36;
    }
    return out;
}

WatchedFolder WatchedFolder::generic(const std::string& path,
                                     const std::optional<std::string>& displayName) {
    const std::string expanded = core::expandTilde(path);
    WatchedFolder f;
    f.id = "folder-" + base36(fnv1a64(expanded));
    f.path = path;
    if (displayName) {
        f.displayName = *displayName;
    } else {
        fs::path p(expanded);
        while (p.has_relative_path() && p.filename().empty()) p = p.parent_path();  // "a/b/"
        f.displayName = p.filename().string();
    }
    f.enabled = true;
    f.normaliser = Normaliser::none;
    return f;
}

// ---------------------------------------------------------------------------------------------
// JSON coding: strict types, all-or-nothing

namespace {

const char* timeBasisName(TimeBasis t) {
    switch (t) {
        case TimeBasis::modification:
            return "modification";
        case TimeBasis::creation:
            return "creation";
        case TimeBasis::either:
            return "either";
    }
    return "modification";
}

[[noreturn]] void fail(const std::string& key, const std::string& what) {
    throw DecodeError(key + ": " + what);
}

const Json* field(const Json& j, const char* key, bool required) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        if (required) fail(key, "missing");
        return nullptr;
    }
    return &*it;
}

std::string asString(const Json& v, const std::string& key) {
    if (!v.is_string()) fail(key, "not a string");
    return v.get<std::string>();
}
bool asBool(const Json& v, const std::string& key) {
    if (!v.is_boolean()) fail(key, "not a boolean");
    return v.get<bool>();
}
int asInt(const Json& v, const std::string& key) {
    if (v.is_number_integer()) {
        auto n = v.get<int64_t>();
        if (n < INT32_MIN || n > INT32_MAX) fail(key, "out of range");
        return int(n);
    }
    // A whole number written as 7.0 still counts as an integer.
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (d == double(int64_t(d)) && d >= INT32_MIN && d <= INT32_MAX) return int(d);
    }
    fail(key, "not an integer");
}
double asNumber(const Json& v, const std::string& key) {
    if (!v.is_number()) fail(key, "not a number");
    return v.get<double>();
}
std::vector<std::string> asStrings(const Json& v, const std::string& key) {
    if (!v.is_array()) fail(key, "not an array");
    std::vector<std::string> out;
    for (auto& item : v) out.push_back(asString(item, key));
    return out;
}
TimeBasis asTimeBasis(const Json& v, const std::string& key) {
    auto s = asString(v, key);
    if (s == "modification") return TimeBasis::modification;
    if (s == "creation") return TimeBasis::creation;
    if (s == "either") return TimeBasis::either;
    fail(key, "unknown value \"" + s + "\"");
}
WatchedFolder asWatchedFolder(const Json& v) {
    const std::string key = "watchedFoldersRaw";
    if (!v.is_object()) fail(key, "entry is not an object");
    WatchedFolder f;
    f.id = asString(*field(v, "id", true), key + ".id");
    f.path = asString(*field(v, "path", true), key + ".path");
    f.displayName = asString(*field(v, "displayName", true), key + ".displayName");
    f.enabled = asBool(*field(v, "enabled", true), key + ".enabled");
    f.extensions = asStrings(*field(v, "extensions", true), key + ".extensions");
    auto n = asString(*field(v, "normaliser", true), key + ".normaliser");
    if (n == "voiceMemos") {
        f.normaliser = WatchedFolder::Normaliser::voiceMemos;
    } else if (n == "none") {
        f.normaliser = WatchedFolder::Normaliser::none;
    } else {
        fail(key + ".normaliser", "unknown value \"" + n + "\"");
    }
    return f;
}
RecordingSource asRecordingSource(const Json& v) {
    const std::string key = "recordingSource";
    if (!v.is_object() || v.size() != 1) fail(key, "must hold exactly one key");
    if (auto it = v.find("allAudio"); it != v.end()) {
        if (!it->is_object()) fail(key, "allAudio is not an object");
        return {};
    }
    if (auto it = v.find("app"); it != v.end()) {
        if (!it->is_object()) fail(key, "app is not an object");
        RecordingSource::App app{asString(*field(*it, "bundleID", true), key + ".bundleID"),
                                 asString(*field(*it, "name", true), key + ".name")};
        return {app};
    }
    fail(key, "unknown source");
}

template <class T, class F>
void optional(const Json& j, const char* key, std::optional<T>& out, F read) {
    if (auto v = field(j, key, false)) out = read(*v, key);
}

}  // namespace

AppSettings decode(const Json& j) {
    if (!j.is_object()) throw DecodeError("settings: not an object");
    AppSettings s;
    s.vaultPath = asString(*field(j, "vaultPath", true), "vaultPath");
    s.vaultName = asString(*field(j, "vaultName", true), "vaultName");
    s.additionalPaths = asStrings(*field(j, "additionalPaths", true), "additionalPaths");
    s.refreshInterval = asNumber(*field(j, "refreshInterval", true), "refreshInterval");
    s.recentDays = asInt(*field(j, "recentDays", true), "recentDays");
    s.maxFiles = asInt(*field(j, "maxFiles", true), "maxFiles");
    s.includeExtensions = asStrings(*field(j, "includeExtensions", true), "includeExtensions");
    s.excludeDirs = asStrings(*field(j, "excludeDirs", true), "excludeDirs");

    optional(j, "remotesPath", s.remotesPath, asString);
    optional(j, "searchDays", s.searchDays, asInt);
    optional(j, "timeBasis", s.timeBasis, asTimeBasis);
    optional(j, "excludeFilePatterns", s.excludeFilePatterns, asStrings);
    optional(j, "captureVoiceMemosEnabled", s.captureVoiceMemosEnabled, asBool);
    optional(j, "captureWendrelEnabled", s.captureWendrelEnabled, asBool);
    optional(j, "wendrelBaseURL", s.wendrelBaseURL, asString);
    optional(j, "keepVoiceMemosRunning", s.keepVoiceMemosRunning, asBool);
    if (auto v = field(j, "watchedFoldersRaw", false)) {
        if (!v->is_array()) fail("watchedFoldersRaw", "not an array");
        std::vector<WatchedFolder> folders;
        for (auto& item : *v) folders.push_back(asWatchedFolder(item));
        s.watchedFoldersRaw = std::move(folders);
    }
    optional(j, "inboxGroupThreshold", s.inboxGroupThreshold, asInt);
    optional(j, "outboxGroupThreshold", s.outboxGroupThreshold, asInt);
    optional(j, "handoffGroupThreshold", s.handoffGroupThreshold, asInt);
    optional(j, "todayGroupThreshold", s.todayGroupThreshold, asInt);
    optional(j, "menuDayLimit", s.menuDayLimit, asInt);
    if (auto v = field(j, "recordingSource", false)) s.recordingSource = asRecordingSource(*v);
    optional(j, "recordingIncludeMicrophone", s.recordingIncludeMicrophone, asBool);
    optional(j, "recordingMicrophoneUID", s.recordingMicrophoneUID, asString);
    optional(j, "recordingConsentReminder", s.recordingConsentReminder, asBool);
    optional(j, "recordingConsentText", s.recordingConsentText, asString);
    optional(j, "recordingAutoStopMinutes", s.recordingAutoStopMinutes, asInt);
    optional(j, "recordingShowWindow", s.recordingShowWindow, asBool);
    optional(j, "notifyTranscriptReady", s.notifyTranscriptReady, asBool);
    optional(j, "notifyTranscriptFailed", s.notifyTranscriptFailed, asBool);
    optional(j, "notifyVoiceMemoSent", s.notifyVoiceMemoSent, asBool);
    optional(j, "recordingQuickKey", s.recordingQuickKey, asBool);
    if (auto v = field(j, "recordingEchoCancellation", false)) {
        auto mode = asString(*v, "recordingEchoCancellation");
        if (mode != "automatic" && mode != "on" && mode != "off")
            fail("recordingEchoCancellation", "unknown value \"" + mode + "\"");
        s.recordingEchoCancellation = mode;
    }
    optional(j, "afterTranscriptCommand", s.afterTranscriptCommand, asString);
    return s;
}

Json encode(const AppSettings& s) {
    Json j = Json::object();
    j["vaultPath"] = s.vaultPath;
    j["vaultName"] = s.vaultName;
    j["additionalPaths"] = s.additionalPaths;
    j["refreshInterval"] = s.refreshInterval;
    j["recentDays"] = s.recentDays;
    j["maxFiles"] = s.maxFiles;
    j["includeExtensions"] = s.includeExtensions;
    j["excludeDirs"] = s.excludeDirs;
    core::putOptional(j, "remotesPath", s.remotesPath);
    core::putOptional(j, "searchDays", s.searchDays);
    if (s.timeBasis) j["timeBasis"] = timeBasisName(*s.timeBasis);
    core::putOptional(j, "excludeFilePatterns", s.excludeFilePatterns);
    core::putOptional(j, "captureVoiceMemosEnabled", s.captureVoiceMemosEnabled);
    core::putOptional(j, "captureWendrelEnabled", s.captureWendrelEnabled);
    core::putOptional(j, "wendrelBaseURL", s.wendrelBaseURL);
    core::putOptional(j, "keepVoiceMemosRunning", s.keepVoiceMemosRunning);
    if (s.watchedFoldersRaw) {
        Json folders = Json::array();
        for (auto& f : *s.watchedFoldersRaw) {
            folders.push_back(
                {{"id", f.id},
                 {"path", f.path},
                 {"displayName", f.displayName},
                 {"enabled", f.enabled},
                 {"extensions", f.extensions},
                 {"normaliser",
                  f.normaliser == WatchedFolder::Normaliser::voiceMemos ? "voiceMemos" : "none"}});
        }
        j["watchedFoldersRaw"] = folders;
    }
    core::putOptional(j, "inboxGroupThreshold", s.inboxGroupThreshold);
    core::putOptional(j, "outboxGroupThreshold", s.outboxGroupThreshold);
    core::putOptional(j, "handoffGroupThreshold", s.handoffGroupThreshold);
    core::putOptional(j, "todayGroupThreshold", s.todayGroupThreshold);
    core::putOptional(j, "menuDayLimit", s.menuDayLimit);
    if (s.recordingSource) {
        if (s.recordingSource->app) {
            j["recordingSource"] = {{"app",
                                     {{"bundleID", s.recordingSource->app->bundleID},
                                      {"name", s.recordingSource->app->name}}}};
        } else {
            j["recordingSource"] = {{"allAudio", Json::object()}};
        }
    }
    core::putOptional(j, "recordingIncludeMicrophone", s.recordingIncludeMicrophone);
    core::putOptional(j, "recordingMicrophoneUID", s.recordingMicrophoneUID);
    core::putOptional(j, "recordingConsentReminder", s.recordingConsentReminder);
    core::putOptional(j, "recordingConsentText", s.recordingConsentText);
    core::putOptional(j, "recordingAutoStopMinutes", s.recordingAutoStopMinutes);
    core::putOptional(j, "recordingShowWindow", s.recordingShowWindow);
    core::putOptional(j, "notifyTranscriptReady", s.notifyTranscriptReady);
    core::putOptional(j, "notifyTranscriptFailed", s.notifyTranscriptFailed);
    core::putOptional(j, "notifyVoiceMemoSent", s.notifyVoiceMemoSent);
    core::putOptional(j, "recordingQuickKey", s.recordingQuickKey);
    core::putOptional(j, "recordingEchoCancellation", s.recordingEchoCancellation);
    core::putOptional(j, "afterTranscriptCommand", s.afterTranscriptCommand);
    return j;
}

// ---------------------------------------------------------------------------------------------
// The store

Settings::Settings(fs::path configPath)
    : configPath_(std::move(configPath)), settings_(AppSettings::defaults()) {
    loadedFromFile_ = reload();
}

bool Settings::reload() {
    auto damaged = [&](const std::string& why) {
        auto guard = lock();
        if (damage_ != why)
            core::log("settings", "{} cannot be used ({}); it is left as it is",
                      configPath_.string(), why);
        damage_ = why;
        return false;
    };
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(configPath_, ec))) {
        auto guard = lock();
        damage_.reset();
        return false;
    }
    auto text = core::readFile(configPath_);
    if (!text) return damaged("the file cannot be read");
    Json json;
    try {
        json = Json::parse(*text);
    } catch (const std::exception& e) {
        return damaged(fmt::format("not JSON: {}", e.what()));
    }
    try {
        auto decoded = decode(json);
        auto guard = lock();
        settings_ = std::move(decoded);
        damage_.reset();
        return true;
    } catch (const std::exception& e) {
        // All-or-nothing: keep the current values and leave the file as it is.
        return damaged(e.what());
    }
}

std::optional<std::string> Settings::damage() const {
    auto guard = lock();
    return damage_;
}

fs::path Settings::saveForce() {
    fs::path backup;
    {
        auto guard = lock();
        if (damage_) {
            backup = configPath_.parent_path() /
                     (configPath_.filename().string() + ".damaged-" +
                      core::formatLocal(core::systemClock().now(), "yyyyMMdd-HHmmss"));
            auto bytes = core::readFile(configPath_);
            std::error_code ec;
            if (bytes)
                core::writeDurably(backup, *bytes);
            else
                fs::copy_file(configPath_, backup, fs::copy_options::overwrite_existing, ec);
            core::log("settings", "replacing the damaged settings file; the old one is kept as {}",
                      backup.string());
            damage_.reset();
        }
    }
    save();
    return backup;
}

fs::path Settings::defaultPath() {
    return core::configDir() / "settings.json";
}

void Settings::save() {
    std::string bytes;
    {
        auto guard = lock();
        if (damage_)
            throw SettingsDamaged(fmt::format(
                "{} cannot be used ({}); nothing was written over it. Fix the file, or save with "
                "--force to replace it (the old file is kept beside it).",
                configPath_.string(), *damage_));
        try {
            bytes = core::dumpPretty(encode(settings_));
        } catch (const std::exception&) {
            return;
        }
    }
    try {
        core::writeAtomically(configPath_, bytes, 0644, core::Sync::durable);
    } catch (const std::exception&) {
        // Saving is silent by design; the in-memory values stay the truth.
    }
}

const std::vector<std::string>& Settings::defaultExcludeFilePatterns() {
    static const std::vector<std::string> patterns = {
        "CHANGELOG.md", "_manifest*", "CLAUDE.md", "README.md", "_tasks-history.md", "_inbox.yaml"};
    return patterns;
}

std::vector<WatchedFolder> Settings::watchedFolders() const {
    auto guard = lock();
    if (settings_.watchedFoldersRaw && !settings_.watchedFoldersRaw->empty())
        return *settings_.watchedFoldersRaw;
    WatchedFolder vm;
    vm.id = kVoiceMemosFolderId;
    vm.path = voiceMemosFolder().string();
    vm.displayName = "Voice Memos";
    vm.enabled = settings_.captureVoiceMemosEnabled.value_or(false);
    vm.normaliser = WatchedFolder::Normaliser::voiceMemos;
    return {vm};
}

std::vector<WatchedFolder> Settings::enabledWatchedFolders() const {
    auto all = watchedFolders();
    std::vector<WatchedFolder> out;
    std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                 [](const WatchedFolder& f) { return f.enabled; });
    return out;
}

bool Settings::isExcludedFile(const std::string& name) const {
    auto guard = lock();
    const auto& patterns = settings_.excludeFilePatterns ? *settings_.excludeFilePatterns
                                                         : defaultExcludeFilePatterns();
    for (auto& p : patterns) {
        if (fnmatch(p.c_str(), name.c_str(), FNM_CASEFOLD) == 0) return true;
    }
    return false;
}

std::optional<std::string> Settings::afterTranscriptCommand() const {
    auto guard = lock();
    if (!settings_.afterTranscriptCommand) return std::nullopt;
    std::string t(core::trimWhitespace(*settings_.afterTranscriptCommand));
    return t.empty() ? std::nullopt : std::optional(t);
}

std::set<std::string> Settings::includeExtensions() const {
    auto guard = lock();
    std::set<std::string> out;
    for (auto e : settings_.includeExtensions) {
        std::transform(e.begin(), e.end(), e.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        out.insert(e);
    }
    return out;
}

std::vector<fs::path> Settings::additionalPaths() const {
    auto guard = lock();
    std::vector<fs::path> out;
    for (auto& p : settings_.additionalPaths) out.emplace_back(core::expandTilde(p));
    return out;
}

std::optional<std::string> Settings::wendrelBaseURL() const {
    auto guard = lock();
    return settings_.wendrelBaseURL;
}

std::vector<fs::path> voiceMemosFolderCandidates() {
    auto home = core::homeDir();
    return {
        // Where sayloft looks on Linux first: a plain folder the user (or a sync tool) fills.
        home / "Voice Memos",
        // A home folder synced from a Mac keeps the recordings in one of these.
        home / "Library" / "Group Containers" / "group.com.apple.VoiceMemos.shared" / "Recordings",
        home / "Library" / "Application Support" / "com.apple.voicememos" / "Recordings",
    };
}

fs::path voiceMemosFolder() {
    auto candidates = voiceMemosFolderCandidates();
    for (auto& c : candidates) {
        std::error_code ec;
        if (fs::exists(c, ec)) return c;
    }
    return candidates.front();
}

// ---------------------------------------------------------------------------------------------
// Form rules

std::string trim(const std::string& text, const char* blanks) {
    return std::string(core::trimChars(text, blanks));
}

namespace form {

namespace {
std::vector<std::string> split(const std::string& text, char sep, const char* blanks, bool lower) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        auto item = trim(text.substr(start, end - start), blanks);
        if (lower) {
            std::transform(item.begin(), item.end(), item.begin(),
                           [](unsigned char c) { return std::tolower(c); });
        }
        if (!item.empty()) out.push_back(item);
        start = end + 1;
    }
    return out;
}
std::string join(const std::vector<std::string>& items, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? sep : "") + items[i];
    return out;
}
}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
    return split(text, '\n', " \t", false);
}
std::vector<std::string> splitExtensions(const std::string& text) {
    return split(text, ',', " \t\n\r", true);
}
std::vector<std::string> splitList(const std::string& text) {
    return split(text, ',', " \t\n\r", false);
}
std::string joinList(const std::vector<std::string>& items) {
    return join(items, ", ");
}
std::string joinLines(const std::vector<std::string>& items) {
    return join(items, "\n");
}
int atLeast(int value, int minimum) {
    return std::max(value, minimum);
}

std::optional<std::string> baseURL(const std::string& text) {
    auto t = trim(text, " ");
    return t.empty() ? std::nullopt : std::optional(t);
}
std::optional<std::string> command(bool enabled, const std::string& text) {
    std::string t(core::trimWhitespace(text));
    return enabled && !t.empty() ? std::optional(t) : std::nullopt;
}
std::optional<std::string> consentText(const std::string& text) {
    std::string t(core::trimWhitespace(text));
    return t.empty() || t == kDefaultConsentText ? std::nullopt : std::optional(t);
}
std::optional<std::string> echoCancellation(const std::string& mode) {
    return mode == "automatic" ? std::nullopt : std::optional(mode);
}
bool voiceMemosEnabled(const std::vector<WatchedFolder>& folders) {
    for (auto& f : folders)
        if (f.id == kVoiceMemosFolderId) return f.enabled;
    return false;
}

AppSettings normalised(AppSettings s) {
    s.additionalPaths = splitLines(joinLines(s.additionalPaths));
    s.includeExtensions = splitExtensions(joinList(s.includeExtensions));
    s.excludeDirs = splitList(joinList(s.excludeDirs));
    s.excludeFilePatterns =
        splitList(joinList(s.excludeFilePatterns.value_or(Settings::defaultExcludeFilePatterns())));
    for (auto* t : {&s.inboxGroupThreshold, &s.outboxGroupThreshold, &s.handoffGroupThreshold,
                    &s.todayGroupThreshold, &s.menuDayLimit}) {
        if (*t) **t = atLeast(**t, 1);
    }
    if (s.recordingAutoStopMinutes)
        *s.recordingAutoStopMinutes = atLeast(*s.recordingAutoStopMinutes, 0);
    if (s.watchedFoldersRaw) s.captureVoiceMemosEnabled = voiceMemosEnabled(*s.watchedFoldersRaw);
    s.wendrelBaseURL = s.wendrelBaseURL ? baseURL(*s.wendrelBaseURL) : std::nullopt;
    s.afterTranscriptCommand =
        s.afterTranscriptCommand ? command(true, *s.afterTranscriptCommand) : std::nullopt;
    s.recordingConsentText =
        s.recordingConsentText ? consentText(*s.recordingConsentText) : std::nullopt;
    if (s.recordingEchoCancellation)
        s.recordingEchoCancellation = echoCancellation(*s.recordingEchoCancellation);
    return s;
}

}  // namespace form

}  // namespace sayloft::settings
