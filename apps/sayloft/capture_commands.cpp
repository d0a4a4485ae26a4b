#include <iostream>

#include "app/engine_host.hpp"
#include "commands.hpp"
#include "core/log.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace {

int runDaemon(Cli& cli) {
    ensureSettingsFile();
    app::RequestOutput output{[](const std::string& line) { std::cout << line << std::endl; },
                              [](const std::string& line) { std::cerr << line << std::endl; }};
    std::stop_callback announce(cli.signals().token(), [&] {
        int signal = cli.signals().received();
        core::log("launch", "received {}, stopping", signal == SIGINT ? "SIGINT" : "SIGTERM");
    });
    return app::runDaemon(
        cli.signals().token(),
        [&](const std::string& role) {
            auto engine = cli.makeEngine(role);
            core::log("launch", "sayloft daemon starting (settings {})",
                      settings::Settings::defaultPath().string());
            return engine;
        },
        output);
}

}  // namespace

void addCaptureCommands(CLI::App& app, Cli& cli) {
    app.add_subcommand("run", "Run the sayloft engine as a daemon until SIGINT or SIGTERM")
        ->callback([&cli] { cli.exitCode = runDaemon(cli); });
    app.add_subcommand("poll",
                       "Look at the enabled watched folders once, print each new capture as "
                       "<capture id><TAB><source path>, and file it (and send it, when uploading "
                       "is on)")
        ->callback([&cli] { cli.exitCode = cli.request("poll"); });

    auto* importCommand =
        app.add_subcommand("import", "Send the recordings already in the Voice Memos folder again");
    static std::string since;
    importCommand->add_option("--since", since, "Only recordings from this day on (YYYY-MM-DD)");
    static bool countImport = false;
    importCommand->add_flag("--count", countImport, "Only print how many recordings would be sent");
    importCommand->callback([&cli] {
        cli.exitCode = cli.request(countImport ? "import.count" : "import", {{"since", since}});
    });

    auto* retry = app.add_subcommand("retry",
                                     "Upload the captures whose upload was skipped or failed, "
                                     "and follow them to their transcripts");
    static bool countRetry = false;
    retry->add_flag("--count", countRetry, "Only print how many captures would be uploaded");
    retry->callback([&cli] { cli.exitCode = cli.request(countRetry ? "retry.count" : "retry"); });
    app.add_subcommand("sync", "Pull into the vault the transcripts that exist only on Wendrel")
        ->callback([&cli] { cli.exitCode = cli.request("sync"); });

    auto* notifications = app.add_subcommand("notifications", "Desktop notifications");
    notifications->require_subcommand(1);
    notifications->add_subcommand("test", "Post the test notification")->callback([&cli] {
        cli.exitCode = cli.request("notifications.test");
    });

    app.add_subcommand("status", "Show the watched folders, the pairing and the captures")
        ->callback([&cli] { cli.exitCode = cli.request("status"); });
}

}  // namespace sayloft::cli
