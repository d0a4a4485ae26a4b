#include <fmt/format.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "browser/file_actions.hpp"
#include "browser/file_scanner.hpp"
#include "browser/search_index.hpp"
#include "browser/trash.hpp"
#include "browser/vault_menu.hpp"
#include "commands.hpp"
#include "core/places.hpp"
#include "core/text.hpp"
#include "core/time_format.hpp"
#include "platform/opener.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;

namespace {

struct Inline : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};

// One line per path, whatever the name holds.
std::string printable(std::string_view text) {
    std::string out = core::repairUtf8(text);
    for (auto& c : out) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    return out;
}

// The scanner's lists after one full refresh, run in this process.
browser::FileScanner::Lists scanOnce(browser::FileScanner& scanner) {
    scanner.refreshNow(true);
    return scanner.lists();
}

int printMenu(core::Clock& clock, bool json) {
    settings::Settings settings;
    Inline main;
    browser::FileScanner scanner(settings, clock, main);
    auto lists = scanOnce(scanner);
    auto copy = [&] {
        auto guard = settings.lock();
        return settings.settings();
    }();
    auto vault = browser::VaultMenu(copy, clock.now()).vaultSubmenu(lists);
    // The five lists; the search item belongs to the window, not to this listing.
    std::vector<browser::MenuItem> rows(vault.children.begin(), vault.children.begin() + 5);
    if (json) {
        std::cout << browser::menuJson(rows).dump(2) << '\n';
    } else {
        std::cout << browser::renderMenuText(rows);
    }
    return 0;
}

int printSearch(core::Clock& clock, const std::string& query, bool all, bool json) {
    settings::Settings settings;
    Inline main;
    browser::FileScanner scanner(settings, clock, main);
    scanOnce(scanner);
    platform::XdgOpener opener;  // the command only lists; nothing is opened
    browser::DesktopFileActions actions(opener, std::nullopt);
    browser::SearchIndex index(scanner, settings, actions);
    if (all) index.setDeepSearch(true);
    index.setQuery(query);
    if (json) {
        core::Json out = core::Json::array();
        for (auto& f : index.results()) out.push_back(browser::toJson(f));
        std::cout << out.dump(2) << '\n';
        return 0;
    }
    auto basis = [&] {
        auto guard = settings.lock();
        return settings.settings().effectiveTimeBasis();
    }();
    for (auto& f : index.results()) {
        std::cout << core::formatLocal(browser::fileDate(f, basis), "yyyy-MM-dd HH:mm") << "  "
                  << printable(f.fullPath) << '\n';
    }
    return 0;
}

// True when `path` lies below one of the folders the browser lists.
bool insideListedFolders(const fs::path& path) {
    settings::Settings settings;
    std::vector<fs::path> roots = settings.additionalPaths();
    {
        auto guard = settings.lock();
        const auto& vault = settings.settings().vaultPath;
        if (!vault.empty()) roots.insert(roots.begin(), core::expandTilde(vault));
    }
    std::error_code ec;
    fs::path file = fs::weakly_canonical(fs::absolute(path, ec), ec);
    for (auto& root : roots) {
        fs::path r = fs::weakly_canonical(root, ec);
        auto rel = file.lexically_relative(r);
        if (!rel.empty() && *rel.begin() != ".." && rel != ".") return true;
    }
    return false;
}

int trashFile(core::Clock& clock, const std::string& path) {
    if (!insideListedFolders(path)) {
        fmt::print(stderr, "{} is not in the vault or a workspace folder; nothing was moved\n",
                   printable(path));
        return 1;
    }
    try {
        auto trashed = browser::moveToTrash(path, clock.now());
        fmt::print("Moved to the trash: {}\n", printable(trashed.file.string()));
        return 0;
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\n", e.what());
        return 1;
    }
}

}  // namespace

void addBrowserCommands(CLI::App& app, Cli& cli) {
    auto* menu = app.add_subcommand(
        "menu",
        "Scan the vault and print Today, Outbox, Inbox, Handoff and Recent as the menu "
        "groups them");
    auto menuJson = std::make_shared<bool>(false);
    menu->add_flag("--json", *menuJson, "Print the menu as JSON");
    menu->callback([&cli, menuJson] { cli.exitCode = printMenu(cli.clock(), *menuJson); });

    auto* search = app.add_subcommand(
        "search", "Find files of the vault and the workspace folders; newest first");
    auto query = std::make_shared<std::vector<std::string>>();
    auto all = std::make_shared<bool>(false);
    auto searchJson = std::make_shared<bool>(false);
    search->add_option("query", *query, "Words that must all occur in the name or folder");
    search->add_flag("--all", *all, "Search every file, not only the recent ones");
    search->add_flag("--json", *searchJson, "Print the results as JSON");
    search->callback([&cli, query, all, searchJson] {
        std::string text;
        for (auto& word : *query) text += (text.empty() ? "" : " ") + word;
        cli.exitCode = printSearch(cli.clock(), text, *all, *searchJson);
    });

    auto* trash = app.add_subcommand("trash", "Move a file of the vault to the trash");
    auto path = std::make_shared<std::string>();
    trash->add_option("path", *path, "The file")->required();
    trash->callback([&cli, path] { cli.exitCode = trashFile(cli.clock(), *path); });
}

}  // namespace sayloft::cli
