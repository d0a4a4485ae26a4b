// Runs sayloft's launch-time migrations in order, as the engine does at start. With
// SAYLOFT_TEST_KILL_AFTER=N it kills itself (SIGKILL) right after its N-th log line, that is
// between two steps. Exit status 0: nothing left to migrate; 3: something stays for later.
#include <signal.h>

#include <atomic>
#include <cstdlib>

#include "app/onboarding/migration_from_fennick.hpp"
#include "app/onboarding/own_layout_migration.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

using namespace sayloft;

int main() {
    const char* killAfter = std::getenv("SAYLOFT_TEST_KILL_AFTER");
    static std::atomic<long> limit{killAfter ? std::atol(killAfter) : 0};
    static std::atomic<long> lines{0};
    core::LogConfig::addListener([](const std::string&) {
        if (limit > 0 && ++lines >= limit) ::raise(SIGKILL);
    });
    auto own = app::migrateOwnLegacyLayout();
    settings::Settings settings;
    service::Keychain keychain(
        std::make_shared<platform::FileSecretStore>(platform::FileSecretStore::defaultPath()));
    platform::JsonFileDefaults defaults;
    app::MigrationFromFennick migration(
        {settings,
         keychain,
         defaults,
         {std::make_shared<platform::FileSecretStore>(core::predecessor::secretsFile())},
         core::systemClock(),
         "fennick"});
    const bool done = migration.run();
    return own.complete && done ? 0 : 3;
}
