#pragma once

#include "platform/user_defaults.hpp"
#include "service/keychain.hpp"
#include "settings/settings.hpp"

// What the engine runs at start, in this order:
//   1. runLaunchMigrations() — first of all, before anything reads settings or state;
//   2. EnvironmentCheck::shared().runAtLaunch(defaults, notifications) — off the main queue (a
//      utility serial queue); nothing waits for it;
//   3. LoginItem(defaults).enableByDefaultOnce();
//   4. isFirstRun(settings): the desktop app shows its welcome, a terminal runs `sayloft setup`.
namespace sayloft::app {

// sayloft's own ~/Library layout into the XDG places, then the predecessor's data (asking a
// running predecessor to quit first). `settings` is reloaded when a settings file arrived.
// Returns true when nothing is left for a later launch.
bool runLaunchMigrations(settings::Settings& settings, service::Keychain& keychain,
                         platform::UserDefaults& defaults);

// No settings file yet.
bool isFirstRun(const settings::Settings& settings);

}  // namespace sayloft::app
