#include "app/onboarding/migration_from_fennick.hpp"

#include <signal.h>

#include "app/onboarding/migration_moves.hpp"
#include "app/onboarding/running_apps.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"
#include "core/time_format.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;
using moves::MoveOutcome;
using moves::present;

namespace {

constexpr const char* kArea = "migration from Fennick";
const std::vector<std::string> kOldAccounts = {"wl_device_token", "wl_username", "wl_password"};

// Old preference key -> new key. Keys with the notice prefix are carried over too.
const std::vector<std::pair<std::string, std::string>> kCarriedKeys = {
    {"fennick.captureRetry.watermark", "sayloft.captureRetry.watermark"},
    {"NSWindow Frame FennickRecorder", "NSWindow Frame SayloftRecorder"},
};
constexpr const char* kNewNoticePrefix = "sayloft.envNotified.";

core::Json readObject(const fs::path& file) {
    auto text = core::readFile(file);
    if (!text) return core::Json();
    auto json = core::Json::parse(*text, nullptr, false);
    return json.is_object() ? json : core::Json();
}

std::optional<std::string> newKeyFor(const std::string& oldKey) {
    for (auto& [from, to] : kCarriedKeys)
        if (from == oldKey) return to;
    if (oldKey.starts_with(MigrationFromFennick::kOldDefaultsPrefix) &&
        oldKey.size() > std::string(MigrationFromFennick::kOldDefaultsPrefix).size())
        return kNewNoticePrefix +
               oldKey.substr(std::string(MigrationFromFennick::kOldDefaultsPrefix).size());
    return std::nullopt;
}

std::vector<fs::path> children(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        out.push_back(it->path());
    return out;
}

}  // namespace

MigrationFromFennick::MigrationFromFennick(Dependencies dependencies)
    : deps_(std::move(dependencies)) {
    if (deps_.oldSecretStores.empty()) {
        if (platform::SecretServiceStore::available())
            deps_.oldSecretStores.push_back(std::make_shared<platform::SecretServiceStore>());
        deps_.oldSecretStores.push_back(
            std::make_shared<platform::FileSecretStore>(core::predecessor::secretsFile()));
    }
}

void MigrationFromFennick::log(const std::string& message) const {
    core::logLine(kArea, message);
}

bool MigrationFromFennick::hasSomethingToMigrate() {
    namespace old = core::predecessor;
    for (const fs::path& p :
         {old::settingsFile(), old::xdgSettingsFile(), old::supportDir(), old::xdgSupportDir(),
          old::scanCacheFile(), old::xdgCacheDir(), old::logsDir(), old::xdgLogsDir()})
        if (present(p)) return true;
    for (auto& store : deps_.oldSecretStores)
        for (auto& account : kOldAccounts)
            if (store->read(kOldSecretService, account).status == platform::SecretStatus::ok)
                return true;
    auto prefs = readObject(old::defaultsFile());
    if (prefs.is_object())
        for (auto& [key, value] : prefs.items())
            if (newKeyFor(key)) return true;
    return false;
}

bool MigrationFromFennick::run() {
    if (!hasSomethingToMigrate()) return true;
    leftSomething_ = false;
    log("starting");
    const bool gone = stopPredecessor();
    migrateSettings();
    migrateSecrets();
    migrateDefaults();
    removeScanCache();
    if (gone) {
        migrateSupportFolder(core::predecessor::supportDir());
        migrateSupportFolder(core::predecessor::xdgSupportDir());
        migrateLogs(core::predecessor::logsDir());
        migrateLogs(core::predecessor::xdgLogsDir());
    } else {
        log("Fennick is still running; state, recordings and logs move at the next launch");
        leftSomething_ = true;
    }
    moves::removeEmptyLibraryFolders();
    const bool done = !leftSomething_ && !hasSomethingToMigrate();
    log(done ? "done" : "partly done, continues at the next launch");
    return done;
}

bool MigrationFromFennick::stopPredecessor() {
    auto running = findRunningByExecutable(deps_.executableName);
    if (running.empty()) return true;
    log("asking the running Fennick to quit");
    for (pid_t pid : running) ::kill(pid, SIGTERM);
    const auto deadline = deps_.clock.now() + core::seconds(10);
    for (;;) {
        bool anyAlive = false;
        for (pid_t pid : running) anyAlive = anyAlive || isProcessAlive(pid);
        if (!anyAlive) return true;
        if (deps_.clock.now() >= deadline) return false;
        deps_.clock.sleepFor(core::seconds(0.2));
    }
}

void MigrationFromFennick::migrateSettings() {
    const fs::path target = deps_.settings.configPath();
    for (const fs::path& old :
         {core::predecessor::xdgSettingsFile(), core::predecessor::settingsFile()}) {
        if (!present(old)) continue;
        const std::string shown =
            old == core::predecessor::settingsFile() ? "~/.fennick.json" : old.string();
        if (!present(target)) {
            auto json = readObject(old);
            if (!json.is_object()) {
                log(fmt::format("{} is unreadable; left in place, defaults used", shown));
                leftSomething_ = true;
                continue;
            }
            try {
                core::writeDurably(target, core::dumpPretty(json));
            } catch (const std::exception& e) {
                log(fmt::format("could not write {}: {}", target.string(), e.what()));
                leftSomething_ = true;
                continue;
            }
            deps_.settings.reload();
            auto vault = json.value("vaultPath", core::Json());
            log(fmt::format("settings moved (vault {})",
                            vault.is_string() ? vault.get<std::string>() : vault.dump()));
        }
        std::error_code ec;
        if (fs::remove(old, ec)) {
            log(fmt::format("removed {}", shown));
        } else {
            log(fmt::format("could not remove {}: {}", shown, ec.message()));
            leftSomething_ = true;
        }
    }
}

void MigrationFromFennick::migrateSecrets() {
    // The token: the first old store that holds one.
    std::optional<std::string> token;
    for (auto& store : deps_.oldSecretStores) {
        auto read = store->read(kOldSecretService, "wl_device_token");
        if (read.status == platform::SecretStatus::ok) {
            token = read.value;
            break;
        }
    }
    if (token && !deps_.keychain.deviceToken()) {
        const bool written = deps_.keychain.write(service::Keychain::kDeviceTokenAccount, *token);
        if (!written || deps_.keychain.deviceToken() != token) {
            log("could not copy the device token; the old item is kept");
            leftSomething_ = true;
            return;
        }
        log(fmt::format("device token {} moved to sayloft's secret store item",
                        service::tokenPrefix(*token)));
    }
    // The old items go, the user name and password included (they are never copied).
    for (auto& store : deps_.oldSecretStores) {
        for (auto& account : kOldAccounts) {
            if (store->read(kOldSecretService, account).status != platform::SecretStatus::ok)
                continue;
            const bool removed =
                store->remove(kOldSecretService, account).status == platform::SecretStatus::ok;
            log(fmt::format("secret store {}/{} {} ({})", kOldSecretService, account,
                            removed ? "removed" : "could not be removed", store->describe()));
            leftSomething_ = leftSomething_ || !removed;
        }
    }
    cleanUpOldSecretsFile();
}

// The predecessor's secrets file goes once it holds nothing any more.
void MigrationFromFennick::cleanUpOldSecretsFile() {
    const fs::path file = core::predecessor::secretsFile();
    if (!present(file)) return;
    auto json = readObject(file);
    if (!json.is_object()) return;  // damaged: left for the user, never guessed at
    for (auto& [service, accounts] : json.items())
        if (!accounts.is_object() || !accounts.empty()) return;
    std::error_code ec;
    if (fs::remove(file, ec)) log(fmt::format("removed {}", file.string()));
}

void MigrationFromFennick::migrateDefaults() {
    const fs::path file = core::predecessor::defaultsFile();
    auto prefs = readObject(file);
    if (!prefs.is_object()) return;
    std::vector<std::string> carried;
    core::Json rest = core::Json::object();
    bool changed = false;
    for (auto& [key, value] : prefs.items()) {
        auto newKey = newKeyFor(key);
        if (!newKey) {
            rest[key] = value;
            continue;
        }
        changed = true;
        if (value.is_boolean() && !deps_.defaults.boolValue(*newKey)) {
            deps_.defaults.setBool(*newKey, value.get<bool>());
            carried.push_back(*newKey);
        } else if (value.is_string() && !deps_.defaults.dateValue(*newKey)) {
            // Dates are kept as ISO 8601 text; other text (a Mac window frame) has no use here.
            if (auto date = core::parseIso8601(value.get<std::string>())) {
                deps_.defaults.setDate(*newKey, *date);
                carried.push_back(*newKey);
            }
        }
    }
    if (changed) {
        try {
            if (rest.empty()) {
                fs::remove(file);
            } else {
                core::writeAtomically(file, core::dumpPretty(rest));
            }
        } catch (const std::exception& e) {
            log(fmt::format("could not update {}: {}", file.string(), e.what()));
            leftSomething_ = true;
        }
    }
    if (!carried.empty()) {
        std::string list;
        for (auto& key : carried) list += (list.empty() ? "" : ", ") + key;
        log(fmt::format("{} preference{} carried over ({})", carried.size(),
                        carried.size() == 1 ? "" : "s", list));
    }
}

void MigrationFromFennick::removeScanCache() {
    std::error_code ec;
    bool removed = false;
    if (present(core::predecessor::scanCacheFile()))
        removed = fs::remove(core::predecessor::scanCacheFile(), ec) || removed;
    if (present(core::predecessor::xdgCacheDir()))
        removed = fs::remove_all(core::predecessor::xdgCacheDir(), ec) > 0 || removed;
    if (removed) log("removed the old scan cache (rebuilt in ~/.cache/sayloft)");
}

void MigrationFromFennick::migrateSupportFolder(const fs::path& oldDir) {
    std::error_code ec;
    if (!fs::is_directory(oldDir, ec)) return;
    moves::Mover mover(kArea);
    const fs::path oldSecrets = core::predecessor::secretsFile();
    for (auto& entry : children(oldDir)) {
        const std::string name = entry.filename().string();
        if (entry == oldSecrets || name == ".DS_Store") continue;  // the secrets step's
        if (name == "state.json") {
            const fs::path target = core::stateDir() / "state.json";
            if (mover.move(entry, target) == MoveOutcome::taken)
                moves::mergeCaptureState(mover, entry, target);
        } else if (name == "Recordings") {
            mover.moveChildren(entry, core::dataDir() / "Recordings", "recording");
        } else if (mover.move(entry, core::dataDir() / name) == MoveOutcome::taken) {
            mover.markLeft();
            mover.log(
                fmt::format("{} already exists in sayloft's folder; the old copy is kept", name));
        }
    }
    mover.removeIfEmpty(oldDir);
    leftSomething_ = leftSomething_ || mover.leftSomething();
}

void MigrationFromFennick::migrateLogs(const fs::path& oldDir) {
    std::error_code ec;
    if (!fs::is_directory(oldDir, ec)) return;
    moves::Mover mover(kArea);
    for (auto& entry : children(oldDir)) {
        const std::string name = entry.filename().string();
        if (name == ".DS_Store") continue;
        // "from-" + name, or "from-2-" + name, "from-3-" + name ... when taken.
        bool placed = false;
        for (int n = 1; n < 1000 && !placed; ++n) {
            std::string candidate = n == 1 ? "from-" + name : fmt::format("from-{}-{}", n, name);
            placed = mover.move(entry, core::stateDir() / candidate) != MoveOutcome::taken;
        }
        if (!placed) mover.markLeft();
    }
    mover.removeIfEmpty(oldDir);
    leftSomething_ = leftSomething_ || mover.leftSomething();
}

}  // namespace sayloft::app
