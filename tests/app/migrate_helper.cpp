// Runs sayloft's launch-time migrations in order, as the engine does at start. With
// SAYLOFT_TEST_KILL_AFTER=N it kills itself (SIGKILL) right after its N-th log line, that is
// between two steps. Exit status 0: nothing left to migrate; 3: something stays for later.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "app/onboarding/launch_steps.hpp"
#include "core/log.hpp"

using namespace sayloft;

int main() {
    const char* killAfter = std::getenv("SAYLOFT_TEST_KILL_AFTER");
    static std::atomic<long> limit{killAfter ? std::atol(killAfter) : 0};
    static std::atomic<long> lines{0};
    core::LogConfig::addListener([](const std::string&) {
        if (limit > 0 && ++lines >= limit) ::raise(SIGKILL);
    });
    // Made before the migrations, as the engine does: they reload it.
    settings::Settings settings;
    service::Keychain keychain(
        std::make_shared<platform::FileSecretStore>(platform::FileSecretStore::defaultPath()));
    platform::JsonFileDefaults defaults;
    const bool done = app::runLaunchMigrations(settings, keychain, defaults);
    if (std::getenv("SAYLOFT_TEST_PRINT_VAULT"))
        std::printf("vault=%s\n", settings.settings().vaultPath.c_str());
    return done ? 0 : 3;
}
