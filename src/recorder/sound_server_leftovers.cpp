#include "recorder/sound_server_leftovers.hpp"

#include <sstream>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/process.hpp"

namespace sayloft::recorder {

namespace {

constexpr const char* kPrefix = "sayloft.";

core::ProcessResult pactl(const std::vector<std::string>& args) {
    core::ProcessOptions o;
    o.argv = {"pactl"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.waitAtMost = std::chrono::milliseconds(5000);
    try {
        return core::runProcess(o);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

std::vector<std::string> ownModules(const std::string& listing) {
    // "<number>\t<name>\t<arguments>\t..." per line.
    std::vector<std::string> ours;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0) continue;
        const std::string number = line.substr(0, tab);
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        // Only a device named with our prefix is ours: a path that merely contains the word
        // (a socket below a folder called sayloft) is not.
        for (const char* key : {"sink_name=", "source_name="}) {
            auto at = line.find(std::string(key) + kPrefix, tab);
            if (at != std::string::npos &&
                (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t')) {
                ours.push_back(number);
                break;
            }
        }
    }
    return ours;
}

std::vector<std::string> removeSoundServerLeftovers() {
    auto listing = pactl({"list", "short", "modules"});
    if (!listing.succeeded()) return {};
    std::vector<std::string> removed;
    for (auto& number : ownModules(listing.out)) {
        if (pactl({"unload-module", number}).succeeded()) {
            removed.push_back(number);
        } else {
            core::log("recorder", "could not remove the sound-server module {} we left", number);
        }
    }
    if (!removed.empty())
        core::log("recorder", "removed {} sound-server module(s) an earlier recording left",
                  removed.size());
    return removed;
}

}  // namespace sayloft::recorder
