#include <iostream>

#include "app/settings_edit.hpp"
#include "capture/folder_watcher.hpp"
#include "commands.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

using settings::Settings;

void addSettingsCommands(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand("settings", "Show or change the settings file");
    cmd->require_subcommand(1);
    cmd->add_subcommand("init",
                        "Create a settings file with a demo watched folder, unless one exists")
        ->callback([] { ensureSettingsFile(); });
    cmd->add_subcommand("path", "Print where the settings file is")->callback([] {
        std::cout << Settings::defaultPath().string() << '\n';
    });
    cmd->add_subcommand("show", "Print the settings as sayloft reads them")->callback([] {
        std::cout << core::dumpPretty(settings::encode(Settings().settings()));
    });
    static std::string getKey;
    auto* get = cmd->add_subcommand("get", "Print one setting (nothing when it is not set)");
    get->add_option("key", getKey)->required();
    get->callback([&cli] {
        try {
            if (auto value = app::SettingsEdit::valueText(Settings(), getKey))
                std::cout << *value << '\n';
        } catch (const Error& e) {
            std::cerr << e.what() << '\n';
            cli.exitCode = 1;
        }
    });
    static std::string setKey, setText;
    static bool force = false;
    auto* set = cmd->add_subcommand("set", "Change one setting and save");
    set->add_option("key", setKey)->required();
    set->add_option("value", setText)->required();
    set->add_flag("--force", force,
                  "Write even over a settings file that does not read (a copy of it is kept)");
    set->callback([&cli] {
        cli.exitCode =
            cli.request("settings.set", {{"key", setKey}, {"value", setText}, {"force", force}});
    });
    static std::string unsetKey;
    auto* unset = cmd->add_subcommand("unset", "Remove an optional setting and save");
    unset->add_option("key", unsetKey)->required();
    unset->callback([&cli] { cli.exitCode = cli.request("settings.unset", {{"key", unsetKey}}); });
    cmd->add_subcommand("reload",
                        "Read the settings file again after editing it by hand, and apply it")
        ->callback([&cli] { cli.exitCode = cli.request("settings.reload"); });

    auto* folders = app.add_subcommand("folders", "List or change the watched folders");
    folders->require_subcommand(1);
    folders->add_subcommand("list", "One line per watched folder")->callback([] {
        for (auto& f : Settings().watchedFolders()) {
            std::cout << f.id << '\t' << (f.enabled ? "on" : "off") << '\t' << f.displayName << '\t'
                      << capture::folderURL(f).string() << '\n';
        }
    });
    static std::string addPath, addName;
    auto* add = folders->add_subcommand("add", "Watch a folder for new recordings");
    add->add_option("path", addPath)->required();
    add->add_option("--name", addName, "Display name (default: the folder's name)");
    add->callback([&cli] {
        cli.exitCode = cli.request("folders.add", {{"path", addPath}, {"name", addName}});
    });
    static std::string folderId;
    for (auto action : {"remove", "enable", "disable"}) {
        auto* sub =
            folders->add_subcommand(action, std::string(action) + " a watched folder by id");
        sub->add_option("id", folderId)->required();
        sub->callback([&cli, action] {
            cli.exitCode = cli.request(std::string("folders.") + action, {{"id", folderId}});
        });
    }
}

}  // namespace sayloft::cli
