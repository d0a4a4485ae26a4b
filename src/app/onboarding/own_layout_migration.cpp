#include "app/onboarding/own_layout_migration.hpp"

#include <unistd.h>

#include "app/onboarding/migration_moves.hpp"
#include "core/files.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/places.hpp"

namespace sayloft::app {

namespace fs = std::filesystem;
using moves::MoveOutcome;
using moves::present;

namespace {

// Adds the old file's top-level keys (and, one level down, service/account pairs for the secrets
// file) that the new file lacks. Both must be JSON objects; the result keeps the new file's mode.
bool mergeJsonObjects(moves::Mover& mover, const fs::path& from, const fs::path& to, bool nested,
                      mode_t mode) {
    auto oldText = core::readFile(from);
    auto newText = core::readFile(to);
    auto oldJson = oldText ? core::Json::parse(*oldText, nullptr, false) : core::Json();
    auto newJson = newText ? core::Json::parse(*newText, nullptr, false) : core::Json();
    const std::string name = to.filename().string();
    if (!oldJson.is_object() || !newJson.is_object()) {
        mover.log(fmt::format("{} could not be merged; the old copy is kept", name));
        mover.markLeft();
        return false;
    }
    for (auto& [key, value] : oldJson.items()) {
        if (!newJson.contains(key)) {
            newJson[key] = value;
        } else if (nested && value.is_object() && newJson[key].is_object()) {
            for (auto& [inner, innerValue] : value.items())
                if (!newJson[key].contains(inner)) newJson[key][inner] = innerValue;
        }
    }
    try {
        core::writeAtomically(to, core::dumpPretty(newJson), mode);
    } catch (const std::exception& e) {
        mover.log(fmt::format("{} merge failed: {}", name, e.what()));
        mover.markLeft();
        return false;
    }
    if (!mover.removeFile(from, from.string())) return false;
    mover.log(fmt::format("{} merged", name));
    return true;
}

void keptBecauseTaken(moves::Mover& mover, const fs::path& from, const fs::path& to) {
    mover.markLeft();
    mover.log(
        fmt::format("{} already exists; the old copy {} is kept", to.string(), from.string()));
}

// A log file goes under its own name, or "from-" + name (then "from-2-" + name ...) when taken.
void moveLogFile(moves::Mover& mover, const fs::path& from, const fs::path& toDir) {
    const std::string name = from.filename().string();
    if (mover.move(from, toDir / name) != MoveOutcome::taken) return;
    for (int n = 1; n < 1000; ++n) {
        std::string candidate = n == 1 ? "from-" + name : fmt::format("from-{}-{}", n, name);
        auto outcome = mover.move(from, toDir / candidate);
        if (outcome != MoveOutcome::taken) return;
    }
    mover.markLeft();
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

OwnLayoutMigrationResult migrateOwnLegacyLayout() {
    const fs::path support = core::legacy::appSupportDir();
    const fs::path logs = core::legacy::logsDir();
    const fs::path caches = core::legacy::cachesDir();
    const fs::path defaults = core::legacy::defaultsFile();
    OwnLayoutMigrationResult result;
    if (!present(support) && !present(logs) && !present(caches) && !present(defaults)) {
        moves::removeEmptyLibraryFolders();
        return result;
    }
    result.foundOldLayout = true;

    moves::Mover mover("migration");
    mover.log("moving sayloft's files from ~/Library to the XDG places");

    // The support folder: settings, capture state, secrets, recordings, anything else.
    const fs::path settingsTo = core::configDir() / "settings.json";
    if (mover.move(support / "settings.json", settingsTo) == MoveOutcome::taken)
        keptBecauseTaken(mover, support / "settings.json", settingsTo);
    const fs::path stateTo = core::stateDir() / "state.json";
    if (mover.move(support / "state.json", stateTo) == MoveOutcome::taken)
        moves::mergeCaptureState(mover, support / "state.json", stateTo);
    const fs::path secretsTo = core::dataDir() / "secrets.json";
    if (mover.move(support / "secrets.json", secretsTo) == MoveOutcome::taken)
        mergeJsonObjects(mover, support / "secrets.json", secretsTo, /*nested=*/true, 0600);
    mover.moveChildren(support / "Recordings", core::dataDir() / "Recordings", "recording");
    for (auto& entry : children(support)) {
        const std::string name = entry.filename().string();
        if (name == "settings.json" || name == "state.json" || name == "secrets.json" ||
            name == "Recordings")
            continue;  // handled above; what is left of them stays and was logged
        if (mover.move(entry, core::dataDir() / entry.filename()) == MoveOutcome::taken)
            keptBecauseTaken(mover, entry, core::dataDir() / entry.filename());
    }
    mover.removeIfEmpty(support);

    // The capture log, its previous generation and any other log of ours.
    for (auto& entry : children(logs)) moveLogFile(mover, entry, core::stateDir());
    mover.removeIfEmpty(logs);

    // The user defaults.
    const fs::path defaultsTo = core::stateDir() / "sayloft.defaults.json";
    if (mover.move(defaults, defaultsTo) == MoveOutcome::taken)
        mergeJsonObjects(mover, defaults, defaultsTo, /*nested=*/false, 0644);

    // Caches may be thrown away: one whose name is taken is removed, a stale pid file too.
    for (auto& entry : children(caches)) {
        if (entry.filename() == "sayloft.pid" ||
            mover.move(entry, core::cacheDir() / entry.filename()) == MoveOutcome::taken) {
            std::error_code ec;
            fs::remove_all(entry, ec);
            if (!ec) mover.log(fmt::format("removed the old cache {}", entry.string()));
        }
    }
    mover.removeIfEmpty(caches);

    moves::removeEmptyLibraryFolders();

    result.complete = !mover.leftSomething();
    mover.log(result.complete ? "sayloft's files are in the XDG places"
                              : "partly done; what is left stays in ~/Library (see above)");
    return result;
}

}  // namespace sayloft::app
