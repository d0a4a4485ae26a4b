#include <memory>

#include "commands.hpp"

namespace sayloft::cli {

void addServiceCommands(CLI::App& app, Cli& cli) {
    struct PairOptions {
        std::string baseURL;
        bool noBrowser = false;
    };
    auto options = std::make_shared<PairOptions>();
    auto* pair = app.add_subcommand("pair", "Pair this computer with your Wendrel account");
    pair->add_option("--base-url", options->baseURL,
                     "API root to pair against, saved as the service address once paired "
                     "(default: the configured service)");
    pair->add_flag("--no-browser", options->noBrowser,
                   "Print the verification address instead of opening a browser");
    pair->callback([&cli, options] {
        cli.exitCode =
            cli.request("pair", {{"baseURL", options->baseURL}, {"noBrowser", options->noBrowser}});
    });

    auto unpairURL = std::make_shared<std::string>();
    auto* unpair = app.add_subcommand("unpair", "Forget this computer's Wendrel device token");
    unpair->add_option("--base-url", *unpairURL,
                       "Only when this is the service address in use (refused otherwise)");
    unpair->callback([&cli, unpairURL] {
        cli.exitCode = cli.request("unpair", {{"baseURL", *unpairURL}});
    });
}

}  // namespace sayloft::cli
