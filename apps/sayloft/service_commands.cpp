#include <fmt/format.h>
#include <signal.h>

#include <atomic>
#include <csignal>
#include <memory>

#include "app_context.hpp"
#include "commands.hpp"
#include "platform/opener.hpp"
#include "service/keychain.hpp"
#include "service/wendrel_auth.hpp"
#include "service/wendrel_client.hpp"
#include "settings/settings.hpp"

namespace sayloft::cli {

namespace {

using service::Keychain;
using service::PairingState;

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

// Opens the page with xdg-open, or only notes the request with --no-browser.
class CliOpener : public platform::Opener {
  public:
    explicit CliOpener(bool useBrowser) : useBrowser_(useBrowser) {}
    bool openURL(const std::string& url) override {
        if (!useBrowser_) return true;
        if (xdg_.openURL(url)) return true;
        fmt::print("Could not start a browser; open the address above yourself.\n");
        std::fflush(stdout);
        return false;
    }
    bool openFile(const std::filesystem::path& file) override { return xdg_.openFile(file); }

  private:
    bool useBrowser_;
    platform::XdgOpener xdg_;
};

struct PairOptions {
    std::optional<std::string> baseURL;
    bool noBrowser = false;
};

int runPair(const PairOptions& options) {
    auto& settings = settings::Settings::shared();
    std::string baseURL;
    try {
        baseURL = service::pairingBaseURL(options.baseURL, settings);
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\n", e.what());
        return 2;
    }
    CliOpener opener(!options.noBrowser);
    service::WendrelAuth auth(Keychain::shared(), opener, commandClock());
    auth.setObserver([](const PairingState& state) {
        if (state.kind != PairingState::Kind::pairing) return;
        fmt::print(
            "Your code: {}\nApprove this computer at: {}\n"
            "Check the code on the page matches before approving.\n"
            "Waiting for approval (Ctrl-C to cancel)...\n",
            state.userCode, state.verificationURL);
        std::fflush(stdout);
    });

    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    interrupted = 0;
    sigaction(SIGINT, &action, &previous);

    fmt::print("Pairing with {}\n", baseURL);
    std::fflush(stdout);
    auth.connectAndSave(baseURL, settings);
    bool cancelled = false;
    while (!auth.waitUntilFinished(std::chrono::milliseconds(200))) {
        if (interrupted) {
            auth.cancel();
            cancelled = true;
            break;
        }
    }
    sigaction(SIGINT, &previous, nullptr);

    if (cancelled) {
        fmt::print(stderr, "Pairing cancelled.\n");
        return 130;
    }
    const PairingState end = auth.state();
    if (end.kind == PairingState::Kind::connected) {
        std::string scopes;
        for (const auto& scope : end.scopes) scopes += (scopes.empty() ? "" : ", ") + scope;
        fmt::print("Connected: {}…{}\n", end.tokenPrefix,
                   scopes.empty() ? "" : " (scopes: " + scopes + ")");
        if (!end.savedBaseURL.empty()) {
            fmt::print("Saved {} as the Wendrel address in {}.\n", end.savedBaseURL,
                       settings.configPath().string());
            std::fflush(stdout);
            askDaemonToReload();
        }
        return 0;
    }
    fmt::print(stderr, "{}\n", end.message.empty() ? "Pairing did not finish." : end.message);
    return 1;
}

int runUnpair(const std::optional<std::string>& baseURL) {
    try {
        service::unpair(Keychain::shared(), settings::Settings::shared(), baseURL);
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\n", e.what());
        return 1;
    }
    fmt::print(
        "Disconnected from Wendrel. Remove the device from your account's device list to "
        "revoke its token.\n");
    return 0;
}

}  // namespace

std::string pairingStatusLine() {
    auto token = Keychain::shared().deviceToken();
    if (!token || token->empty()) return "Wendrel: not connected (run `sayloft pair`)";
    return fmt::format("Wendrel: connected (device token {}…)", service::tokenPrefix(*token));
}

void addServiceCommands(CLI::App& app) {
    auto options = std::make_shared<PairOptions>();
    auto* pair = app.add_subcommand("pair", "Pair this computer with your Wendrel account");
    pair->add_option("--base-url", options->baseURL,
                     "API root to pair against, saved as the service address once paired "
                     "(default: the configured service)");
    pair->add_flag("--no-browser", options->noBrowser,
                   "Print the verification address instead of opening a browser");
    pair->callback([options] { exitCode() = runPair(*options); });

    auto unpairURL = std::make_shared<std::optional<std::string>>();
    auto* unpair = app.add_subcommand("unpair", "Forget this computer's Wendrel device token");
    unpair->add_option("--base-url", *unpairURL,
                       "Only when this is the service address in use (refused otherwise)");
    unpair->callback([unpairURL] { exitCode() = runUnpair(*unpairURL); });
}

}  // namespace sayloft::cli
