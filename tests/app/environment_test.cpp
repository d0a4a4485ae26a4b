#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "app/onboarding/doctor.hpp"
#include "app/onboarding/environment_check.hpp"
#include "app/onboarding/login_item.hpp"
#include "core/places.hpp"
#include "platform/notify_once.hpp"
#include "platform_fakes.hpp"
#include "test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;
using app::EnvironmentCheck;
using app::LoginItem;
using app::LoginItemStatus;

void writeScript(const fs::path& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
}

// Sets or unsets PATH for the life of the object.
class PathVariable {
  public:
    explicit PathVariable(const char* value) {
        if (const char* old = std::getenv("PATH")) old_ = old;
        value ? ::setenv("PATH", value, 1) : ::unsetenv("PATH");
    }
    ~PathVariable() { old_ ? ::setenv("PATH", old_->c_str(), 1) : ::unsetenv("PATH"); }

  private:
    std::optional<std::string> old_;
};

TEST(EnvironmentCheck, FindsToolsInTheExtraPathsFirstThenOnPath) {
    TempDir extra;
    writeScript(extra / "python3", "exit 0");
    EnvironmentCheck check({{extra.path(), "/nonexistent"}, core::seconds(30), nullptr});
    EXPECT_EQ(check.python3Path(), (extra / "python3").string());
    EXPECT_TRUE(check.expandedPath().starts_with(extra.path().string() + ":/nonexistent:"));
    EXPECT_FALSE(check.resolve("no-such-tool-anywhere"));
    EXPECT_FALSE(check.resolve("a'; touch " + (extra / "injected").string() + "; '"));
    EXPECT_FALSE(fs::exists(extra / "injected"));

    PathVariable unset(nullptr);
    EnvironmentCheck bare({{}, core::seconds(30), nullptr});
    EXPECT_EQ(bare.expandedPath(), "/usr/bin:/bin:/usr/sbin:/sbin");
    auto found = bare.resolve("timeout");  // coreutils, found through the default list
    ASSERT_TRUE(found);
    EXPECT_TRUE(*found == "/usr/bin/timeout" || *found == "/bin/timeout") << *found;
}

TEST(EnvironmentCheck, NamesTheMissingModuleAndNoticesItOnce) {
    EXPECT_EQ(EnvironmentCheck::problemFromStderr(
                  "Traceback (most recent call last):\n  File \"<string>\", line 1\n"
                  "ModuleNotFoundError: No module named 'weasyprint'\n"),
              "md2pdf: missing Python module `weasyprint` -- install it with `sudo apt install "
              "python3-markdown weasyprint`");
    EXPECT_EQ(EnvironmentCheck::problemFromStderr("Segmentation fault"),
              "md2pdf environment check failed");

    TempDir extra;
    // An interpreter that fails the import as Python does when weasyprint is not installed.
    writeScript(extra / "python3",
                "echo \"ModuleNotFoundError: No module named 'weasyprint'\" >&2; exit 1");
    platform::MemoryDefaults defaults;
    platform::FakeNotifications notifications;
    LogCollector logs;
    for (int launch = 0; launch < 2; ++launch) {
        EnvironmentCheck check({{extra.path()}, core::seconds(30), nullptr});
        check.runAtLaunch(defaults, notifications);
    }
    ASSERT_EQ(notifications.posted().size(), 1u);
    EXPECT_EQ(notifications.posted()[0].title, "sayloft: PDF generation unavailable");
    EXPECT_NE(notifications.posted()[0].body.find("`weasyprint`"), std::string::npos);
    EXPECT_EQ(logs.count("env: md2pdf: missing Python module `weasyprint`"),
              2u);  // logged each launch
    EXPECT_TRUE(defaults.boolValue(platform::notifiedKey(EnvironmentCheck::kMd2PdfNoticeId)));

    // The real interpreter of this machine gives either no problem or a module name.
    EnvironmentCheck real;
    if (auto problem = real.checkMd2PdfEnvironment()) {
        EXPECT_TRUE(problem->starts_with("md2pdf: missing Python module `") ||
                    problem->starts_with("python3 not found"))
            << *problem;
    }
}

TEST(EnvironmentCheck, AWedgedInterpreterIsCutOffOnTheInjectedClock) {
    TempDir extra;
    writeScript(extra / "python3", "exec sleep 600");
    core::ManualClock clock;
    EnvironmentCheck check({{extra.path()}, core::seconds(30), &clock});
    std::thread advance([&] {
        for (int i = 0; i < 400; ++i) {
            clock.advance(core::seconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto problem = check.checkMd2PdfEnvironment();
    advance.join();
    EXPECT_EQ(problem, "md2pdf environment check failed (python3 did not answer)");
}

bool validDesktopEntry(const fs::path& file, std::string* output = nullptr) {
    auto result = run({"desktop-file-validate", file.string()});
    if (output) *output = result.out + result.err;
    return result.exitCode == 0 && (result.out + result.err).find("error") == std::string::npos;
}

TEST(LoginItem, OnByDefaultOnceAndOffStaysOff) {
    if (::access("/usr/bin/desktop-file-validate", X_OK) != 0)
        GTEST_SKIP() << "desktop-file-validate (desktop-file-utils) is not installed";
    TempHome home;
    LogCollector logs;
    platform::MemoryDefaults defaults;
    defaults.setBool(LoginItem::kObsoleteDecidedKey, true);
    // A program path with characters the Exec field must quote.
    const std::vector<std::string> command{"/opt/say loft/$bin/sayloft-tray"};
    LoginItem item(defaults, {{}, [&] { return std::optional(command); }});
    EXPECT_EQ(item.entryFile(), core::xdgConfigHome() / "autostart/sayloft.desktop");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);

    item.enableByDefaultOnce();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_EQ(defaults.boolValue(LoginItem::kChosenKey), true);
    EXPECT_FALSE(defaults.contains(LoginItem::kObsoleteDecidedKey));
    std::string report;
    EXPECT_TRUE(validDesktopEntry(item.entryFile(), &report)) << report;
    EXPECT_NE(readFile(item.entryFile()).find(R"(Exec="/opt/say loft/\\$bin/sayloft-tray")"),
              std::string::npos)
        << readFile(item.entryFile());

    EXPECT_EQ(item.set(false), std::nullopt);
    EXPECT_FALSE(fs::exists(item.entryFile()));
    for (int launch = 0; launch < 3; ++launch)
        LoginItem(defaults, {{}, [&] { return std::optional(command); }}).enableByDefaultOnce();
    EXPECT_FALSE(fs::exists(item.entryFile()));

    // A hidden entry counts as off; turning it on again rewrites it.
    writeFile(item.entryFile(), LoginItem::entryText(command) + "Hidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(item.set(true), std::nullopt);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
}

TEST(LoginItem, NothingToStartIsRetriedAtTheNextLaunch) {
    TempHome home;
    LogCollector logs;
    platform::MemoryDefaults defaults;
    LoginItem item(defaults, {{}, [] { return std::optional<std::vector<std::string>>(); }});
    EXPECT_EQ(item.status(), LoginItemStatus::notFound);
    item.enableByDefaultOnce();
    EXPECT_FALSE(defaults.contains(LoginItem::kChosenKey));
    EXPECT_TRUE(logs.contains("login item: register failed -- "));
    EXPECT_TRUE(item.set(true).has_value());
}

TEST(LoginItem, ThePackagedTemplateIsAValidEntryLikeTheOneWritten) {
    if (::access("/usr/bin/desktop-file-validate", X_OK) != 0)
        GTEST_SKIP() << "desktop-file-validate (desktop-file-utils) is not installed";
    const fs::path packaged = fs::path(SAYLOFT_SOURCE_DIR) / "packaging/sayloft-autostart.desktop";
    std::string report;
    EXPECT_TRUE(validDesktopEntry(packaged, &report)) << report;
    // The same keys as the entry the program writes, apart from the absolute program path.
    EXPECT_EQ(readFile(packaged), LoginItem::entryText({"sayloft", "run"}));
}

// The vault check: not chosen, then a folder a file can really be made in (and nothing left).
TEST(Doctor, TellsWhetherTheVaultCanBeWritten) {
    TempHome home;
    settings::Settings store(core::configDir() / "settings.json");
    EnvironmentCheck tools;
    auto vault = app::runDoctor(store, tools).back();
    EXPECT_EQ(vault.name, "vault");
    EXPECT_EQ(vault.state, app::DoctorCheck::State::missing);
    EXPECT_NE(vault.detail.find("sayloft setup"), std::string::npos);

    fs::create_directories(home.path() / "V");
    store.settings().vaultPath = (home.path() / "V").string();
    store.save();
    vault = app::runDoctor(store, tools).back();
    EXPECT_EQ(vault.state, app::DoctorCheck::State::ok) << vault.detail;
    EXPECT_TRUE(fs::is_empty(home.path() / "V"));
}

}  // namespace
}  // namespace sayloft::test
