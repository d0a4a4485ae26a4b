#include <gtest/gtest.h>

#include <set>

#include "core/json.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

using namespace sayloft;
using namespace sayloft::settings;
namespace fs = std::filesystem;

namespace {

const char* kRequiredOnly = R"({
  "vaultPath": "~/V", "vaultName": "V", "additionalPaths": ["~/a", "/b"],
  "refreshInterval": 30, "recentDays": 45, "maxFiles": 10,
  "includeExtensions": ["MD", "txt"], "excludeDirs": [".git"]
})";

core::Json requiredOnly() {
    return core::Json::parse(kRequiredOnly);
}

Settings loadFrom(const test::TempDir& dir, const std::string& text) {
    test::writeFile(dir / "settings.json", text);
    return Settings(dir / "settings.json");
}

}  // namespace

TEST(SettingsLoad, NoFileGivesBuiltInsWithCaptureOff) {
    test::TempHome home;
    Settings s(home.path() / "missing.json");
    EXPECT_FALSE(s.loadedFromFile());
    EXPECT_EQ(s.settings(), AppSettings::defaults());
    auto folders = s.watchedFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].id, "voice-memos");
    EXPECT_EQ(folders[0].normaliser, WatchedFolder::Normaliser::voiceMemos);
    EXPECT_FALSE(folders[0].enabled);
    EXPECT_TRUE(s.enabledWatchedFolders().empty());
    EXPECT_FALSE(s.settings().captureWendrelEnabled.value_or(false));
}

TEST(SettingsLoad, RequiredKeysAloneLoadAndOptionalsTakeTheirSubstitutes) {
    test::TempDir dir;
    auto s = loadFrom(dir, kRequiredOnly);
    ASSERT_TRUE(s.loadedFromFile());
    const auto& v = s.settings();
    EXPECT_EQ(v.vaultPath, "~/V");
    EXPECT_FALSE(v.remotesPath);  // absent stays absent, not filled from the built-ins
    EXPECT_EQ(v.groupThreshold(v.inboxGroupThreshold), 15);
    EXPECT_EQ(v.effectiveMenuDayLimit(), 10);
    EXPECT_EQ(v.effectiveSearchDays(), 45);  // recentDays 45 widens the search window
    EXPECT_EQ(v.effectiveTimeBasis(), TimeBasis::modification);
    EXPECT_EQ(v.effectiveEchoCancellation(), "automatic");
    EXPECT_EQ(s.includeExtensions(), (std::set<std::string>{"md", "txt"}));

    auto j = requiredOnly();
    j["recentDays"] = 7;
    EXPECT_EQ(loadFrom(dir, j.dump()).settings().effectiveSearchDays(), 30);
}

TEST(SettingsLoad, OneBadValueDiscardsTheWholeFileAndLeavesItUntouched) {
    test::TempDir dir;
    std::vector<std::pair<std::string, core::Json>> cases;
    auto drop = requiredOnly();
    drop.erase("maxFiles");
    cases.push_back({"missing maxFiles", drop});
    auto basis = requiredOnly();
    basis["timeBasis"] = "sometimes";
    cases.push_back({"unknown timeBasis", basis});
    auto folder = requiredOnly();
    folder["watchedFoldersRaw"] = core::Json::array({{{"id", "f"},
                                                      {"path", "/x"},
                                                      {"displayName", "X"},
                                                      {"enabled", true},
                                                      {"extensions", core::Json::array()}}});
    cases.push_back({"folder without normaliser", folder});
    auto type = requiredOnly();
    type["recentDays"] = "7";
    cases.push_back({"string for an integer", type});
    auto fraction = requiredOnly();
    fraction["menuDayLimit"] = 2.5;
    cases.push_back({"fraction for an integer", fraction});
    auto source = requiredOnly();
    source["recordingSource"] = {{"allAudio", core::Json::object()}, {"app", core::Json::object()}};
    cases.push_back({"two recording sources", source});

    for (auto& [name, json] : cases) {
        SCOPED_TRACE(name);
        auto text = json.dump();
        auto s = loadFrom(dir, text);
        EXPECT_FALSE(s.loadedFromFile());
        EXPECT_EQ(s.settings().vaultPath, "~/workspace/Orrin");
        EXPECT_EQ(test::readFile(dir / "settings.json"), text);
    }
    for (std::string broken : std::vector<std::string>{"", "{", "[]", "null",
                                                       std::string(kRequiredOnly).substr(0, 60)}) {
        auto s = loadFrom(dir, broken);
        EXPECT_FALSE(s.loadedFromFile()) << broken;
        EXPECT_EQ(test::readFile(dir / "settings.json"), broken);
    }
}

TEST(SettingsSave, RoundTripsSortedWithAbsentOptionalsLeftOut) {
    test::TempDir dir;
    Settings s(dir / "nested" / "settings.json");
    s.settings().wendrelBaseURL = "http://127.0.0.1:8765/api/v1";
    s.settings().recordingSource = RecordingSource{RecordingSource::App{"org.zoom", "Zoom"}};
    s.settings().watchedFoldersRaw = std::vector{WatchedFolder::generic("~/Audio")};
    s.settings().timeBasis = TimeBasis::either;
    s.save();
    auto text = test::readFile(dir / "nested" / "settings.json");
    EXPECT_EQ(text.find("afterTranscriptCommand"), std::string::npos);
    EXPECT_LT(text.find("\"additionalPaths\""), text.find("\"vaultPath\""));
    Settings again(dir / "nested" / "settings.json");
    ASSERT_TRUE(again.loadedFromFile());
    EXPECT_EQ(again.settings(), s.settings());
}

TEST(SettingsAccessors, ExclusionCommandAndPaths) {
    test::TempHome home;
    Settings s(home.path() / "none.json");
    EXPECT_TRUE(s.isExcludedFile("readme.MD"));
    EXPECT_TRUE(s.isExcludedFile("_manifest-2024.json"));
    EXPECT_FALSE(s.isExcludedFile("notes.md"));
    s.settings().excludeFilePatterns = std::vector<std::string>{"*.tmp"};
    EXPECT_TRUE(s.isExcludedFile(".hidden.TMP"));  // "*" also matches a leading dot
    EXPECT_FALSE(s.isExcludedFile("README.md"));
    s.settings().excludeFilePatterns = std::vector<std::string>{};
    EXPECT_FALSE(s.isExcludedFile("anything"));

    s.settings().afterTranscriptCommand = "  \n\t ";
    EXPECT_FALSE(s.afterTranscriptCommand());
    s.settings().afterTranscriptCommand = "  echo hi\n";
    EXPECT_EQ(s.afterTranscriptCommand(), "echo hi");

    s.settings().watchedFoldersRaw = std::vector<WatchedFolder>{};
    EXPECT_EQ(s.watchedFolders().at(0).id, "voice-memos");  // empty behaves as absent
    EXPECT_EQ(s.additionalPaths().at(0), home.path() / "workspace");
}

TEST(WatchedFolderGeneric, IdIsStableAcrossTildeAndFullPath) {
    test::TempHome home;
    auto a = WatchedFolder::generic("~/Audio");
    auto b = WatchedFolder::generic((home.path() / "Audio").string());
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.path, "~/Audio");
    EXPECT_EQ(a.displayName, "Audio");
    EXPECT_EQ(WatchedFolder::generic("~/Audio", std::string("Mine")).displayName, "Mine");
    // Known FNV-1a values: the empty string is the offset basis.
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(base36(0), "0");
    EXPECT_EQ(base36(35), "z");
    EXPECT_EQ(base36(36), "10");
    EXPECT_EQ(a.id, "folder-" + base36(fnv1a64((home.path() / "Audio").string())));
}

TEST(SettingsForm, NormalisationRules) {
    EXPECT_EQ(form::splitLines(" ~/a \n\n\t/b\t\n"), (std::vector<std::string>{"~/a", "/b"}));
    EXPECT_EQ(form::splitExtensions(" MD, ,Txt ,"), (std::vector<std::string>{"md", "txt"}));
    EXPECT_EQ(form::splitList(".git, Node_Modules,"),
              (std::vector<std::string>{".git", "Node_Modules"}));
    EXPECT_EQ(form::joinList({"a", "b"}), "a, b");
    EXPECT_EQ(form::baseURL("  "), std::nullopt);
    EXPECT_EQ(form::command(false, "echo"), std::nullopt);
    EXPECT_EQ(form::command(true, " echo \n"), "echo");
    EXPECT_EQ(form::consentText(std::string(" ") + kDefaultConsentText), std::nullopt);
    EXPECT_EQ(form::echoCancellation("automatic"), std::nullopt);
    EXPECT_EQ(form::echoCancellation("off"), "off");

    auto s = AppSettings::defaults();
    s.menuDayLimit = 0;
    s.recordingAutoStopMinutes = -5;
    auto vm = WatchedFolder{"voice-memos", "~/VM", "Voice Memos",
                            true,          {},     WatchedFolder::Normaliser::voiceMemos};
    s.watchedFoldersRaw = std::vector{vm};
    auto n = form::normalised(s);
    EXPECT_EQ(n.menuDayLimit, 1);
    EXPECT_EQ(n.recordingAutoStopMinutes, 0);
    EXPECT_EQ(n.captureVoiceMemosEnabled, true);
    EXPECT_TRUE(n.excludeFilePatterns);  // always written by the form
}

TEST(SettingsLoad, ReloadTakesAGoodFileAndKeepsTheValuesOverABadOne) {
    test::TempDir dir;
    auto s = loadFrom(dir, kRequiredOnly);
    auto j = requiredOnly();
    j["vaultName"] = "Changed";
    test::writeFile(dir / "settings.json", j.dump());
    EXPECT_TRUE(s.reload());
    EXPECT_EQ(s.settings().vaultName, "Changed");
    test::writeFile(dir / "settings.json", "{\"vaultName\": ");
    EXPECT_FALSE(s.reload());
    EXPECT_EQ(s.settings().vaultName, "Changed");
}

TEST(SettingsSave, ADamagedFileIsReportedAndOnlyForceWritesOverItKeepingABackup) {
    test::TempDir dir;
    auto bad = requiredOnly();
    bad["recentDays"] = "seven";
    const std::string text = bad.dump(2);
    test::LogCollector log;
    auto s = loadFrom(dir, text);
    ASSERT_TRUE(s.damage());
    EXPECT_NE(s.damage()->find("recentDays"), std::string::npos) << *s.damage();
    EXPECT_TRUE(log.contains("cannot be used (recentDays"));

    s.settings().maxFiles = 20;  // as `settings set` would
    try {
        s.save();
        ADD_FAILURE() << "saved over a damaged file";
    } catch (const SettingsDamaged& e) {
        EXPECT_NE(std::string(e.what()).find("--force"), std::string::npos) << e.what();
    }
    EXPECT_EQ(test::readFile(dir / "settings.json"), text);

    auto backup = s.saveForce();
    ASSERT_FALSE(backup.empty());
    EXPECT_EQ(test::readFile(backup), text);
    EXPECT_FALSE(s.damage());
    EXPECT_EQ(Settings(dir / "settings.json").settings().maxFiles, 20);

    // Damaged later, as seen by a reload: reported, values kept, still not written over.
    test::writeFile(dir / "settings.json", "{\"vaultName\": ");
    EXPECT_FALSE(s.reload());
    EXPECT_TRUE(s.damage());
    EXPECT_THROW(s.save(), SettingsDamaged);
    EXPECT_EQ(test::readFile(dir / "settings.json"), "{\"vaultName\": ");
}

namespace {

// A value of the key's type that differs from its built-in one.
core::Json sampleFor(const SettingKey& key) {
    switch (key.type) {
        case KeyType::string:
            return "A value";
        case KeyType::boolean:
            return true;
        case KeyType::integer:
            return 3;
        case KeyType::number:
            return 2.5;
        case KeyType::stringList:
            return core::Json::array({"a", "b"});
        case KeyType::choice:
            return key.choices.back();
        case KeyType::folders:
            return core::Json::array({{{"id", "folder-x"},
                                       {"path", "~/x"},
                                       {"displayName", "X"},
                                       {"enabled", true},
                                       {"extensions", core::Json::array({"m4a"})},
                                       {"normaliser", "none"}}});
        case KeyType::source:
            return {{"app", {{"bundleID", "org.example.Call"}, {"name", "Call"}}}};
    }
    return nullptr;
}

}  // namespace

TEST(SettingsKeys, EveryKeyRoundTripsAndNamesItselfWhenWrong) {
    const auto base = encode(AppSettings::defaults());
    std::set<std::string> names;
    for (const auto& key : settingKeys()) {
        SCOPED_TRACE(key.name);
        EXPECT_TRUE(names.insert(key.name).second) << "listed twice";
        EXPECT_EQ(findSettingKey(key.name), &key);
        EXPECT_EQ(base.value(key.name, core::Json()), key.builtIn);

        auto json = base;
        json[key.name] = sampleFor(key);
        EXPECT_EQ(encode(decode(json)), json);  // and no other key moved

        json.erase(key.name);
        if (key.required) {
            EXPECT_THROW(decode(json), DecodeError);
        } else {
            EXPECT_FALSE(encode(decode(json)).contains(key.name));
        }

        bool text = key.type == KeyType::string || key.type == KeyType::choice;
        json[key.name] = text ? core::Json(5) : core::Json::object();
        try {
            decode(json);
            ADD_FAILURE() << "a value of the wrong type decoded";
        } catch (const DecodeError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(key.name, 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(findSettingKey("noSuchKey"), nullptr);
}
