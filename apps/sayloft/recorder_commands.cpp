#include <iostream>
#include <memory>

#include "commands.hpp"

namespace sayloft::cli {

void addRecorderCommands(CLI::App& app, Cli& cli) {
    auto* recordings = app.add_subcommand(
        "recordings", "List the unfinished meeting recordings, or send or discard one");
    recordings->callback([&cli, recordings] {
        if (recordings->get_subcommands().empty()) cli.exitCode = cli.request("recordings");
    });
    auto id = std::make_shared<std::string>();
    for (auto action : {"send", "discard"}) {
        auto* sub = recordings->add_subcommand(
            action, std::string(action == std::string("send")
                                    ? "Encode an unfinished recording and send it like a memo"
                                    : "Remove an unfinished recording for good"));
        sub->add_option("id", *id, "The recording's id, as `sayloft recordings` lists it")
            ->required();
        sub->callback([&cli, id, action] {
            cli.exitCode = cli.request(std::string("recordings.") + action, {{"id", *id}});
        });
    }

    // Records two audio files as one meeting recording (microphone left, system right) and
    // sends it: drives the whole recording path without audio hardware.
    struct Simulate {
        std::string files;
        double segmentSeconds = 0;
    };
    auto simulate = std::make_shared<Simulate>();
    auto* record = app.add_subcommand("record", "Record a meeting")->group("");
    record->add_option("--simulate", simulate->files, "MIC.wav,SYSTEM.wav")->required();
    record->add_option("--segment-seconds", simulate->segmentSeconds);
    record->callback([&cli, simulate] {
        auto comma = simulate->files.find(',');
        if (comma == std::string::npos) {
            std::cerr << "--simulate takes MIC.wav,SYSTEM.wav\n";
            cli.exitCode = 2;
            return;
        }
        cli.exitCode =
            cli.request("record.simulate", {{"mic", simulate->files.substr(0, comma)},
                                            {"system", simulate->files.substr(comma + 1)},
                                            {"timeScale", cli.timeScale == 1 ? 1.0 : cli.timeScale},
                                            {"segmentSeconds", simulate->segmentSeconds}});
    });
}

}  // namespace sayloft::cli
