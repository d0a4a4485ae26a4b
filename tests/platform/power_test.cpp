#include "platform/power.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace sayloft;
namespace fs = std::filesystem;

namespace {

void supply(const fs::path& root, const std::string& name, const std::string& type,
            const std::string& key, const std::string& value) {
    test::writeFile(root / name / "type", type + "\n");
    test::writeFile(root / name / key, value + "\n");
}

}  // namespace

TEST(Power, SuppliesTellBatteryFromMains) {
    test::TempDir dir;
    const auto root = dir / "power_supply";
    EXPECT_EQ(platform::onBatteryFromSysfs(root), false) << "no supplies at all: a desktop";

    supply(root, "BAT0", "Battery", "status", "Discharging");
    EXPECT_EQ(platform::onBatteryFromSysfs(root), true);
    supply(root, "AC", "Mains", "online", "0");
    EXPECT_EQ(platform::onBatteryFromSysfs(root), true);
    supply(root, "AC", "Mains", "online", "1");
    EXPECT_EQ(platform::onBatteryFromSysfs(root), false) << "plugged in wins";

    test::TempDir charging;
    supply(charging / "ps", "BAT1", "Battery", "status", "Charging");
    EXPECT_EQ(platform::onBatteryFromSysfs(charging / "ps"), false);
}

TEST(Power, DiskSpaceOfTheNearestExistingFolder) {
    test::TempDir dir;
    auto space = platform::diskSpace(dir / "not" / "yet" / "made");
    EXPECT_GT(space.available, 0);
    EXPECT_EQ(space.important, space.available);
    EXPECT_EQ(platform::diskSpace("").available, -1);
}
