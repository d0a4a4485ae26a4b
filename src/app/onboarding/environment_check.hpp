#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "platform/notifications.hpp"
#include "platform/user_defaults.hpp"

namespace sayloft::app {

// Finds, at launch, the command-line tools that PDF generation and the file scans lean on (a
// Python 3 with the md2pdf script's modules, a `timeout` program), logs what it found, and tells
// the user once when PDF generation cannot work.
class EnvironmentCheck {
  public:
    static constexpr const char* kMd2PdfNoticeId = "env-md2pdf-missing";

    struct Options {
        // Looked at before PATH, in this order. Default: ~/.local/bin, /usr/local/bin.
        std::vector<std::filesystem::path> extraSearchPaths = defaultExtraSearchPaths();
        // The md2pdf check's time limit (a wedged interpreter must not hold the launch).
        core::Duration checkTimeLimit = core::seconds(30);
        core::Clock* clock = nullptr;  // systemClock() when null
    };

    EnvironmentCheck() : EnvironmentCheck(Options{}) {}
    explicit EnvironmentCheck(Options options);
    // The process's check: tool paths are found once per process and never refreshed.
    static EnvironmentCheck& shared();
    static std::vector<std::filesystem::path> defaultExtraSearchPaths();

    // The extra search paths, then PATH's entries (or /usr/bin:/bin:/usr/sbin:/sbin when PATH is
    // not set), empty entries dropped, joined with ":".
    std::string expandedPath() const;
    // An executable file named `name` in an extra search path, else what `command -v` finds on
    // the expanded path; nothing when neither finds it.
    std::optional<std::string> resolve(const std::string& name) const;

    // Found on first use, then kept.
    std::optional<std::string> python3Path();
    std::optional<std::string> timeoutPath();  // "timeout", else "gtimeout"

    // What keeps md2pdf from working, or nothing when all is well.
    std::optional<std::string> checkMd2PdfEnvironment();
    // The problem text for an interpreter's standard error, when a module is missing.
    static std::string problemFromStderr(const std::string& err);

    // Once per launch, off the main thread: logs the tools and posts the md2pdf notice once
    // (marked in `defaults` under "sayloft.envNotified.").
    void runAtLaunch(platform::UserDefaults& defaults, platform::Notifications& notifications);

  private:
    Options options_;
    std::once_flag pythonOnce_, timeoutOnce_;
    std::optional<std::string> python3_, timeout_;
};

}  // namespace sayloft::app
