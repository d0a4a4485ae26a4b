#include <gtest/gtest.h>

#include "core/json.hpp"
#include "terminal_session.hpp"
#include "test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;

std::string sayloft() {
    return buildPath("apps/sayloft/sayloft").string();
}

// No session bus, no sound server: the commands must work without them.
std::vector<std::pair<std::string, std::string>> env(
    const fs::path& home, std::vector<std::pair<std::string, std::string>> extra = {}) {
    extra.emplace_back("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (home / "no-bus").string());
    return homeEnv(home, extra);
}

core::Json settingsOf(const fs::path& home) {
    return core::Json::parse(readFile(home / ".config/sayloft/settings.json"));
}

TEST(SetupCommand, WritesValidSettingsForAGivenFolder) {
    TempDir home;
    auto result =
        run({sayloft(), "setup", "--vault", (home / "Notes/Vault").string()}, env(home.path()));
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("What happens next"), std::string::npos);
    EXPECT_EQ(settingsOf(home.path())["vaultPath"], (home / "Notes/Vault").string());
    EXPECT_EQ(settingsOf(home.path())["vaultName"], "Vault");
    EXPECT_TRUE(fs::is_directory(home / "Notes/Vault/_outbox"));
    // The file is one sayloft itself reads back.
    auto show = run({sayloft(), "settings", "get", "vaultPath"}, env(home.path()));
    EXPECT_EQ(show.out, (home / "Notes/Vault").string() + "\n");

    // A settings file that cannot be read is never replaced.
    writeFile(home / ".config/sayloft/settings.json", "{\"vaultPath\": 3");
    auto broken = run({sayloft(), "setup", "--vault", (home / "Other").string()}, env(home.path()));
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.err.find("cannot be read"), std::string::npos) << broken.err;
    EXPECT_EQ(readFile(home / ".config/sayloft/settings.json"), "{\"vaultPath\": 3");

    // Without a terminal and without --vault it explains instead of waiting for input.
    TempDir fresh;
    auto bare = run({sayloft(), "setup"}, env(fresh.path()));
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.err.find("--vault PATH"), std::string::npos);
    EXPECT_FALSE(fs::exists(fresh / ".config/sayloft/settings.json"));
}

TEST(SetupCommand, InTerminalPicksADetectedVaultOrCreatesOne) {
    TempDir home;
    fs::create_directories(home / "Vaults/Alpha/.obsidian");
    fs::create_directories(home / "Vaults/Beta/.obsidian");
    writeFile(home / ".config/obsidian/obsidian.json", R"({"vaults": {"1": {"path": ")" +
                                                           (home / "Vaults/Beta").string() +
                                                           R"(", "ts": 1764500000000}}})");
    auto list = run({sayloft(), "setup", "--list"}, env(home.path()));
    EXPECT_NE(list.out.find("1. Beta"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("2. Alpha"), std::string::npos) << list.out;

    {
        TerminalSession session({sayloft(), "setup"}, env(home.path()));
        ASSERT_TRUE(session.waitFor("Choice: ")) << session.output();
        EXPECT_NE(session.output().find("Pick a vault"), std::string::npos);
        session.type("7");
        ASSERT_TRUE(session.waitFor("Type a number from the list")) << session.output();
        session.type("2");
        EXPECT_EQ(session.wait(), 0) << session.output();
        EXPECT_NE(session.output().find("What happens next"), std::string::npos)
            << session.output();
    }
    EXPECT_EQ(settingsOf(home.path())["vaultPath"], (home / "Vaults/Alpha").string());
    EXPECT_TRUE(fs::is_directory(home / "Vaults/Alpha/_outbox"));

    {
        TerminalSession session({sayloft(), "setup"}, env(home.path()));
        ASSERT_TRUE(session.waitFor("Your vault, or another one")) << session.output();
        ASSERT_TRUE(session.waitFor("Choice: "));
        session.type("n");
        ASSERT_TRUE(session.waitFor("Parent folder"));
        session.type("");
        ASSERT_TRUE(session.waitFor("Vault name"));
        session.type("Fresh");
        ASSERT_TRUE(session.waitFor("CLAUDE.md"));
        session.type("y");
        EXPECT_EQ(session.wait(), 0) << session.output();
    }
    EXPECT_EQ(settingsOf(home.path())["vaultPath"], (home / "Documents/Fresh").string());
    EXPECT_TRUE(fs::exists(home / "Documents/Fresh/CLAUDE.md"));
}

TEST(DoctorCommand, PrintsEveryCheckAndNamesTheMissingPackage) {
    TempDir home;
    auto all = run({sayloft(), "doctor"}, env(home.path()));
    for (auto name : {"python3", "md2pdf modules", "timeout", "session bus", "notification service",
                      "secret store", "sound server", "free disk", "vault"})
        EXPECT_NE(all.out.find(name), std::string::npos) << name << "\n" << all.out;
    EXPECT_NE(all.out.find("install: sudo apt install dbus-user-session"), std::string::npos)
        << all.out;

    if (fs::exists("/usr/local/bin/python3"))
        GTEST_SKIP() << "python3 is in /usr/local/bin, searched always";
    // A PATH without python3 (the tools doctor itself runs are found by absolute path).
    fs::create_directories(home / "emptybin");
    auto stripped =
        run({sayloft(), "doctor"}, env(home.path(), {{"PATH", (home / "emptybin").string()}}));
    EXPECT_EQ(stripped.exitCode, 1);
    EXPECT_NE(stripped.out.find("missing  python3"), std::string::npos) << stripped.out;
    EXPECT_NE(stripped.out.find("install: sudo apt install python3\n"), std::string::npos)
        << stripped.out;
}

TEST(AutostartCommand, TurnsStartAtLoginOnAndOff) {
    TempDir home;
    const fs::path entry = home / ".config/autostart/sayloft.desktop";
    auto on = run({sayloft(), "autostart", "on"}, env(home.path()));
    ASSERT_EQ(on.exitCode, 0) << on.err;
    EXPECT_EQ(on.err, "");  // the login item's lines go to the capture log
    EXPECT_NE(readFile(home / ".local/state/sayloft/sayloft.log").find("login item: registered"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(entry));
    // Not installed next to a desktop app here: it starts the daemon.
    EXPECT_NE(readFile(entry).find("sayloft run\n"), std::string::npos) << readFile(entry);
    if (::access("/usr/bin/desktop-file-validate", X_OK) == 0) {
        EXPECT_EQ(run({"desktop-file-validate", entry.string()}).exitCode, 0);
    }
    EXPECT_NE(run({sayloft(), "autostart", "status"}, env(home.path())).out.find("enabled"),
              std::string::npos);
    EXPECT_EQ(run({sayloft(), "autostart", "off"}, env(home.path())).exitCode, 0);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_NE(run({sayloft(), "autostart", "status"}, env(home.path())).out.find("not registered"),
              std::string::npos);
    auto defaults =
        core::Json::parse(readFile(home / ".local/state/sayloft/sayloft.defaults.json"));
    EXPECT_EQ(defaults["sayloft.loginItem.chosen"], true);
}

}  // namespace
}  // namespace sayloft::test
