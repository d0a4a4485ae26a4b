#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <thread>

#include "app/onboarding/migration_from_fennick.hpp"
#include "app/onboarding/own_layout_migration.hpp"
#include "app/onboarding/running_apps.hpp"
#include "core/json.hpp"
#include "core/places.hpp"
#include "platform/secret_store.hpp"
#include "platform_fakes.hpp"
#include "test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;
using app::MigrationFromFennick;

// Every entry below `root`: files with their bytes and mode, folders, links.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (rel.starts_with(".run")) continue;
        auto status = it->symlink_status();
        if (fs::is_symlink(status)) {
            out[rel] = "-> " + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            out[rel] = "<dir>";
        } else {
            out[rel] = fmt::format("{:o} ", int(status.permissions() & fs::perms::mask)) +
                       readFile(it->path());
        }
    }
    return out;
}

void writePrivate(const fs::path& path, const std::string& bytes) {
    writeFile(path, bytes);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

// A home holding every item of sayloft's ~/Library layout and of the predecessor, at both of its
// places, with clashes between them.
void buildOldHome(const fs::path& home) {
    const fs::path lib = home / "Library";
    const fs::path own = lib / "Application Support/sayloft";
    auto ownSettings = settings::encode(settings::AppSettings::defaults());
    ownSettings["vaultPath"] = "~/Vault";
    writeFile(own / "settings.json", core::dumpPretty(ownSettings));
    writeFile(
        own / "state.json",
        R"({"version": 2, "seenByFolder": {"voice-memos": {"a.m4a": {"firstSeen": "2026-11-01T10:00:00Z"}}}})");
    writePrivate(own / "secrets.json",
                 R"({"se.Marrowby.sayloft.mac": {"wl_device_token": "own-token"}})");
    writeFile(own / "Recordings/20261201-100000/segment-0001.caf", "own audio");
    writeFile(own / "Recordings/20261201-100000/recording.json", "{}");
    writeFile(lib / "Logs/sayloft/sayloft.log", "current log\n");
    writeFile(lib / "Logs/sayloft/sayloft.1.log", "previous log\n");
    writeFile(lib / "Preferences/sayloft.defaults.json",
              R"({"sayloft.captureRetry.watermark": "2026-10-01T00:00:00Z"})");
    writeFile(lib / "Caches/sayloft/capture-status.json", "{}");
    writeFile(lib / "Caches/sayloft/sayloft.pid", "4242\n");
    // A watched source: stays where it is.
    writeFile(lib / "Group Containers/group.com.apple.VoiceMemos.shared/Recordings/x.m4a", "memo");

    writeFile(home / ".fennick.json", R"({"vaultPath": "~/Old"})");
    writeFile(home / ".config/fennick/settings.json", R"({"vaultPath": "~/OldXdg"})");
    writeFile(home / ".fennick-cache.json", "[]");
    writeFile(home / ".cache/fennick/scan.json", "[]");
    const fs::path fen = lib / "Application Support/Fennick";
    writeFile(
        fen / "state.json",
        R"({"version": 1, "seenByFolder": {"folder-x": {"b.m4a": {"firstSeen": "2026-09-01T10:00:00Z"}}, "voice-memos": {"a.m4a": {"firstSeen": "2020-01-01T00:00:00Z"}}}})");
    writeFile(fen / "Recordings/20261130-090000/segment-0001.caf", "fennick audio");
    writeFile(fen / "Recordings/20261201-100000/segment-0001.caf", "clashing audio");
    writeFile(fen / "notes.txt", "kept notes");
    writeFile(fen / ".DS_Store", "junk");
    const fs::path fenXdg = home / ".local/share/fennick";
    writePrivate(
        fenXdg / "secrets.json",
        R"({"qelvyn.Fennick": {"wl_device_token": "fennick-token", "wl_username": "u", "wl_password": "p"}})");
    writeFile(fenXdg / "extra.db", "db");
    writeFile(lib / "Logs/Fennick/fennick.log", "mac log\n");
    writeFile(home / ".local/state/fennick/fennick.log", "linux log\n");
    writeFile(home / ".config/fennick/defaults.json",
              R"({"fennick.envNotified.env-md2pdf-missing": true,
                  "fennick.captureRetry.watermark": "2026-11-01T00:00:00Z",
                  "NSWindow Frame FennickRecorder": "1 2 300 150 0 0 1440 900",
                  "other.key": 1})");
}

// HOME at `home`; the XDG places below `xdg` (another file system, when it is given).
std::vector<std::pair<std::string, std::string>> migrationEnv(const fs::path& home,
                                                              const fs::path& xdg = {}) {
    auto env = homeEnv(home, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}});
    if (!xdg.empty()) {
        for (auto& [name, value] : env)
            if (name.starts_with("XDG_") && name != "XDG_RUNTIME_DIR")
                value = (xdg / fs::path(value).lexically_relative(home)).string();
    }
    return env;
}

RunResult migrate(const fs::path& home, long killAfter = 0) {
    auto env = migrationEnv(home);
    if (killAfter > 0) env.emplace_back("SAYLOFT_TEST_KILL_AFTER", std::to_string(killAfter));
    return run({buildPath("tests/app/onboarding_migrate_helper").string()}, env);
}

core::Json readJson(const fs::path& file) {
    return core::Json::parse(readFile(file));
}

TEST(LaunchMigrations, MoveEveryOldItemOnceAndChangeNothingTheSecondTime) {
    TempDir dir;
    const fs::path home = dir.path();
    buildOldHome(home);
    auto env = migrationEnv(home);
    env.emplace_back("SAYLOFT_TEST_PRINT_VAULT", "1");
    auto first = run({buildPath("tests/app/onboarding_migrate_helper").string()}, env);
    ASSERT_EQ(first.exitCode, 3) << first.err;  // a clashing recording stays for the user
    EXPECT_EQ(first.out, "vault=~/Vault\n");    // the settings object made before saw the move

    const fs::path config = home / ".config/sayloft", state = home / ".local/state/sayloft",
                   data = home / ".local/share/sayloft", cache = home / ".cache/sayloft";
    // Our own settings won; the predecessor's were removed unread because a new file existed.
    EXPECT_EQ(readJson(config / "settings.json")["vaultPath"], "~/Vault");
    EXPECT_FALSE(fs::exists(home / ".fennick.json"));
    EXPECT_FALSE(fs::exists(home / ".config/fennick/settings.json"));
    // Capture state: both files' folders, the newer entry kept where both knew a file.
    auto merged = readJson(state / "state.json");
    EXPECT_EQ(merged["version"], 2);
    EXPECT_EQ(merged["seenByFolder"]["voice-memos"]["a.m4a"]["firstSeen"], "2026-11-01T10:00:00Z");
    EXPECT_TRUE(merged["seenByFolder"]["folder-x"].contains("b.m4a"));
    // Secrets: ours moved with its mode; the predecessor's items and file are gone.
    EXPECT_EQ(readJson(data / "secrets.json")["se.Marrowby.sayloft.mac"]["wl_device_token"],
              "own-token");
    EXPECT_EQ(fs::status(data / "secrets.json").permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_FALSE(fs::exists(home / ".local/share/fennick/secrets.json"));
    EXPECT_EQ(readFile(data / "extra.db"), "db");
    EXPECT_EQ(readFile(data / "notes.txt"), "kept notes");
    // Recordings: both moved, the clashing one stays in the old folder, which is kept.
    EXPECT_EQ(readFile(data / "Recordings/20261201-100000/segment-0001.caf"), "own audio");
    EXPECT_EQ(readFile(data / "Recordings/20261130-090000/segment-0001.caf"), "fennick audio");
    EXPECT_EQ(
        readFile(home /
                 "Library/Application Support/Fennick/Recordings/20261201-100000/segment-0001.caf"),
        "clashing audio");
    EXPECT_NE(first.err.find("Fennick kept, still holds 1 item"), std::string::npos) << first.err;
    // Logs: the capture log and its previous generation, the predecessor's under "from-".
    EXPECT_EQ(readFile(state / "sayloft.log"), "current log\n");
    EXPECT_EQ(readFile(state / "sayloft.1.log"), "previous log\n");
    std::set<std::string> fromLogs{readFile(state / "from-fennick.log"),
                                   readFile(state / "from-2-fennick.log")};
    EXPECT_EQ(fromLogs, (std::set<std::string>{"mac log\n", "linux log\n"}));
    // Defaults: ours are not overwritten; the notice mark is carried; unknown keys stay behind.
    auto defaults = readJson(state / "sayloft.defaults.json");
    EXPECT_EQ(defaults["sayloft.captureRetry.watermark"], "2026-10-01T00:00:00Z");
    EXPECT_EQ(defaults["sayloft.envNotified.env-md2pdf-missing"], true);
    EXPECT_EQ(readJson(home / ".config/fennick/defaults.json"), core::Json({{"other.key", 1}}));
    // Caches: moved, or thrown away; the stale pid is gone.
    EXPECT_TRUE(fs::exists(cache / "capture-status.json"));
    EXPECT_FALSE(fs::exists(cache / "sayloft.pid"));
    EXPECT_FALSE(fs::exists(home / ".fennick-cache.json"));
    EXPECT_FALSE(fs::exists(home / ".cache/fennick"));
    // The ~/Library folders we made are gone; the watched source is untouched.
    for (auto gone : {"Library/Application Support/sayloft", "Library/Logs", "Library/Caches",
                      "Library/Preferences"})
        EXPECT_FALSE(fs::exists(home / gone)) << gone;
    EXPECT_EQ(
        readFile(home /
                 "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings/x.m4a"),
        "memo");

    const auto after = snapshot(home);
    auto second = migrate(home);
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_EQ(snapshot(home), after);
    EXPECT_EQ(second.err.find("moved"), std::string::npos) << second.err;
}

// A launch killed between any two steps, then started again, ends exactly where an uninterrupted
// launch ends: nothing lost, nothing overwritten.
TEST(LaunchMigrations, KilledBetweenAnyTwoStepsCompleteOnTheNextLaunch) {
    TempDir reference;
    buildOldHome(reference.path());
    auto full = migrate(reference.path());
    const auto expected = snapshot(reference.path());
    long steps = 0;
    for (size_t at = 0; (at = full.err.find("[sayloft] ", at)) != std::string::npos; ++at) ++steps;
    ASSERT_GT(steps, 20) << full.err;

    for (long killAfter = 1; killAfter < steps; ++killAfter) {
        TempDir dir;
        buildOldHome(dir.path());
        auto killed = migrate(dir.path(), killAfter);
        ASSERT_EQ(killed.exitCode, -1) << "not killed after line " << killAfter;
        auto resumed = migrate(dir.path());
        EXPECT_EQ(resumed.exitCode, 3) << resumed.err;
        ASSERT_EQ(snapshot(dir.path()), expected) << "killed after line " << killAfter << "\n"
                                                  << killed.err << "---\n"
                                                  << resumed.err;
    }
}

// Killed at random instants (inside a step too), several times in a row; once with the XDG
// places on another file system, where each move is a copy and a removal.
void killAtRandomThenFinish(const fs::path& xdgParent) {
    auto helper = buildPath("tests/app/onboarding_migrate_helper").string();
    auto fresh = [&](const fs::path& root) {
        fs::remove_all(root);
        fs::remove_all(xdgParent / "xdg");
        buildOldHome(root);
        return migrationEnv(root, xdgParent.empty() ? fs::path() : xdgParent / "xdg");
    };
    auto both = [&](const fs::path& root) {
        auto tree = snapshot(root);
        if (!xdgParent.empty())
            for (auto& [k, v] : snapshot(xdgParent / "xdg")) tree["xdg/" + k] = v;
        return tree;
    };
    TempDir dir;
    const fs::path home = dir / "home";
    run({helper}, fresh(home));
    const auto expected = both(home);
    std::mt19937 random(1234);
    for (int round = 0; round < 12; ++round) {
        auto env = fresh(home);
        for (int kill = 0; kill < 3; ++kill) {
            pid_t pid = spawnBackground({helper}, dir / "kill.log", env);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
            ::kill(pid, SIGKILL);
            waitExit(pid);
        }
        run({helper}, env);
        ASSERT_EQ(both(home), expected) << "round " << round << "\n" << readFile(dir / "kill.log");
        fs::remove(dir / "kill.log");
    }
}

TEST(LaunchMigrations, KilledAtRandomMomentsLosesNothing) {
    killAtRandomThenFinish({});
}

TEST(LaunchMigrations, KilledAtRandomMomentsAcrossFileSystemsLosesNothing) {
    std::string pattern = "/dev/shm/sayloft-test-XXXXXX";
    struct stat shm {
    }, tmp{};
    if (!::mkdtemp(pattern.data()) || ::stat(pattern.c_str(), &shm) != 0 ||
        ::stat(fs::temp_directory_path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        if (!pattern.ends_with("XXXXXX")) fs::remove_all(pattern);
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    killAtRandomThenFinish(pattern);
    fs::remove_all(pattern);
}

// --- the predecessor's migration in process -------------------------------------------------

// Product time moves by what is asked for; each wait also yields a little real time, so that a
// process told to quit can end while the migration polls for it.
class YieldingClock : public core::ManualClock {
  public:
    bool sleepFor(core::Duration d, std::stop_token) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        advance(d);
        return true;
    }
};

struct FennickFixture {
    TempHome home;
    LogCollector logs;
    settings::Settings settings{core::configDir() / "settings.json"};
    std::shared_ptr<platform::MemorySecretStore> newStore =
        std::make_shared<platform::MemorySecretStore>();
    service::Keychain keychain{newStore};
    std::shared_ptr<platform::MemorySecretStore> oldStore =
        std::make_shared<platform::MemorySecretStore>();
    platform::MemoryDefaults defaults;
    YieldingClock clock;

    MigrationFromFennick migration(const std::string& executable = "fennick-absent") {
        return MigrationFromFennick({settings, keychain, defaults, {oldStore}, clock, executable});
    }
};

TEST(MigrationFromFennick, WithNothingOldDoesNothingAndLogsNothing) {
    FennickFixture f;
    EXPECT_TRUE(app::migrateOwnLegacyLayout().complete);
    EXPECT_TRUE(f.migration().run());
    EXPECT_TRUE(f.logs.lines().empty());
    EXPECT_FALSE(fs::exists(f.home.path() / "Library"));
}

TEST(MigrationFromFennick, MovesTheTokenOrKeepsEveryOldItem) {
    {
        FennickFixture f;
        f.oldStore->write("qelvyn.Fennick", "wl_device_token", "tok-1234567890abcdef");
        f.oldStore->write("qelvyn.Fennick", "wl_password", "secret");
        EXPECT_TRUE(f.migration().run());
        EXPECT_EQ(f.keychain.deviceToken(), "tok-1234567890abcdef");
        EXPECT_EQ(f.oldStore->read("qelvyn.Fennick", "wl_device_token").status,
                  platform::SecretStatus::notFound);
        EXPECT_EQ(f.oldStore->read("qelvyn.Fennick", "wl_password").status,
                  platform::SecretStatus::notFound);
        EXPECT_TRUE(f.logs.contains("device token tok-12345678 moved"));
        EXPECT_FALSE(f.logs.contains("abcdef"));  // only the token's prefix is ever logged
        EXPECT_EQ(f.newStore->read(service::Keychain::kService, "wl_password").status,
                  platform::SecretStatus::notFound);  // never copied
    }
    {
        FennickFixture f;
        for (auto account : {"wl_device_token", "wl_username", "wl_password"})
            f.oldStore->write("qelvyn.Fennick", account, "v");
        f.newStore->setFailing(true);
        EXPECT_FALSE(f.migration().run());
        EXPECT_TRUE(f.logs.contains("could not copy the device token; the old item is kept"));
        for (auto account : {"wl_device_token", "wl_username", "wl_password"})
            EXPECT_EQ(f.oldStore->read("qelvyn.Fennick", account).value, "v");
    }
}

// (An old file beside a new one is removed unread: see the launch test above.)
TEST(MigrationFromFennick, SettingsAreMovedOnceAndNeverOverwrite) {
    {
        FennickFixture f;
        writeFile(f.home.path() / ".fennick.json", "{not json");
        EXPECT_FALSE(f.migration().run());
        EXPECT_TRUE(f.logs.contains("~/.fennick.json is unreadable; left in place, defaults used"));
        EXPECT_TRUE(fs::exists(f.home.path() / ".fennick.json"));
        EXPECT_FALSE(fs::exists(f.settings.configPath()));
    }
    {
        FennickFixture f;
        auto old = settings::encode(settings::AppSettings::defaults());
        old["vaultPath"] = "/old/vault";
        writeFile(f.home.path() / ".fennick.json", old.dump());
        EXPECT_TRUE(f.migration().run());
        EXPECT_EQ(f.settings.settings().vaultPath, "/old/vault");  // reloaded
        EXPECT_TRUE(f.logs.contains("settings moved (vault /old/vault)"));
    }
}

TEST(MigrationFromFennick, ARunningPredecessorIsAskedToQuitAndItsFoldersWaitUntilItHas) {
    FennickFixture f;
    const std::string name = fmt::format("fennick-t{}", ::getpid());
    fs::copy_file("/bin/sleep", f.home.path() / name);
    writeFile(f.home.path() / "Library/Logs/Fennick/fennick.log", "log");
    pid_t quits =
        spawnBackground({(f.home.path() / name).string(), "600"}, f.home.path() / "p.log");
    // A second one that ignores the request.
    const std::string stubborn = name + "s";
    fs::copy_file("/bin/bash", f.home.path() / stubborn);
    pid_t stays = spawnBackground({(f.home.path() / stubborn).string(), "-c",
                                   "trap '' TERM; read -t 600 x < /dev/zero; sleep 600"},
                                  f.home.path() / "s.log");
    // Both must run before the migration looks (a loaded machine may take a while to start them).
    for (int i = 0; i < 3000 && (app::findRunningByExecutable(stubborn).empty() ||
                                 app::findRunningByExecutable(name).empty());
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(app::findRunningByExecutable(name).empty());
    ASSERT_FALSE(app::findRunningByExecutable(stubborn).empty());

    const auto before = f.clock.now();
    EXPECT_FALSE(f.migration(stubborn).run());
    EXPECT_TRUE(f.logs.contains("asking the running Fennick to quit"));
    EXPECT_TRUE(f.logs.contains(
        "Fennick is still running; state, recordings and logs move at the next launch"));
    EXPECT_TRUE(fs::exists(f.home.path() / "Library/Logs/Fennick/fennick.log"));
    EXPECT_GE(f.clock.now() - before, core::seconds(10));  // it waited its full grace period
    ::kill(stays, SIGKILL);
    waitExit(stays);

    EXPECT_TRUE(f.migration(name).run());
    // It was asked to quit and has; should it not have been, the kill ends the wait.
    for (int i = 0; i < 500 && !app::findRunningByExecutable(name).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(quits, SIGKILL);
    EXPECT_EQ(waitExit(quits), 128 + SIGTERM);
    EXPECT_EQ(readFile(core::stateDir() / "from-fennick.log"), "log");
}

// The token in a real Secret Service (gnome-keyring on a private bus) moves to sayloft's item.
TEST(MigrationFromFennick, MovesTheTokenInsideTheSecretService) {
    if (const char* inside = std::getenv("SAYLOFT_TEST_SECRET_BUS"); inside && *inside) {
        if (!platform::SecretServiceStore::available()) {
            writeFile(inside, "gnome-keyring did not answer on the private bus");
            GTEST_SKIP();
        }
        auto bus = std::make_shared<platform::SecretServiceStore>();
        ASSERT_EQ(bus->write("qelvyn.Fennick", "wl_device_token", "bus-token").status,
                  platform::SecretStatus::ok);
        ASSERT_EQ(bus->write("qelvyn.Fennick", "wl_username", "me").status,
                  platform::SecretStatus::ok);
        service::Keychain keychain(bus);
        settings::Settings settings(core::configDir() / "settings.json");
        platform::MemoryDefaults defaults;
        // No old stores given: it finds the Secret Service itself.
        MigrationFromFennick migration(
            {settings, keychain, defaults, {}, core::systemClock(), "fennick"});
        EXPECT_TRUE(migration.run());
        EXPECT_EQ(bus->read(service::Keychain::kService, "wl_device_token").value, "bus-token");
        EXPECT_EQ(bus->read("qelvyn.Fennick", "wl_device_token").status,
                  platform::SecretStatus::notFound);
        EXPECT_EQ(bus->read("qelvyn.Fennick", "wl_username").status,
                  platform::SecretStatus::notFound);
        EXPECT_TRUE(migration.run());  // nothing left: a no-op
        return;
    }
    if (::access("/usr/bin/dbus-run-session", X_OK) != 0 ||
        ::access("/usr/bin/gnome-keyring-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";
    TempDir home;
    const auto skipNote = home / "skipped";
    auto env = homeEnv(home.path(), {{"SAYLOFT_TEST_SECRET_BUS", skipNote.string()}});
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    auto result =
        run({"dbus-run-session", "--", "sh", "-c",
             "echo -n pass | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1; "
             "exec \"$0\" \"$1\"",
             self, "--gtest_filter=MigrationFromFennick.MovesTheTokenInsideTheSecretService"},
            env);
    if (fs::exists(skipNote)) GTEST_SKIP() << readFile(skipNote);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
}

}  // namespace
}  // namespace sayloft::test
