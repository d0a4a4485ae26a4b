#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sayloft::platform {

// Whether this computer runs on its battery.
class PowerSource {
  public:
    virtual ~PowerSource() = default;
    // True on battery, false on mains; absent when it cannot be told.
    virtual std::optional<bool> onBattery() = 0;
};

// Holds off system sleep while a recording runs, and says when the system goes to sleep and
// wakes up again.
class SleepWatch {
  public:
    virtual ~SleepWatch() = default;
    // Asks the system to wait for us before it sleeps (a "delay" lock). False when it cannot.
    virtual bool hold(const std::string& why) = 0;
    // Lets sleep go ahead; safe without a hold.
    virtual void release() = 0;
    // `goingToSleep` true just before sleep, false after waking. Any thread.
    virtual void setHandler(std::function<void(bool goingToSleep)> handler) = 0;
};

// Free space of the file system holding a path, in bytes; -1 where unknown.
struct DiskSpace {
    int64_t available = -1;  // what an ordinary user may still write
    int64_t important = -1;  // what is left for data the user cares about
};
DiskSpace diskSpace(const std::filesystem::path& path);

// The real ones: UPower over the system bus, else /sys/class/power_supply; logind's inhibitor
// lock and its PrepareForSleep signal (does nothing where no system bus answers).
std::unique_ptr<PowerSource> systemPowerSource();
std::unique_ptr<SleepWatch> systemSleepWatch();

// Reads the supplies below `root` (normally /sys/class/power_supply): a mains or USB supply that
// is online means mains; a discharging battery means battery; no supplies at all means mains.
std::optional<bool> onBatteryFromSysfs(const std::filesystem::path& root);

}  // namespace sayloft::platform
