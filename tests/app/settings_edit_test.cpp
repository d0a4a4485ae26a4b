#include <gtest/gtest.h>

#include "app/settings_edit.hpp"
#include "core/error.hpp"
#include "core/json.hpp"
#include "settings/settings.hpp"
#include "test_support.hpp"

using namespace sayloft;
using app::SettingsEdit::setValue;
using app::SettingsEdit::valueText;
using core::Json;
using settings::KeyType;

namespace {

// What a user types for the key, and the value `settings get` then shows (as JSON).
std::pair<std::string, Json> typedFor(const settings::SettingKey& key) {
    switch (key.type) {
        case KeyType::string:
            return {"A value", "A value"};
        case KeyType::boolean:
            return {"yes", true};
        case KeyType::integer:
            return {"3", 3};
        case KeyType::number:
            return {"2.5", 2.5};
        case KeyType::stringList:
            return {key.name == "additionalPaths" ? "a\n b\n\n" : "a, b,, ",
                    Json::array({"a", "b"})};
        case KeyType::choice:
            return {key.choices.back(), key.choices.back()};
        case KeyType::folders: {
            Json folders = Json::array({{{"id", "folder-x"},
                                         {"path", "~/x"},
                                         {"displayName", "X"},
                                         {"enabled", true},
                                         {"extensions", Json::array()},
                                         {"normaliser", "none"}}});
            return {folders.dump(), folders};
        }
        case KeyType::source: {
            Json source = {{"allAudio", Json::object()}};
            return {source.dump(), source};
        }
    }
    return {};
}

Json shown(const settings::SettingKey& key, const std::optional<std::string>& text) {
    if (!text) return nullptr;
    if (key.type == KeyType::string || key.type == KeyType::choice) return *text;
    return Json::parse(*text);
}

}  // namespace

TEST(SettingsEdit, EveryKeySetsGetsAndUnsetsThroughTheFile) {
    test::TempDir dir;
    const auto file = dir / "settings.json";
    settings::Settings store(file);
    for (const auto& key : settings::settingKeys()) {
        SCOPED_TRACE(key.name);
        auto [typed, expected] = typedFor(key);
        setValue(store, key.name, typed, false);
        EXPECT_EQ(shown(key, valueText(store, key.name)), expected);
        EXPECT_EQ(shown(key, valueText(settings::Settings(file), key.name)), expected);

        if (key.required) {
            EXPECT_THROW(setValue(store, key.name, "", true), Error);
            EXPECT_EQ(shown(key, valueText(settings::Settings(file), key.name)), expected);
            continue;
        }
        setValue(store, key.name, "", true);
        auto after = valueText(settings::Settings(file), key.name);
        if (key.name == "excludeFilePatterns") {
            // The form always writes the patterns: removing them brings back the default ones.
            EXPECT_EQ(shown(key, after), Json(settings::Settings::defaultExcludeFilePatterns()));
        } else {
            EXPECT_FALSE(after) << *after;
        }
    }
}

TEST(SettingsEdit, UnknownKeysAndBadTextAreRefusedAndChangeNothing) {
    test::TempDir dir;
    const auto file = dir / "settings.json";
    settings::Settings store(file);
    EXPECT_THROW(valueText(store, "noSuchKey"), Error);
    EXPECT_THROW(setValue(store, "noSuchKey", "1", false), Error);
    EXPECT_THROW(setValue(store, "noSuchKey", "", true), Error);
    EXPECT_THROW(setValue(store, "recentDays", "many", false), Error);
    EXPECT_THROW(setValue(store, "recordingQuickKey", "maybe", false), Error);
    EXPECT_THROW(setValue(store, "timeBasis", "birth", false), Error);
    EXPECT_THROW(setValue(store, "recordingSource", "{\"app\": {}}", false), Error);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(store.settings(), settings::AppSettings::defaults());
}
