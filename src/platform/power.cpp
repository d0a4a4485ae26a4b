#include "platform/power.hpp"

#include <sys/statvfs.h>

#include <fstream>
#include <system_error>

namespace sayloft::platform {

namespace fs = std::filesystem;

DiskSpace diskSpace(const fs::path& path) {
    // The nearest folder that exists tells the file system.
    fs::path probe = path;
    std::error_code ec;
    while (!probe.empty() && !fs::exists(probe, ec) && probe != probe.parent_path())
        probe = probe.parent_path();
    struct statvfs info {};
    if (probe.empty() || ::statvfs(probe.c_str(), &info) != 0) return {};
    // f_bavail is what an unprivileged writer may still use; reserved blocks do not count.
    const auto available = int64_t(info.f_bavail) * int64_t(info.f_frsize);
    return {available, available};
}

namespace {

std::string readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::optional<bool> onBatteryFromSysfs(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return false;
    bool mainsOnline = false, discharging = false, anySupply = false;
    for (auto& entry : fs::directory_iterator(root, ec)) {
        const auto type = readLine(entry.path() / "type");
        if (type.empty()) continue;
        anySupply = true;
        if ((type == "Mains" || type == "USB") && readLine(entry.path() / "online") == "1")
            mainsOnline = true;
        if (type == "Battery" && readLine(entry.path() / "status") == "Discharging")
            discharging = true;
    }
    if (!anySupply || mainsOnline) return false;
    return discharging;
}

}  // namespace sayloft::platform
