#include <iostream>
#include <memory>

#include "browser/vault_browser.hpp"
#include "commands.hpp"
#include "core/text.hpp"

namespace sayloft::cli {

namespace {

struct Inline : core::MainQueue {
    void async(std::function<void()> work) override { work(); }
};

// Asks the running daemon, whose scanner keeps the lists; without one, scans once here (an
// engine is not hosted for a listing).
int browse(Cli& cli, const std::string& method, core::Json params, bool viaDaemon = true) {
    if (viaDaemon) {
        if (auto code = cli.requestIfRunning(method, params)) return *code;
    }
    browser::BrowserOutput output{[](const std::string& line) { std::cout << line << std::endl; },
                                  [](const std::string& line) { std::cerr << line << std::endl; }};
    settings::Settings settings;
    core::Json answer;
    if (method == "trash") {
        // Nothing to scan for a move to the trash.
        answer = browser::trashListedFile(settings, params.value("path", ""), cli.clock().now());
        if (answer.value("ok", false))
            output.out("Moved to the trash: " + answer["trashedTo"].get<std::string>());
        answer["exitCode"] = answer.value("ok", false) ? 0 : 1;
    } else {
        Inline main;
        browser::VaultBrowser vault(settings, cli.clock(), main);
        answer = vault.handle(method, params, output);
    }
    if (answer.contains("error") && answer["error"].is_string())
        output.err(answer["error"].get<std::string>());
    return answer.value("exitCode", 1);
}

}  // namespace

void addBrowserCommands(CLI::App& app, Cli& cli) {
    auto* menu = app.add_subcommand(
        "menu",
        "Print Today, Outbox, Inbox, Handoff and Recent as the menu groups them (from the running "
        "sayloft's lists, else from a scan made now)");
    auto menuJson = std::make_shared<bool>(false);
    menu->add_flag("--json", *menuJson, "Print the menu as JSON");
    menu->callback([&cli, menuJson] {
        cli.exitCode = browse(cli, "menu", {{"print", *menuJson ? "json" : "text"}});
    });

    auto* search = app.add_subcommand(
        "search", "Find files of the vault and the workspace folders; newest first");
    auto query = std::make_shared<std::vector<std::string>>();
    auto all = std::make_shared<bool>(false);
    auto searchJson = std::make_shared<bool>(false);
    auto limit = std::make_shared<int>(0);
    search->add_option("query", *query, "Words that must all occur in the name or folder");
    search->add_flag("--all", *all, "Search every file, not only the recent ones");
    search->add_flag("--json", *searchJson, "Print the results as JSON");
    search->add_option("--limit", *limit, "Print at most this many results");
    search->callback([&cli, query, all, searchJson, limit] {
        std::string text;
        for (auto& word : *query) text += (text.empty() ? "" : " ") + word;
        cli.exitCode = browse(cli, "search",
                              {{"query", text},
                               {"limit", *limit},
                               {"all", *all},
                               {"print", *searchJson ? "json" : "text"}});
    });

    auto* trash = app.add_subcommand("trash", "Move a file of the vault to the trash");
    auto path = std::make_shared<std::string>();
    trash->add_option("path", *path, "The file")->required();
    trash->callback([&cli, path] {
        // A relative path means the same to a daemon started elsewhere.
        std::error_code ec;
        auto absolute = std::filesystem::absolute(*path, ec);
        std::string given = ec ? *path : absolute.string();
        // A name that is not UTF-8 cannot travel in a request; such a file is moved from here
        // (the daemon's lists drop it at their next refresh).
        bool utf8 = core::repairUtf8(given) == given;
        cli.exitCode = browse(cli, "trash", {{"path", given}, {"print", "text"}}, utf8);
    });
}

}  // namespace sayloft::cli
