#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "platform/secret_store.hpp"
#include "platform/user_defaults.hpp"
#include "service/keychain.hpp"
#include "settings/settings.hpp"

namespace sayloft::app {

// Moves the data of the predecessor application, Fennick, over once: its settings, its device
// token, its preferences, its support folder (capture state, unfinished recordings) and its logs.
// Its places are the home-relative ones of a home synced from a Mac and their XDG counterparts
// (core/places, namespace predecessor). Runs at the very start of every launch, after the own
// layout's migration and before anything reads settings or state.
//
// The presence of old files, secret-store items and preference keys is the whole state: each step
// only acts on what is still at the old place, never replaces anything at the new place, and
// leaves the old copy when it cannot move it, so a later launch continues where this one stopped.
class MigrationFromFennick {
  public:
    static constexpr const char* kOldSecretService = "qelvyn.Fennick";
    static constexpr const char* kOldDefaultsPrefix = "fennick.envNotified.";

    struct Dependencies {
        settings::Settings& settings;
        // sayloft's own token store (the new place).
        service::Keychain& keychain;
        // sayloft's user defaults (the new place).
        platform::UserDefaults& defaults;
        // Where the predecessor may have kept its secrets, in the order they are read. Empty:
        // the Secret Service when one answers, then the predecessor's 0600 file.
        std::vector<std::shared_ptr<platform::SecretStore>> oldSecretStores;
        // Waits while the running predecessor quits.
        core::Clock& clock = core::systemClock();
        // The predecessor's executable, found among this user's processes.
        std::string executableName = "fennick";
    };

    explicit MigrationFromFennick(Dependencies dependencies);

    // The only entry point; synchronous. Returns true when nothing is left to migrate.
    bool run();

    // True when any old item is still there.
    bool hasSomethingToMigrate();

  private:
    bool stopPredecessor();
    void migrateSettings();
    void migrateSecrets();
    void migrateDefaults();
    void removeScanCache();
    void migrateSupportFolder(const std::filesystem::path& oldDir);
    void migrateLogs(const std::filesystem::path& oldDir);
    void cleanUpOldSecretsFile();
    void log(const std::string& message) const;

    Dependencies deps_;
    bool leftSomething_ = false;
};

}  // namespace sayloft::app
