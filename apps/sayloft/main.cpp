#include <fmt/format.h>

#include <csignal>
#include <iostream>

#include "app/engine_host.hpp"
#include "commands.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "sayloft/version.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace fs = std::filesystem;

core::Clock& Cli::clock() {
    if (!clock_) {
        if (virtualClock) {
            auto manual = std::make_unique<core::ManualClock>(core::SystemClock::now());
            manual->setAutoAdvance(true);
            clock_ = std::move(manual);
        } else if (timeScale != 1) {
            clock_ = std::make_unique<core::ScaledClock>(timeScale);
        }
    }
    return clock_ ? *clock_ : core::systemClock();
}

void installCaptureLog() {
    if (!core::LogConfig::captureLog())
        core::LogConfig::installCaptureLog(
            std::make_shared<core::CaptureLogWriter>(core::defaultCaptureLogPath()));
}

std::unique_ptr<app::Engine> Cli::makeEngine(const std::string& role) {
    app::EngineOptions options;
    options.captureLog = true;
    options.clock = &clock();
    options.role = role;
    return std::make_unique<app::Engine>(std::move(options));
}

int Cli::request(const std::string& method, core::Json params) {
    app::RequestOutput output{[](const std::string& line) { std::cout << line << std::endl; },
                              [](const std::string& line) { std::cerr << line << std::endl; }};
    return app::runThroughEngine({{"method", method}, {"params", std::move(params)}}, output,
                                 signals_.token(),
                                 [this](const std::string& role) { return makeEngine(role); });
}

std::optional<int> Cli::requestIfRunning(const std::string& method, core::Json params) {
    app::RequestOutput output{[](const std::string& line) { std::cout << line << std::endl; },
                              [](const std::string& line) { std::cerr << line << std::endl; }};
    return app::runThroughRunningEngine({{"method", method}, {"params", std::move(params)}}, output,
                                        signals_.token());
}

bool ensureSettingsFile() {
    settings::Settings store;
    std::error_code ec;
    if (fs::exists(store.configPath(), ec) || fs::is_symlink(store.configPath(), ec)) return false;
    auto& s = store.settings();
    const std::string demo = "~/sayloft-demo";
    s.vaultPath = demo + "/Vault";
    s.vaultName = "Vault";
    s.watchedFoldersRaw = std::vector{
        settings::WatchedFolder::generic(demo + "/Recordings", std::string("Demo recordings"))};
    fs::create_directories(core::expandTilde(demo + "/Recordings"), ec);
    fs::create_directories(core::expandTilde(demo + "/Vault"), ec);
    store.save();
    std::cerr << "Created " << store.configPath().string() << " watching "
              << core::expandTilde(demo + "/Recordings") << "\n";
    return true;
}

}  // namespace sayloft::cli

int main(int argc, char** argv) {
    // A file size limit makes a write fail (EFBIG) like a full disk, which the recorder stops
    // on and reports, instead of killing the process in the middle of a recording.
    std::signal(SIGXFSZ, SIG_IGN);
    // First: every thread started from here on leaves SIGINT and SIGTERM to the waiter.
    sayloft::core::SignalWaiter signals;
    sayloft::cli::Cli cli(signals);
    CLI::App app{"sayloft: files what is said into your notes vault"};
    app.set_version_flag("--version", std::string("sayloft ") + sayloft::kVersion);
    app.require_subcommand(1);
    app.add_flag("--virtual-clock", cli.virtualClock)->group("");
    app.add_option("--time-scale", cli.timeScale)->group("")->check(CLI::PositiveNumber);
    sayloft::cli::addCaptureCommands(app, cli);
    sayloft::cli::addNoteCommands(app, cli);
    sayloft::cli::addServiceCommands(app, cli);
    sayloft::cli::addSettingsCommands(app, cli);
    sayloft::cli::addOnboardingCommands(app, cli);
    sayloft::cli::addBrowserCommands(app, cli);
    sayloft::cli::addRecorderCommands(app, cli);
    // Global options may also follow the subcommand.
    for (auto* sub : app.get_subcommands([](CLI::App*) { return true; })) sub->fallthrough();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return cli.exitCode;
}
