#include "app/settings_edit.hpp"

#include <algorithm>
#include <set>

#include "core/error.hpp"

namespace sayloft::app::SettingsEdit {

using settings::Settings;

core::Json valueFor(const std::string& key, const std::string& text) {
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
        throw Error(key + " takes true or false");
    }
    if (numbers.count(key)) {
        auto parsed = core::Json::parse(text, nullptr, false);
        if (!parsed.is_number()) throw Error(key + " takes a number");
        return parsed;
    }
    if (lists.count(key)) {
        return key == "additionalPaths"     ? core::Json(settings::form::splitLines(text))
               : key == "includeExtensions" ? core::Json(settings::form::splitExtensions(text))
                                            : core::Json(settings::form::splitList(text));
    }
    if (key == "watchedFoldersRaw" || key == "recordingSource") {
        auto parsed = core::Json::parse(text, nullptr, false);
        if (parsed.is_discarded()) throw Error(key + " takes JSON");
        return parsed;
    }
    return text;
}

void setValue(Settings& store, const std::string& key, const std::string& text, bool unset,
              bool force) {
    auto guard = store.lock();
    auto json = settings::encode(store.settings());
    settings::AppSettings decoded;
    try {
        if (unset) {
            json.erase(key);
        } else {
            json[key] = valueFor(key, text);
        }
        decoded = settings::form::normalised(settings::decode(json));
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw Error(e.what());
    }
    if (force && store.damage()) {
        store.settings() = decoded;
        store.saveForce();
        return;
    }
    if (!unset && !settings::encode(decoded).contains(key) && key != "afterTranscriptCommand" &&
        key != "wendrelBaseURL" && key != "recordingConsentText" &&
        key != "recordingEchoCancellation")
        throw Error("unknown setting \"" + key + "\"");
    store.settings() = decoded;
    store.save();
}

std::string addFolder(Settings& store, const std::string& path, const std::string& name) {
    auto guard = store.lock();
    auto folders = store.watchedFolders();
    auto folder = settings::WatchedFolder::generic(
        path, name.empty() ? std::nullopt : std::optional<std::string>(name));
    for (auto& f : folders) {
        if (f.id == folder.id) {
            f.enabled = true;
            store.settings().watchedFoldersRaw = folders;
            store.save();
            return "Already watched; enabled " + f.displayName + " (" + f.id + ")";
        }
    }
    folders.push_back(folder);
    store.settings().watchedFoldersRaw = folders;
    store.settings() = settings::form::normalised(store.settings());
    store.save();
    return "Watching " + folder.displayName + " (" + folder.id + ")";
}

void changeFolder(Settings& store, const std::string& id, const std::string& action) {
    auto guard = store.lock();
    auto folders = store.watchedFolders();
    auto it = std::find_if(folders.begin(), folders.end(), [&](auto& f) { return f.id == id; });
    if (it == folders.end()) throw Error("No watched folder with id " + id);
    if (action == "remove") {
        if (it->id == settings::kVoiceMemosFolderId)
            throw Error("The Voice Memos folder is switched off, not removed: use disable");
        folders.erase(it);
    } else {
        it->enabled = action == "enable";
    }
    store.settings().watchedFoldersRaw = folders;
    store.settings() = settings::form::normalised(store.settings());
    store.save();
}

}  // namespace sayloft::app::SettingsEdit
