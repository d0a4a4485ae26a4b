#include <iostream>

#include "app_context.hpp"
#include "capture/capture_access.hpp"
#include "capture/folder_watcher.hpp"
#include "commands.hpp"
#include "core/json.hpp"
#include "core/places.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;
using settings::Settings;

namespace {

// Reads a command-line value as the JSON type the key already has (or, for an absent optional,
// the type its name says), so "true", "60" and plain text all land as the file expects.
core::Json valueFor(const std::string& key, const std::string& text, const core::Json& current) {
    static const std::set<std::string> booleans = {
        "captureVoiceMemosEnabled",   "captureWendrelEnabled",    "keepVoiceMemosRunning",
        "recordingIncludeMicrophone", "recordingConsentReminder", "recordingShowWindow",
        "notifyTranscriptReady",      "notifyTranscriptFailed",   "notifyVoiceMemoSent",
        "recordingQuickKey"};
    static const std::set<std::string> numbers = {"refreshInterval",
                                                  "recentDays",
                                                  "searchDays",
                                                  "maxFiles",
                                                  "inboxGroupThreshold",
                                                  "outboxGroupThreshold",
                                                  "handoffGroupThreshold",
                                                  "todayGroupThreshold",
                                                  "menuDayLimit",
                                                  "recordingAutoStopMinutes"};
    static const std::set<std::string> lists = {"additionalPaths", "includeExtensions",
                                                "excludeDirs", "excludeFilePatterns"};
    if (booleans.count(key)) {
        if (text == "true" || text == "on" || text == "yes") return true;
        if (text == "false" || text == "off" || text == "no") return false;
        throw std::runtime_error(key + " takes true or false");
    }
    if (numbers.count(key)) {
        auto parsed = core::Json::parse(text, nullptr, false);
        if (!parsed.is_number()) throw std::runtime_error(key + " takes a number");
        return parsed;
    }
    if (lists.count(key)) {
        return key == "additionalPaths"     ? core::Json(settings::form::splitLines(text))
               : key == "includeExtensions" ? core::Json(settings::form::splitExtensions(text))
                                            : core::Json(settings::form::splitList(text));
    }
    if (key == "watchedFoldersRaw" || key == "recordingSource") {
        auto parsed = core::Json::parse(text, nullptr, false);
        if (parsed.is_discarded()) throw std::runtime_error(key + " takes JSON");
        return parsed;
    }
    (void)current;
    return text;
}

// A damaged settings file is never written over: the command says why and fails.
bool saveOrRefuse(Settings& store) {
    try {
        store.save();
        return true;
    } catch (const settings::SettingsDamaged& e) {
        std::cerr << "Not saved: " << e.what() << '\n';
        return false;
    }
}

int setValue(const std::string& key, const std::string& text, bool unset) {
    auto& store = Settings::shared();
    auto json = settings::encode(store.settings());
    try {
        if (unset) {
            json.erase(key);
        } else {
            json[key] = valueFor(key, text, json.contains(key) ? json[key] : core::Json());
        }
        auto decoded = settings::form::normalised(settings::decode(json));
        if (!unset && !settings::encode(decoded).contains(key) && key != "afterTranscriptCommand" &&
            key != "wendrelBaseURL" && key != "recordingConsentText" &&
            key != "recordingEchoCancellation")
            throw std::runtime_error("unknown setting \"" + key + "\"");
        store.settings() = decoded;
    } catch (const std::exception& e) {
        std::cerr << "Not saved: " << e.what() << '\n';
        return 2;
    }
    if (!saveOrRefuse(store)) return 2;
    askDaemonToReload();
    return 0;
}

int addFolder(const std::string& path, const std::string& name) {
    auto& store = Settings::shared();
    auto folders = store.watchedFolders();
    auto folder = settings::WatchedFolder::generic(
        path, name.empty() ? std::nullopt : std::optional<std::string>(name));
    for (auto& f : folders) {
        if (f.id == folder.id) {
            f.enabled = true;
            store.settings().watchedFoldersRaw = folders;
            if (!saveOrRefuse(store)) return 2;
            askDaemonToReload();
            std::cout << "Already watched; enabled " << f.displayName << " (" << f.id << ")\n";
            return 0;
        }
    }
    folders.push_back(folder);
    store.settings().watchedFoldersRaw = folders;
    store.settings() = settings::form::normalised(store.settings());
    if (!saveOrRefuse(store)) return 2;
    askDaemonToReload();
    std::cout << "Watching " << folder.displayName << " (" << folder.id << ")\n";
    return 0;
}

int changeFolder(const std::string& id, const std::string& action) {
    auto& store = Settings::shared();
    auto folders = store.watchedFolders();
    auto it = std::find_if(folders.begin(), folders.end(), [&](auto& f) { return f.id == id; });
    if (it == folders.end()) {
        std::cerr << "No watched folder with id " << id << '\n';
        return 1;
    }
    if (action == "remove") {
        if (it->id == settings::kVoiceMemosFolderId) {
            std::cerr << "The Voice Memos folder is switched off, not removed: use disable\n";
            return 1;
        }
        folders.erase(it);
    } else {
        it->enabled = action == "enable";
    }
    store.settings().watchedFoldersRaw = folders;
    store.settings() = settings::form::normalised(store.settings());
    if (!saveOrRefuse(store)) return 2;
    askDaemonToReload();
    return 0;
}

}  // namespace

void addSettingsCommands(CLI::App& app) {
    auto* cmd = app.add_subcommand("settings", "Show or change the settings file");
    cmd->require_subcommand(1);
    cmd->add_subcommand("init",
                        "Create a settings file with a demo watched folder, unless one exists")
        ->callback([] { ensureSettingsFile(); });
    cmd->add_subcommand("path", "Print where the settings file is")->callback([] {
        std::cout << Settings::defaultPath().string() << '\n';
    });
    cmd->add_subcommand("show", "Print the settings as sayloft reads them")->callback([] {
        std::cout << core::dumpPretty(settings::encode(Settings::shared().settings()));
    });
    static std::string getKey;
    auto* get = cmd->add_subcommand("get", "Print one setting (nothing when it is not set)");
    get->add_option("key", getKey)->required();
    get->callback([] {
        auto json = settings::encode(Settings::shared().settings());
        if (!json.contains(getKey)) return;
        auto& v = json[getKey];
        std::cout << (v.is_string() ? v.get<std::string>() : v.dump()) << '\n';
    });
    static std::string setKey, setText;
    auto* set = cmd->add_subcommand("set", "Change one setting and save");
    set->add_option("key", setKey)->required();
    set->add_option("value", setText)->required();
    set->callback([] { exitCode() = setValue(setKey, setText, false); });
    static std::string unsetKey;
    auto* unset = cmd->add_subcommand("unset", "Remove an optional setting and save");
    unset->add_option("key", unsetKey)->required();
    unset->callback([] { exitCode() = setValue(unsetKey, "", true); });

    auto* folders = app.add_subcommand("folders", "List or change the watched folders");
    folders->require_subcommand(1);
    folders->add_subcommand("list", "One line per watched folder")->callback([] {
        for (auto& f : Settings::shared().watchedFolders()) {
            std::cout << f.id << '\t' << (f.enabled ? "on" : "off") << '\t' << f.displayName << '\t'
                      << capture::folderURL(f).string() << '\n';
        }
    });
    static std::string addPath, addName;
    auto* add = folders->add_subcommand("add", "Watch a folder for new recordings");
    add->add_option("path", addPath)->required();
    add->add_option("--name", addName, "Display name (default: the folder's name)");
    add->callback([] { exitCode() = addFolder(addPath, addName); });
    static std::string folderId;
    for (auto action : {"remove", "enable", "disable"}) {
        auto* sub =
            folders->add_subcommand(action, std::string(action) + " a watched folder by id");
        sub->add_option("id", folderId)->required();
        sub->callback([action] { exitCode() = changeFolder(folderId, action); });
    }
}

}  // namespace sayloft::cli
