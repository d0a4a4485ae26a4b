#pragma once

#include <string>
#include <vector>

#include "app/onboarding/environment_check.hpp"
#include "settings/settings.hpp"

namespace sayloft::app {

// One line of `sayloft doctor`: what was checked, how it stands, and the Debian package that
// provides what is missing.
struct DoctorCheck {
    enum class State {
        ok,
        fallback,  // works, in a lesser way (e.g. secrets in a file instead of a secret store)
        warning,   // works for now (e.g. little free disk)
        missing,   // a feature is off until this is fixed
    };
    std::string name;
    State state = State::ok;
    std::string detail;
    std::string package;  // empty when nothing is to install
};

std::string describe(DoctorCheck::State state);  // "ok", "fallback", "warning", "missing"

// Everything sayloft leans on at run time: the tools of the environment check, the session bus,
// the notification service, the secret store, the sound server, free disk in the data folder and
// the vault's folder.
std::vector<DoctorCheck> runDoctor(const settings::Settings& settings, EnvironmentCheck& tools);

// The free bytes available to this user where `path` (or its nearest existing parent) lives.
std::optional<std::uintmax_t> freeBytes(const std::filesystem::path& path);

}  // namespace sayloft::app
