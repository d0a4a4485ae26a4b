#include <gtest/gtest.h>

#include <atomic>

#include "browser/vault_browser.hpp"
#include "browser_test_support.hpp"
#include "core/places.hpp"

using namespace sayloft;
using namespace sayloft::browser;
namespace fs = std::filesystem;
using core::Json;

namespace {

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    test::writeFile(file, "x");
}

struct Home {
    test::TempHome home;
    fs::path vault = home.path() / "vault";
    settings::Settings store{home.path() / "settings.json"};
    core::ManualClock clock{core::SystemClock::now()};
    test::InlineQueue main;

    Home() {
        fs::create_directories(vault);
        auto& s = store.settings();
        s.vaultPath = vault.string();
        s.additionalPaths = {};
        s.remotesPath.reset();
        s.refreshInterval = 60;
    }
    FileScanner::Options options() { return {home.path() / "cache.json", {}, {}}; }
};

std::string todayTitle(VaultBrowser& browser) {
    return browser.menu()["items"][0]["title"];
}

}  // namespace

TEST(VaultBrowser, AnswersFromTheTimersListsAndTellsOnlyOfChanges) {
    Home s;
    touch(s.vault / "a.md");
    VaultBrowser browser(s.store, s.clock, s.main, s.options());
    std::atomic<int> changes{0};
    browser.setOnChange([&] { ++changes; });
    browser.start();
    browser.scanner().waitIdle();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(todayTitle(browser), "Today (1)");

    // A running scanner answers from its lists: a new file waits for the next refresh.
    touch(s.vault / "b.md");
    EXPECT_EQ(todayTitle(browser), "Today (1)");
    s.clock.advance(core::seconds(3));  // the first refresh's follow-up
    browser.scanner().waitIdle();
    EXPECT_EQ(todayTitle(browser), "Today (2)");
    EXPECT_EQ(changes, 2);
    browser.scanner().refresh();
    browser.scanner().waitIdle();
    EXPECT_EQ(changes, 2) << "a refresh that finds the same files is no change";

    // Another vault and interval: the lists follow at once, the timer takes the new interval.
    fs::path other = s.home.path() / "other";
    for (auto name : {"c.md", "d.md", "e.md"}) touch(other / name);
    s.store.settings().vaultPath = other.string();
    s.store.settings().refreshInterval = 10;
    browser.settingsChanged();
    browser.scanner().waitIdle();
    EXPECT_EQ(todayTitle(browser), "Today (3)");
    EXPECT_EQ(changes, 3);
    touch(other / "f.md");
    s.clock.advance(core::seconds(10));
    ASSERT_TRUE(test::eventually([&] { return browser.scanner().lists().today.size() == 4; }));
    browser.stop();
}

TEST(VaultBrowser, SearchesAndTrashesWithoutATimerByScanningOnce) {
    Home s;
    touch(s.vault / "Clients" / "offer.pdf");
    touch(s.vault / "Clients" / "board.md");
    touch(s.vault / "Earlier" / "old-offer.md");
    test::setMtime(s.vault / "Earlier" / "old-offer.md",
                   std::chrono::system_clock::now() - std::chrono::hours(24 * 800));
    touch(s.home.path() / "elsewhere.md");
    VaultBrowser browser(s.store, s.clock, s.main, s.options());

    auto found = browser.search("offer", 0, false);
    ASSERT_EQ(found["results"].size(), 1u);
    EXPECT_EQ(found["results"][0]["filename"], "offer.pdf");
    EXPECT_EQ(browser.search("offer", 0, true)["results"].size(), 2u);
    EXPECT_EQ(browser.search("", 1, false)["results"].size(), 1u);

    browser::BrowserOutput output{[](const std::string&) {}, [](const std::string&) {}};
    auto refused =
        browser.handle("trash", Json{{"path", (s.home.path() / "elsewhere.md").string()}}, output);
    EXPECT_EQ(refused["exitCode"], 1);
    EXPECT_EQ(refused["ok"], false);
    EXPECT_NE(refused["error"].get<std::string>().find("is not in the vault"), std::string::npos);
    EXPECT_TRUE(fs::exists(s.home.path() / "elsewhere.md"));

    auto moved =
        browser.handle("trash", Json{{"path", (s.vault / "Clients/offer.pdf").string()}}, output);
    EXPECT_EQ(moved["exitCode"], 0);
    EXPECT_EQ(moved["trashedTo"], (core::xdgDataHome() / "Trash/files/offer.pdf").string());
    EXPECT_TRUE(fs::exists(core::xdgDataHome() / "Trash/info/offer.pdf.trashinfo"));
    EXPECT_TRUE(browser.search("offer", 0, false)["results"].empty());
}
