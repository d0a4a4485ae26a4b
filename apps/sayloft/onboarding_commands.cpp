#include <fmt/format.h>
#include <unistd.h>

#include <iostream>

#include "app/control_socket.hpp"
#include "app/engine_host.hpp"
#include "app/onboarding/doctor.hpp"
#include "app/onboarding/environment_check.hpp"
#include "app/onboarding/login_item.hpp"
#include "app/onboarding/vault_detector.hpp"
#include "commands.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"
#include "platform/user_defaults.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;
using app::VaultCandidate;
using app::VaultDetector;

namespace {

int doctor() {
    settings::Settings store;
    auto checks = app::runDoctor(store, app::EnvironmentCheck::shared());
    bool missing = false;
    for (auto& check : checks) {
        std::cout << fmt::format("{:<9}{:<22}{}\n", app::describe(check.state), check.name,
                                 check.detail);
        if (check.state != app::DoctorCheck::State::ok && !check.package.empty())
            std::cout << fmt::format("{:<31}install: sudo apt install {}\n", "", check.package);
        missing = missing || check.state == app::DoctorCheck::State::missing;
    }
    return missing ? 1 : 0;
}

int autostart(const std::string& action) {
    // What the login item logs belongs in the capture log, not on this command's stderr.
    installCaptureLog();
    core::LogConfig::setStderr(false);
    struct Flush {
        ~Flush() { core::LogConfig::captureLog()->flush(); }
    } flushAtEnd;
    platform::JsonFileDefaults defaults;
    app::LoginItem item(defaults);
    if (action == "status") {
        auto status = item.status();
        std::cout << "Start at login: " << app::describe(status);
        if (status == app::LoginItemStatus::enabled)
            std::cout << " (" << item.entryFile().string() << ")";
        std::cout << "\n";
        return 0;
    }
    if (auto error = item.set(action == "on")) {
        std::cerr << "Could not change the start at login: " << *error << "\n";
        return 1;
    }
    if (action == "on") {
        std::cout << "sayloft starts at login: " << item.entryFile().string() << "\n";
    } else {
        std::cout << "sayloft no longer starts at login.\n";
    }
    return 0;
}

std::string candidateLine(size_t number, const VaultCandidate& c) {
    std::string about = app::describe(c.source);
    if (c.lastOpened) about += ", last opened " + core::formatLocal(*c.lastOpened, "yyyy-MM-dd");
    if (c.hasLoomkitMarkers) about += ", loomkit";
    if (c.hasOutbox) about += ", _outbox";
    return fmt::format("  {}. {}  {}  ({})", number, c.name, c.path, about);
}

void printNextSteps(const settings::Settings& store) {
    // A running engine files into the new vault from now on.
    if (auto engine = app::connectToEngine(app::EngineAddress{}.socketPath())) {
        engine->send({{"id", 1}, {"method", "settings.reload"}});
        engine->receive();
    }
    const auto& s = store.settings();
    std::cout << "\nVault: " << s.vaultPath << "\n"
              << "Settings written to " << store.configPath().string() << "\n\n"
              << "What happens next:\n"
              << "  sayloft pair             connects this computer to Wendrel\n"
              << "  sayloft folders add DIR  watches a folder of recordings\n"
              << "  sayloft run              files each transcript into " << s.vaultPath
              << "/_inbox/\n"
              << "  sayloft autostart on     starts sayloft at login\n";
}

// A path typed or given: an existing folder is used as it is; a missing one becomes a new vault.
void useFolder(settings::Settings& store, const std::string& typed) {
    const fs::path path = core::expandTilde(typed);
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        app::commitVault(store, fs::absolute(path).lexically_normal().string(),
                         path.filename().string());
        return;
    }
    if (fs::exists(path, ec)) throw Error(path.string() + " is not a folder");
    const fs::path absolute = fs::absolute(path).lexically_normal();
    auto created = VaultDetector::createNewVault(absolute.parent_path().string(),
                                                 absolute.filename().string(), false);
    std::cout << "Created the vault " << created.string() << "\n";
    app::commitVault(store, created.string(), created.filename().string());
}

std::optional<std::string> ask(const std::string& prompt) {
    std::cout << prompt << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return std::string(core::trimWhitespace(line));
}

// The welcome, in a terminal: numbered vaults, or create one, or type a path.
int interactiveSetup(settings::Settings& store, bool settingsExisted) {
    std::cout << "Welcome to sayloft\n"
              << "Capture what is said, and keep your vault one click away.\n\n"
              << (settingsExisted ? "Your vault, or another one" : "Pick a vault") << "\n"
              << "Looking for vaults on this computer...\n";
    auto candidates = VaultDetector().detectAll();
    if (candidates.empty()) std::cout << "  No Obsidian vaults found on this computer.\n";
    for (size_t i = 0; i < candidates.size(); ++i)
        std::cout << candidateLine(i + 1, candidates[i]) << "\n";
    std::cout << "  n. Create a new vault\n"
              << "  p. Use a folder you already work in (type its path)\n"
              << "  q. " << (settingsExisted ? "Done" : "Skip for now") << "\n";
    for (;;) {
        auto choice = ask("Choice: ");
        if (!choice || *choice == "q") {
            std::cout << "Nothing changed.\n";
            return settingsExisted ? 0 : 1;
        }
        try {
            if (*choice == "n") {
                auto parent = ask("Parent folder [~/Documents]: ");
                auto name = ask("Vault name [MyVault]: ");
                auto stub = ask("Write CLAUDE.md stub for loomkit compatibility? [Y/n]: ");
                if (!parent || !name || !stub) return 1;
                const std::string vaultName = name->empty() ? "MyVault" : *name;
                auto path = VaultDetector::createNewVault(
                    parent->empty() ? core::documentsDir().string() : *parent, vaultName,
                    *stub != "n" && *stub != "N" && *stub != "no");
                app::commitVault(store, path.string(), vaultName);
            } else if (*choice == "p") {
                auto typed = ask("Folder: ");
                if (!typed) return 1;
                if (typed->empty()) continue;
                useFolder(store, *typed);
            } else {
                size_t number = 0;
                try {
                    number = std::stoul(*choice);
                } catch (const std::exception&) {
                }
                if (number < 1 || number > candidates.size()) {
                    std::cout << "Type a number from the list, n, p or q.\n";
                    continue;
                }
                auto& c = candidates[number - 1];
                app::commitVault(store, c.path, c.name);
            }
        } catch (const std::exception& e) {
            std::cout << "Couldn't set up vault: " << e.what() << "\n";
            continue;
        }
        printNextSteps(store);
        return 0;
    }
}

int setup(const std::string& vault, bool list) {
    settings::Settings store;
    std::error_code ec;
    const bool existed = fs::exists(store.configPath(), ec);
    if (list) {
        auto candidates = VaultDetector().detectAll();
        if (candidates.empty()) std::cout << "No Obsidian vaults found on this computer.\n";
        for (size_t i = 0; i < candidates.size(); ++i)
            std::cout << candidateLine(i + 1, candidates[i]) << "\n";
        return 0;
    }
    if (!vault.empty()) {
        try {
            useFolder(store, vault);
        } catch (const std::exception& e) {
            std::cerr << "Couldn't set up vault: " << e.what() << "\n";
            return 1;
        }
        printNextSteps(store);
        return 0;
    }
    if (!::isatty(STDIN_FILENO)) {
        std::cerr << "sayloft setup asks in a terminal; without one, choose the vault with "
                     "`sayloft setup --vault PATH` (`sayloft setup --list` shows the vaults found "
                     "on this computer).\n";
        return 2;
    }
    return interactiveSetup(store, existed);
}

}  // namespace

void addOnboardingCommands(CLI::App& app, Cli& cli) {
    app.add_subcommand("doctor", "Check what sayloft needs on this computer")->callback([&cli] {
        cli.exitCode = doctor();
    });

    auto* autostartCmd =
        app.add_subcommand("autostart", "Start sayloft at login: on, off or status");
    static std::string action;
    autostartCmd->add_option("action", action, "on, off or status")
        ->required()
        ->check(CLI::IsMember({"on", "off", "status"}));
    autostartCmd->callback([&cli] { cli.exitCode = autostart(action); });

    auto* setupCmd = app.add_subcommand("setup", "Choose the vault sayloft files notes into");
    static std::string vault;
    static bool list = false;
    setupCmd->add_option("--vault", vault, "Use this folder (created when missing) as the vault");
    setupCmd->add_flag("--list", list, "Print the vaults found on this computer");
    setupCmd->callback([&cli] { cli.exitCode = setup(vault, list); });
}

}  // namespace sayloft::cli
