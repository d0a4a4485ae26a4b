#include <gtest/gtest.h>

#include "app/onboarding/vault_detector.hpp"
#include "core/json.hpp"
#include "core/places.hpp"
#include "test_support.hpp"

namespace sayloft::test {
namespace {

namespace fs = std::filesystem;
using app::VaultCandidate;
using app::VaultDetector;
using Source = VaultCandidate::Source;

void makeVault(const fs::path& dir) {
    fs::create_directories(dir / ".obsidian");
}

// Moves on by a fixed step at every reading, so a time limit is reached after a known amount of
// work and never by waiting.
class TickingClock : public core::Clock {
  public:
    core::TimePoint now() const override { return core::TimePoint{} + (++reads_) * step; }
    bool sleepFor(core::Duration, std::stop_token) override { return true; }
    std::unique_ptr<core::Timer> startTimer(core::Duration, core::Duration,
                                            std::function<void()>) override {
        return nullptr;
    }
    core::Duration step = std::chrono::milliseconds(10);
    mutable long reads_ = 0;
};

TEST(VaultDetector, ReadsObsidiansRegistriesAndSortsAsTheWelcomeShowsThem) {
    TempHome home;
    const fs::path h = home.path();
    makeVault(h / "Notes/Work");
    fs::create_directories(h / "real/Linked");
    fs::create_directory_symlink(h / "real/Linked", h / "Linked");
    fs::create_directories(h / "Flat/Pak");
    fs::create_directories(h / "sync/alpha");  // in the registry without a date
    makeVault(h / "Found/Zeta");
    makeVault(h / "Found/beta");
    fs::create_directories(h / "Notes/Work/_outbox");
    writeFile(h / "Notes/Work/CLAUDE.md", "x");
    // The native registry, shaped as Obsidian writes it: ids as keys, ts in milliseconds.
    writeFile(
        core::xdgConfigHome() / "obsidian/obsidian.json",
        core::Json(
            {{"vaults",
              {{"a1b2c3",
                {{"path", (h / "Notes/Work").string()}, {"ts", 1764500000123.5}, {"open", true}}},
               {"d4e5f6", {{"path", (h / "Gone").string()}, {"ts", 1764600000000}}},
               {"0a0b0c", {{"path", (h / "Linked").string()}, {"ts", 1700000000000}}}}},
             {"frame", {{"x", 1}}}})
            .dump());
    writeFile(h / ".var/app/md.obsidian.Obsidian/config/obsidian/obsidian.json",
              R"({"vaults": {"ff": {"path": ")" + (h / "sync/alpha").string() + R"("}}})");
    writeFile(h / "snap/obsidian/current/.config/obsidian/obsidian.json", "{broken");

    VaultDetector detector;
    auto registry = detector.fromObsidianRegistry();
    ASSERT_EQ(registry.size(), 3u);  // the missing folder is dropped
    auto linked =
        std::find_if(registry.begin(), registry.end(), [](auto& c) { return c.name == "Linked"; });
    ASSERT_NE(linked, registry.end());
    EXPECT_EQ(linked->path, (h / "real/Linked").string());  // the link resolved

    auto all = detector.detectAll();
    std::vector<std::string> names;
    for (auto& c : all)
        names.push_back(c.name + (c.source == Source::obsidianRegistry ? "@obsidian" : "@disk"));
    // Dated first (newest first), then registry before disk, then names case-insensitively.
    EXPECT_EQ(names, (std::vector<std::string>{"Work@obsidian", "Linked@obsidian", "alpha@obsidian",
                                               "beta@disk", "Zeta@disk"}));
    EXPECT_EQ(all[0].lastOpened, core::TimePoint{} + std::chrono::microseconds(1764500000123500));
    EXPECT_TRUE(all[0].hasOutbox);
    EXPECT_TRUE(all[0].hasLoomkitMarkers);
    EXPECT_FALSE(all[3].hasOutbox);
}

TEST(VaultDetector, SearchSkipsTrashDependenciesAndDepthAndStopsAtItsTimeLimit) {
    TempDir root;
    const fs::path r = root.path();
    makeVault(r / "a/b/c/d/Deep5");      // ".obsidian" six levels down: found
    makeVault(r / "a/b/c/d/e/TooDeep");  // seven: not
    for (auto hidden : {".Trash/T", ".Trash-0/T", "x/node_modules/N", "y/.git/G", "z/.archive/A",
                        "Library/Caches/C"})
        makeVault(r / hidden);
    makeVault(r / "Plain");
    VaultDetector detector({{}, {r}, 6, core::seconds(5), nullptr});
    std::vector<std::string> found;
    for (auto& c : detector.fromFilesystemScan()) found.push_back(c.name);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"Deep5", "Plain"}));

    // A deep, wide tree (~280 folders): with a clock that moves 100 ms per reading, 5 s allow
    // 50 folder reads.
    for (int i = 0; i < 40; ++i) {
        fs::path p = r / "wide" / std::to_string(i);
        for (int d = 0; d < 4; ++d) p /= "sub";
        fs::create_directories(p);
        makeVault(r / "wide" / std::to_string(i) / "v");
    }
    TickingClock clock;
    clock.step = std::chrono::milliseconds(100);
    VaultDetector bounded({{}, {r}, 6, core::seconds(5), &clock});
    auto partial = bounded.fromFilesystemScan();
    EXPECT_TRUE(bounded.scanWasCut());
    EXPECT_LE(clock.reads_, 52);
    EXPECT_LT(partial.size(), 42u);
    TickingClock patient;
    patient.step = std::chrono::microseconds(1);
    VaultDetector whole({{}, {r}, 6, core::seconds(5), &patient});
    EXPECT_EQ(whole.fromFilesystemScan().size(), 42u);
    EXPECT_FALSE(whole.scanWasCut());
}

TEST(VaultDetector, CreatesANewVaultWithItsLayoutAndNeverOverAnExistingFolder) {
    TempHome home;
    auto path = VaultDetector::createNewVault("~/Documents", "MyVault", true);
    EXPECT_EQ(path, home.path() / "Documents/MyVault");
    EXPECT_TRUE(fs::is_directory(path / "_outbox"));
    const std::string stub = readFile(path / "CLAUDE.md");
    EXPECT_TRUE(
        stub.starts_with("# MyVault\n\nVault set up by sayloft for use with the [loomkit]("));
    EXPECT_NE(stub.find("- `_inbox/.audio/` — raw audio captured from Voice Memos (paired with "
                        "_inbox/<id>.md)\n"),
              std::string::npos);
    EXPECT_TRUE(stub.ends_with("\n\nAdd project folders alongside these as needed."));

    writeFile(path / "mine.md", "keep");
    try {
        VaultDetector::createNewVault("~/Documents", "MyVault", true);
        FAIL() << "created over an existing folder";
    } catch (const app::VaultError& e) {
        EXPECT_EQ(std::string(e.what()), "A folder named 'MyVault' already exists at " +
                                             (home.path() / "Documents").string());
    }
    EXPECT_EQ(readFile(path / "mine.md"), "keep");
    EXPECT_THROW(VaultDetector::createNewVault("~/Documents", "../escape", false), app::VaultError);

    auto bare = VaultDetector::createNewVault((home.path() / "p").string(), "Bare", false);
    std::vector<std::string> entries;
    for (auto& e : fs::directory_iterator(bare)) entries.push_back(e.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"_outbox"});
}

TEST(VaultDetector, CommittingAChoiceWritesValidSettingsAndTheOutbox) {
    TempHome home;
    fs::create_directories(home.path() / "V");
    settings::Settings store(core::configDir() / "settings.json");
    app::commitVault(store, "~/V", "V");
    settings::Settings reread(core::configDir() / "settings.json");
    ASSERT_TRUE(reread.loadedFromFile());
    EXPECT_EQ(reread.settings().vaultPath, (home.path() / "V").string());
    EXPECT_EQ(reread.settings().vaultName, "V");
    EXPECT_TRUE(reread.settings().additionalPaths.empty());
    EXPECT_TRUE(fs::is_directory(home.path() / "V/_outbox"));

    // A settings file that cannot be written (its folder is a file): reported, not swallowed.
    writeFile(home.path() / "blocked", "");
    settings::Settings blocked(home.path() / "blocked/settings.json");
    EXPECT_THROW(app::commitVault(blocked, "~/V", "V"), Error);
}

}  // namespace
}  // namespace sayloft::test
