#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_access.hpp"
#include "capture/capture_state_store.hpp"
#include "core/clock.hpp"
#include "core/queue.hpp"
#include "vault/inbox_writer.hpp"

namespace sayloft::settings {
class Settings;
}
namespace sayloft::platform {
class UserDefaults;
class Notifications;
}  // namespace sayloft::platform

namespace sayloft::capture {

// One line per file that was found but has no note yet (waiting for its first try, or failed
// before the note and waiting for the next): for `sayloft status` and `sayloft retry`.
std::vector<std::string> notYetNotedLines(const std::vector<CaptureStateStore::Pending>& pending,
                                          core::TimePoint now);

// A settings file that cannot be used: its line for `sayloft status` (empty when fine), and the
// one notification a user gets about it (cleared once the file is fine again).
std::string settingsProblemLine(const settings::Settings& settings);
void notifySettingsProblemOnce(const settings::Settings& settings, platform::UserDefaults& defaults,
                               platform::Notifications& notifications);

// A small summary of the captures in the vault for the menu and `sayloft status`.
class CaptureStatus {
  public:
    struct Snapshot {
        int pending = 0, processing = 0, done = 0, failed = 0, totalToday = 0;
        std::optional<std::string> mostRecentTitle, mostRecentId;
        bool operator==(const Snapshot&) const = default;
    };
    struct Published {
        Snapshot snapshot;
        std::optional<CaptureAccess::State> access;
        std::optional<core::TimePoint> lastPoll, lastNewCapture;
    };

    static constexpr double kRefreshInterval = 30;

    // `vault` is read at every refresh; `publish` runs on the main queue with each change.
    CaptureStatus(std::function<std::string()> vault, core::Clock& clock, core::MainQueue& main,
                  std::filesystem::path heartbeatFile = defaultHeartbeatPath());
    ~CaptureStatus();

    void start();
    void stop();
    void recordPoll(int newCaptures);
    void updateAccess(const CaptureAccess::State& state);
    void setOnPublish(std::function<void(const Published&)> publish);
    Published current() const;
    void refreshNow();  // waits for a refresh (tests, one-shot commands)

    // Counts the notes of an inbox by job status.
    static Snapshot scan(const vault::InboxWriter& inbox, core::TimePoint now);
    // "Idle", or the non-zero counts: "2 pending, 1 done".
    static std::string summary(const Snapshot& snapshot);
    // "Checked 09:30 · nothing new since launch" and the like; empty before the first poll.
    static std::string heartbeatLine(const std::optional<core::TimePoint>& lastPoll,
                                     const std::optional<core::TimePoint>& lastNewCapture,
                                     core::TimePoint now);

    // The running daemon keeps its last poll times here for `sayloft status`.
    static std::filesystem::path defaultHeartbeatPath();
    static std::pair<std::optional<core::TimePoint>, std::optional<core::TimePoint>> readHeartbeat(
        const std::filesystem::path& file);

  private:
    void refresh();
    void publish();
    void writeHeartbeat();

    std::function<std::string()> vault_;
    core::Clock& clock_;
    core::MainQueue& main_;
    std::filesystem::path heartbeatFile_;
    mutable std::mutex mutex_;
    Published state_;
    std::function<void(const Published&)> onPublish_;
    std::unique_ptr<core::Timer> timer_;
    core::SerialQueue queue_{"sayloft.capture.status"};
};

}  // namespace sayloft::capture
