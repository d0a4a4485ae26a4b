#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"

namespace sayloft::settings {

enum class TimeBasis { modification, creation, either };

// What the meeting recorder taps: all system audio, or one application.
struct RecordingSource {
    struct App {
        std::string bundleID;
        std::string name;
        bool operator==(const App&) const = default;
    };
    std::optional<App> app;  // empty: all system audio
    bool operator==(const RecordingSource&) const = default;
};

struct WatchedFolder {
    enum class Normaliser { voiceMemos, none };

    std::string id;
    std::string path;  // as entered; may begin with "~"
    std::string displayName;
    bool enabled = true;
    std::vector<std::string> extensions;
    Normaliser normaliser = Normaliser::none;

    // The lower-cased extensions, or the capture default set ("m4a", "wav") when none are listed.
    std::set<std::string> effectiveExtensions() const;

    // A user folder entry: id "folder-" + base-36 FNV-1a of the expanded path.
    static WatchedFolder generic(const std::string& path,
                                 const std::optional<std::string>& displayName = std::nullopt);
    bool operator==(const WatchedFolder&) const = default;
};

inline constexpr const char* kVoiceMemosFolderId = "voice-memos";
inline constexpr const char* kDefaultConsentText =
    "Recording. Remember to tell the others you are recording.";

// The user's settings as the file holds them. Optional members are absent from the file when
// empty; readers apply the "when absent" substitutes through the accessors below.
struct AppSettings {
    // required
    std::string vaultPath;
    std::string vaultName;
    std::vector<std::string> additionalPaths;
    double refreshInterval = 60;
    int recentDays = 7;
    int maxFiles = 500;
    std::vector<std::string> includeExtensions;
    std::vector<std::string> excludeDirs;
    // optional
    std::optional<std::string> remotesPath;
    std::optional<int> searchDays;
    std::optional<TimeBasis> timeBasis;
    std::optional<std::vector<std::string>> excludeFilePatterns;
    std::optional<bool> captureVoiceMemosEnabled;
    std::optional<bool> captureWendrelEnabled;
    std::optional<std::string> wendrelBaseURL;
    std::optional<bool> keepVoiceMemosRunning;
    std::optional<std::vector<WatchedFolder>> watchedFoldersRaw;
    std::optional<int> inboxGroupThreshold;
    std::optional<int> outboxGroupThreshold;
    std::optional<int> handoffGroupThreshold;
    std::optional<int> todayGroupThreshold;
    std::optional<int> menuDayLimit;
    std::optional<RecordingSource> recordingSource;
    std::optional<bool> recordingIncludeMicrophone;
    std::optional<std::string> recordingMicrophoneUID;
    std::optional<bool> recordingConsentReminder;
    std::optional<std::string> recordingConsentText;
    std::optional<int> recordingAutoStopMinutes;
    std::optional<bool> recordingShowWindow;
    std::optional<bool> notifyTranscriptReady;
    std::optional<bool> notifyTranscriptFailed;
    std::optional<bool> notifyVoiceMemoSent;
    std::optional<bool> recordingQuickKey;
    std::optional<std::string> recordingEchoCancellation;  // "automatic", "on", "off"
    std::optional<std::string> afterTranscriptCommand;

    // The built-in values, used when there is no usable file.
    static AppSettings defaults();

    // "When absent" substitutes.
    int effectiveSearchDays() const;
    TimeBasis effectiveTimeBasis() const;
    int groupThreshold(const std::optional<int>& value) const;  // absent 15, below 1 is 1
    int effectiveMenuDayLimit() const;                          // absent 10, below 1 is 1
    int effectiveAutoStopMinutes() const;                       // absent 0, negative is 0
    std::string effectiveConsentText() const;
    std::string effectiveEchoCancellation() const;

    bool operator==(const AppSettings&) const = default;
};

// Thrown by decode() for any value that does not fit; the message names the key.
struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

core::Json encode(const AppSettings& settings);
AppSettings decode(const core::Json& json);  // all-or-nothing; throws DecodeError

// A settings file that exists but cannot be used; save() refuses to write over it.
struct SettingsDamaged : Error {
    using Error::Error;
};

// The settings file and its in-memory copy. Loading is all-or-nothing: a missing file gives
// the built-in values; an unreadable or undecodable one gives them too, is reported (damage(),
// a log line naming the key and the reason) and is never written over unless forced.
class Settings {
  public:
    explicit Settings(std::filesystem::path configPath = defaultPath());
    static std::filesystem::path defaultPath();  // ~/.config/sayloft/settings.json

    const std::filesystem::path& configPath() const { return configPath_; }
    // The current values; mutate under lock() when other threads may read.
    AppSettings& settings() { return settings_; }
    const AppSettings& settings() const { return settings_; }
    std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }
    // True when the file was read and decoded at construction.
    bool loadedFromFile() const { return loadedFromFile_; }

    // Writes the current values (pretty, sorted keys, atomically). Write failures are silent.
    // Throws SettingsDamaged, writing nothing, while the file on disk cannot be used.
    void save();
    // Writes even over a damaged file, which is first kept beside it as
    // "settings.json.damaged-<date>". Returns the backup's path (empty when nothing was kept).
    std::filesystem::path saveForce();
    // Reads the file again, as loading does: all or nothing. On any failure the current values
    // stay. Used when another process (the command line) changed the file.
    bool reload();
    // Why the file on disk cannot be used ("<key>: <reason>"), or nothing when it is fine or
    // absent.
    std::optional<std::string> damage() const;

    static const std::vector<std::string>& defaultExcludeFilePatterns();

    std::vector<WatchedFolder> watchedFolders() const;
    std::vector<WatchedFolder> enabledWatchedFolders() const;
    bool isExcludedFile(const std::string& name) const;
    std::optional<std::string> afterTranscriptCommand() const;
    std::set<std::string> includeExtensions() const;
    std::vector<std::filesystem::path> additionalPaths() const;
    std::optional<std::string> wendrelBaseURL() const;

  private:
    std::filesystem::path configPath_;
    AppSettings settings_;
    bool loadedFromFile_ = false;
    std::optional<std::string> damage_;
    mutable std::recursive_mutex mutex_;
};

// The Voice Memos recordings folder: the first candidate that exists, else the first.
std::filesystem::path voiceMemosFolder();
std::vector<std::filesystem::path> voiceMemosFolderCandidates();

// 64-bit FNV-1a and base-36 (lower case, no leading zeros), as used for folder ids.
uint64_t fnv1a64(std::string_view bytes);
std::string base36(uint64_t value);

// The settings form's normalisation rules, shared by every editor of the settings.
namespace form {
std::vector<std::string> splitLines(const std::string& text);       // additionalPaths
std::vector<std::string> splitExtensions(const std::string& text);  // includeExtensions
std::vector<std::string> splitList(const std::string& text);        // excludeDirs, patterns
std::string joinList(const std::vector<std::string>& items);        // ", "
std::string joinLines(const std::vector<std::string>& items);       // "\n"
int atLeast(int value, int minimum);
std::optional<std::string> baseURL(const std::string& text);  // trimmed; empty absent
std::optional<std::string> command(bool enabled, const std::string& text);
std::optional<std::string> consentText(const std::string& text);       // default text absent
std::optional<std::string> echoCancellation(const std::string& mode);  // "automatic" absent
bool voiceMemosEnabled(const std::vector<WatchedFolder>& folders);
// Applies every rule above to a copy of the settings as an editor would before saving.
AppSettings normalised(AppSettings settings);
}  // namespace form

// How a key's value is written in the file.
enum class KeyType { string, boolean, integer, number, stringList, choice, folders, source };

// One key of the settings file. decode(), encode(), defaults() and every editor of single keys
// loop over the table of these, so a key is described in one place only.
struct SettingKey {
    std::string name;  // the JSON key, which is also the AppSettings field
    KeyType type = KeyType::string;
    bool required = false;
    core::Json builtIn;                // the value in AppSettings::defaults(); null: absent
    std::vector<std::string> choices;  // choice keys: the only strings allowed
    // List keys: how an editor turns typed text into the list (the form's rule).
    std::vector<std::string> (*splitText)(const std::string& text) = nullptr;
    // Stores the key's value (nullptr: absent) in the settings. Throws DecodeError naming the
    // key for a value that does not fit, or for a required key that is absent.
    std::function<void(const core::Json* value, AppSettings& settings)> read;
    // The key's value, or null when the setting is absent.
    std::function<core::Json(const AppSettings& settings)> write;
};

// Every key of the settings file, in the file format's documented order.
const std::vector<SettingKey>& settingKeys();
// The entry for `name`, or nullptr for a key the file does not have.
const SettingKey* findSettingKey(std::string_view name);

// `text` without the given ASCII characters at either end (the form's list rules name them);
// white space in general is core::trimWhitespace.
std::string trim(const std::string& text, const char* blanks);

}  // namespace sayloft::settings
