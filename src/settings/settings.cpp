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
    Json builtIns = Json::object();
    for (auto& key : settingKeys())
        if (!key.builtIn.is_null()) builtIns[key.name] = key.builtIn;
    return decode(builtIns);
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

// How one C++ type is read from and written to JSON.
template <class T>
struct Codec;

template <>
struct Codec<std::string> {
    static constexpr KeyType type = KeyType::string;
    static std::string read(const Json& v, const std::string& key) { return asString(v, key); }
    static Json write(const std::string& v) { return v; }
};
template <>
struct Codec<bool> {
    static constexpr KeyType type = KeyType::boolean;
    static bool read(const Json& v, const std::string& key) { return asBool(v, key); }
    static Json write(bool v) { return v; }
};
template <>
struct Codec<int> {
    static constexpr KeyType type = KeyType::integer;
    static int read(const Json& v, const std::string& key) { return asInt(v, key); }
    static Json write(int v) { return v; }
};
template <>
struct Codec<double> {
    static constexpr KeyType type = KeyType::number;
    static double read(const Json& v, const std::string& key) { return asNumber(v, key); }
    static Json write(double v) { return v; }
};
template <>
struct Codec<std::vector<std::string>> {
    static constexpr KeyType type = KeyType::stringList;
    static std::vector<std::string> read(const Json& v, const std::string& key) {
        return asStrings(v, key);
    }
    static Json write(const std::vector<std::string>& v) { return v; }
};
template <>
struct Codec<TimeBasis> {
    static constexpr KeyType type = KeyType::choice;
    static TimeBasis read(const Json& v, const std::string& key) { return asTimeBasis(v, key); }
    static Json write(TimeBasis v) { return timeBasisName(v); }
};
template <>
struct Codec<std::vector<WatchedFolder>> {
    static constexpr KeyType type = KeyType::folders;
    static std::vector<WatchedFolder> read(const Json& v, const std::string& key) {
        if (!v.is_array()) fail(key, "not an array");
        std::vector<WatchedFolder> folders;
        for (auto& item : v) folders.push_back(asWatchedFolder(item));
        return folders;
    }
    static Json write(const std::vector<WatchedFolder>& folders) {
        Json out = Json::array();
        for (auto& f : folders) {
            out.push_back(
                {{"id", f.id},
                 {"path", f.path},
                 {"displayName", f.displayName},
                 {"enabled", f.enabled},
                 {"extensions", f.extensions},
                 {"normaliser",
                  f.normaliser == WatchedFolder::Normaliser::voiceMemos ? "voiceMemos" : "none"}});
        }
        return out;
    }
};
template <>
struct Codec<RecordingSource> {
    static constexpr KeyType type = KeyType::source;
    static RecordingSource read(const Json& v, const std::string&) { return asRecordingSource(v); }
    static Json write(const RecordingSource& source) {
        if (!source.app) return {{"allAudio", Json::object()}};
        return {{"app", {{"bundleID", source.app->bundleID}, {"name", source.app->name}}}};
    }
};

struct Options {
    Json builtIn = nullptr;
    std::vector<std::string> choices = {};
    std::vector<std::string> (*splitText)(const std::string&) = nullptr;
};

template <class T>
SettingKey required(const char* name, T AppSettings::*field, Options o) {
    SettingKey key{name,       Codec<T>::type, true, std::move(o.builtIn), std::move(o.choices),
                   o.splitText};
    key.read = [name, field](const Json* v, AppSettings& s) {
        if (!v) fail(name, "missing");
        s.*field = Codec<T>::read(*v, name);
    };
    key.write = [field](const AppSettings& s) { return Codec<T>::write(s.*field); };
    return key;
}

template <class T>
SettingKey optional(const char* name, std::optional<T> AppSettings::*field, Options o = {}) {
    KeyType type = o.choices.empty() ? Codec<T>::type : KeyType::choice;
    SettingKey key{name, type, false, std::move(o.builtIn), std::move(o.choices), o.splitText};
    auto choices = key.choices;
    key.read = [name, field, choices](const Json* v, AppSettings& s) {
        if (!v) {
            s.*field = std::nullopt;
            return;
        }
        if (v->is_string() && !choices.empty() &&
            std::find(choices.begin(), choices.end(), v->get<std::string>()) == choices.end())
            fail(name, "unknown value \"" + v->get<std::string>() + "\"");
        s.*field = Codec<T>::read(*v, name);
    };
    key.write = [field](const AppSettings& s) {
        return s.*field ? Codec<T>::write(*(s.*field)) : Json(nullptr);
    };
    return key;
}

std::vector<SettingKey> makeKeys() {
    using S = AppSettings;
    const Json extensions = Json::array({"md", "txt", "pdf", "doc", "docx", "odt", "xls", "xlsx",
                                         "ods", "csv", "ppt", "pptx", "odp", "key"});
    const Json excludeDirs = Json::array(
        {".git",   ".obsidian", "node_modules", ".cache",  ".config", ".pm2",        ".credentials",
         ".local", ".npm",      ".nvm",         ".cargo",  ".rustup", "__pycache__", ".venv",
         "venv",   ".archive",  ".doable",      ".claude", ".build",  ".swiftpm"});
    return {
        required("vaultPath", &S::vaultPath, {.builtIn = "~/workspace/Orrin"}),
        required("vaultName", &S::vaultName, {.builtIn = "Orrin"}),
        required("additionalPaths", &S::additionalPaths,
                 {.builtIn = Json::array({"~/workspace"}), .splitText = form::splitLines}),
        optional("remotesPath", &S::remotesPath, {.builtIn = "~/workspace/remotes"}),
        required("refreshInterval", &S::refreshInterval, {.builtIn = 60.0}),
        required("recentDays", &S::recentDays, {.builtIn = 7}),
        optional("searchDays", &S::searchDays, {.builtIn = 30}),
        optional("timeBasis", &S::timeBasis,
                 {.builtIn = "modification", .choices = {"modification", "creation", "either"}}),
        required("maxFiles", &S::maxFiles, {.builtIn = 500}),
        required("includeExtensions", &S::includeExtensions,
                 {.builtIn = extensions, .splitText = form::splitExtensions}),
        required("excludeDirs", &S::excludeDirs,
                 {.builtIn = excludeDirs, .splitText = form::splitList}),
        optional("excludeFilePatterns", &S::excludeFilePatterns, {.splitText = form::splitList}),
        optional("captureVoiceMemosEnabled", &S::captureVoiceMemosEnabled, {.builtIn = false}),
        optional("captureWendrelEnabled", &S::captureWendrelEnabled, {.builtIn = false}),
        optional("wendrelBaseURL", &S::wendrelBaseURL),
        optional("keepVoiceMemosRunning", &S::keepVoiceMemosRunning),
        optional("watchedFoldersRaw", &S::watchedFoldersRaw),
        optional("inboxGroupThreshold", &S::inboxGroupThreshold),
        optional("outboxGroupThreshold", &S::outboxGroupThreshold),
        optional("handoffGroupThreshold", &S::handoffGroupThreshold),
        optional("todayGroupThreshold", &S::todayGroupThreshold),
        optional("menuDayLimit", &S::menuDayLimit),
        optional("recordingSource", &S::recordingSource),
        optional("recordingIncludeMicrophone", &S::recordingIncludeMicrophone),
        optional("recordingMicrophoneUID", &S::recordingMicrophoneUID),
        optional("recordingConsentReminder", &S::recordingConsentReminder),
        optional("recordingConsentText", &S::recordingConsentText),
        optional("recordingAutoStopMinutes", &S::recordingAutoStopMinutes),
        optional("recordingShowWindow", &S::recordingShowWindow),
        optional("notifyTranscriptReady", &S::notifyTranscriptReady),
        optional("notifyTranscriptFailed", &S::notifyTranscriptFailed),
        optional("notifyVoiceMemoSent", &S::notifyVoiceMemoSent),
        optional("recordingQuickKey", &S::recordingQuickKey),
        optional("recordingEchoCancellation", &S::recordingEchoCancellation,
                 {.choices = {"automatic", "on", "off"}}),
        optional("afterTranscriptCommand", &S::afterTranscriptCommand),
    };
}

}  // namespace

const std::vector<SettingKey>& settingKeys() {
    static const std::vector<SettingKey> keys = makeKeys();
    return keys;
}

const SettingKey* findSettingKey(std::string_view name) {
    for (auto& key : settingKeys())
        if (key.name == name) return &key;
    return nullptr;
}

AppSettings decode(const Json& j) {
    if (!j.is_object()) throw DecodeError("settings: not an object");
    AppSettings s;
    for (auto& key : settingKeys()) key.read(field(j, key.name.c_str(), false), s);
    return s;
}

Json encode(const AppSettings& s) {
    Json j = Json::object();
    for (auto& key : settingKeys()) {
        auto value = key.write(s);
        if (!value.is_null()) j[key.name] = std::move(value);
    }
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
