#include "recorder/audio_process_catalog.hpp"

#include <algorithm>
#include <map>

namespace sayloft::recorder {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

AudioProcessCatalog::AudioProcessCatalog(std::shared_ptr<hal::AudioHardware> hardware)
    : hardware_(std::move(hardware)) {}

template <class F>
auto AudioProcessCatalog::query(F&& f) {
    const bool wasConnected = hardware_->connected();
    if (!wasConnected) hardware_->connect();
    struct Closer {
        hal::AudioHardware& hw;
        bool close;
        ~Closer() {
            if (close) hw.disconnect();
        }
    } closer{*hardware_, !wasConnected};
    return f(*hardware_);
}

bool AudioProcessCatalog::isOurs(const hal::SinkInputInfo& input, long ownProcessId) {
    return (ownProcessId != 0 && input.processId() == ownProcessId) ||
           lower(input.processBinary()).starts_with("sayloft");
}

std::vector<AudioApp> AudioProcessCatalog::groupApps(const std::vector<hal::SinkInputInfo>& inputs,
                                                     long ownProcessId) {
    std::map<std::string, AudioApp> groups;
    for (const auto& input : inputs) {
        if (isOurs(input, ownProcessId)) continue;
        std::string id = input.processBinary();
        if (id.empty()) id = input.applicationName();
        if (id.empty()) continue;  // nothing to tell the user or to find it by again
        auto& app = groups[id];
        app.bundleID = id;
        if (app.name.empty()) app.name = input.applicationName();
        app.processObjectIDs.push_back(input.index);
        if (!input.corked) app.isPlaying = true;
    }
    std::vector<AudioApp> apps;
    for (auto& [id, app] : groups) {
        if (app.name.empty()) app.name = id;
        std::sort(app.processObjectIDs.begin(), app.processObjectIDs.end());
        apps.push_back(std::move(app));
    }
    std::sort(apps.begin(), apps.end(), [](const AudioApp& a, const AudioApp& b) {
        if (a.isPlaying != b.isPlaying) return a.isPlaying;
        return lower(a.name) < lower(b.name);
    });
    return apps;
}

std::vector<AudioInputDevice> AudioProcessCatalog::microphones(
    const std::vector<hal::SourceInfo>& sources, const std::string& defaultSource) {
    std::vector<AudioInputDevice> out;
    for (const auto& s : sources) {
        if (s.isMonitor() || s.channels < 1) continue;
        out.push_back(
            {s.name, s.description.empty() ? s.name : s.description, s.name == defaultSource});
    }
    std::sort(out.begin(), out.end(), [](const AudioInputDevice& a, const AudioInputDevice& b) {
        return lower(a.name) < lower(b.name);
    });
    return out;
}

std::vector<AudioApp> AudioProcessCatalog::audioApps() {
    return query(
        [](hal::AudioHardware& hw) { return groupApps(hw.sinkInputs(), hw.ownProcessId()); });
}

std::vector<AudioInputDevice> AudioProcessCatalog::inputDevices() {
    return query([](hal::AudioHardware& hw) {
        return microphones(hw.sources(), hw.serverInfo().defaultSourceName);
    });
}

std::vector<uint32_t> AudioProcessCatalog::processObjectIDs(const std::string& bundleID) {
    for (const auto& app : audioApps())
        if (app.bundleID == bundleID) return app.processObjectIDs;
    return {};
}

}  // namespace sayloft::recorder
