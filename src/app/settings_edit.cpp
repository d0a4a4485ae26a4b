#include "app/settings_edit.hpp"

#include <algorithm>

#include "core/error.hpp"

namespace sayloft::app::SettingsEdit {

using settings::Settings;

namespace {

const settings::SettingKey& keyNamed(const std::string& key) {
    if (auto* entry = settings::findSettingKey(key)) return *entry;
    throw Error("unknown setting \"" + key + "\"");
}

}  // namespace

core::Json valueFor(const std::string& key, const std::string& text) {
    const auto& entry = keyNamed(key);
    switch (entry.type) {
        case settings::KeyType::boolean:
            if (text == "true" || text == "on" || text == "yes") return true;
            if (text == "false" || text == "off" || text == "no") return false;
            throw Error(key + " takes true or false");
        case settings::KeyType::integer:
        case settings::KeyType::number: {
            auto parsed = core::Json::parse(text, nullptr, false);
            if (!parsed.is_number()) throw Error(key + " takes a number");
            return parsed;
        }
        case settings::KeyType::stringList:
            return entry.splitText ? entry.splitText(text) : settings::form::splitList(text);
        case settings::KeyType::folders:
        case settings::KeyType::source: {
            auto parsed = core::Json::parse(text, nullptr, false);
            if (parsed.is_discarded()) throw Error(key + " takes JSON");
            return parsed;
        }
        case settings::KeyType::choice:
            if (std::find(entry.choices.begin(), entry.choices.end(), text) == entry.choices.end())
                throw Error(key + " takes one of: " + settings::form::joinList(entry.choices));
            return text;
        case settings::KeyType::string:
            break;
    }
    return text;
}

std::optional<std::string> valueText(const settings::Settings& store, const std::string& key) {
    const auto& entry = keyNamed(key);
    core::Json value;
    {
        auto guard = store.lock();
        value = entry.write(store.settings());
    }
    if (value.is_null()) return std::nullopt;
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void setValue(Settings& store, const std::string& key, const std::string& text, bool unset,
              bool force) {
    const auto& entry = keyNamed(key);
    auto guard = store.lock();
    auto json = settings::encode(store.settings());
    settings::AppSettings decoded;
    try {
        if (unset) {
            if (entry.required) throw Error(key + " cannot be removed; set it instead");
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
