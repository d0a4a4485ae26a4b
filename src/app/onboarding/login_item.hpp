#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/user_defaults.hpp"

namespace sayloft::app {

enum class LoginItemStatus {
    notRegistered,  // no autostart entry (or one the user hid)
    enabled,        // sayloft starts at login
    notFound,       // nothing to start: neither the desktop app nor the sayloft command was found
};

// "not registered", "enabled", "not found".
std::string describe(LoginItemStatus status);

// Starting sayloft at login, as an XDG autostart entry ($XDG_CONFIG_HOME/autostart/sayloft.desktop)
// that starts the desktop app, or the headless daemon where no desktop app is installed. On by
// default until the user makes a choice of their own ("sayloft.loginItem.chosen").
class LoginItem {
  public:
    static constexpr const char* kChosenKey = "sayloft.loginItem.chosen";
    static constexpr const char* kObsoleteDecidedKey = "sayloft.loginItem.decided";

    struct Options {
        std::filesystem::path entryFile;  // empty: autostartDir()/sayloft.desktop
        // The command line to start at login; nothing when there is nothing to start.
        std::function<std::optional<std::vector<std::string>>()> command;  // empty: default
    };

    explicit LoginItem(platform::UserDefaults& defaults) : LoginItem(defaults, Options{}) {}
    LoginItem(platform::UserDefaults& defaults, Options options);

    LoginItemStatus status() const;
    const std::filesystem::path& entryFile() const { return entryFile_; }

    // Once per launch: turns the entry on while no choice exists yet.
    void enableByDefaultOnce();
    // The user's choice: writes or removes the entry. Returns the error text on failure.
    std::optional<std::string> set(bool enabled);

    // sayloft-tray when it is this program, beside it, or on PATH; else "sayloft run".
    static std::optional<std::vector<std::string>> defaultCommand();
    // The desktop entry for `command` (Exec quoted as desktop entries require).
    static std::string entryText(const std::vector<std::string>& command);
    // One argument as a desktop entry's Exec field wants it, escaped for the key file too.
    static std::string execQuote(const std::string& argument);

  private:
    platform::UserDefaults& defaults_;
    std::filesystem::path entryFile_;
    std::function<std::optional<std::vector<std::string>>()> command_;
};

}  // namespace sayloft::app
