#include <fmt/format.h>

#include "commands.hpp"
#include "sayloft/version.hpp"

namespace sayloft::cli {
std::vector<std::string> statusLines() {
    return {pairingStatusLine()};
}

int& exitCode() {
    static int code = 0;
    return code;
}
}  // namespace sayloft::cli

int main(int argc, char** argv) {
    CLI::App app{"sayloft: files what is said into your notes vault"};
    app.set_version_flag("--version", std::string("sayloft ") + sayloft::kVersion);
    app.require_subcommand(1);
    sayloft::cli::addCaptureCommands(app);
    sayloft::cli::addBrowserCommands(app);
    sayloft::cli::addNoteCommands(app);
    sayloft::cli::addServiceCommands(app);
    sayloft::cli::addSettingsCommands(app);
    // Global options may also follow the subcommand.
    for (auto* sub : app.get_subcommands([](CLI::App*) { return true; })) sub->fallthrough();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return sayloft::cli::exitCode();
}
