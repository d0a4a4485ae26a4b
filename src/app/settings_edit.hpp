#pragma once

#include <optional>
#include <string>

#include "core/json.hpp"
#include "settings/settings.hpp"

namespace sayloft::app {

// Changes to the settings as a settings window makes them: a value is read as the JSON type its
// key has, the whole result must decode, and the form's rules are applied before saving. Each
// throws Error with a text for the user when the change is refused; nothing is changed then.
namespace SettingsEdit {
// Sets (or, with `unset`, removes) one key. A settings file that does not read is never written
// over (settings::SettingsDamaged) unless `force`, which keeps a copy of it first.
void setValue(settings::Settings& store, const std::string& key, const std::string& text,
              bool unset, bool force = false);
// Watches a folder (or enables it when already watched); returns the line to show.
std::string addFolder(settings::Settings& store, const std::string& path, const std::string& name);
// "remove", "enable" or "disable" a watched folder by id.
void changeFolder(settings::Settings& store, const std::string& id, const std::string& action);
// The key's current value as `settings get` prints it (strings bare, everything else as JSON), or
// nothing when the setting is absent.
std::optional<std::string> valueText(const settings::Settings& store, const std::string& key);
// Reads a command-line value as the JSON type the key expects.
core::Json valueFor(const std::string& key, const std::string& text);
}  // namespace SettingsEdit

}  // namespace sayloft::app
