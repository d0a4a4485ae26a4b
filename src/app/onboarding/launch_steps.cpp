#include "app/onboarding/launch_steps.hpp"

#include "app/onboarding/migration_from_fennick.hpp"
#include "app/onboarding/own_layout_migration.hpp"

namespace sayloft::app {

bool runLaunchMigrations(settings::Settings& settings, service::Keychain& keychain,
                         platform::UserDefaults& defaults) {
    auto own = migrateOwnLegacyLayout();
    if (own.foundOldLayout) settings.reload();
    MigrationFromFennick fromFennick(
        {settings, keychain, defaults, {}, core::systemClock(), "fennick"});
    const bool predecessorDone = fromFennick.run();
    return own.complete && predecessorDone;
}

bool isFirstRun(const settings::Settings& settings) {
    std::error_code ec;
    return !std::filesystem::exists(settings.configPath(), ec);
}

}  // namespace sayloft::app
