#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_pipeline.hpp"
#include "core/clock.hpp"
#include "core/queue.hpp"
#include "platform/notifications.hpp"
#include "settings/settings.hpp"

namespace sayloft::capture {

// Turns the pipeline's events into notifications: events close together are posted as one
// batch per kind, 10 s after the last of a burst and never more than 60 s after the first.
// Everything runs on the main queue.
class TranscriptNotifier {
  public:
    static constexpr double kSettleDelay = 10;
    static constexpr double kMaxDelay = 60;

    struct Item {
        std::string id;
        std::optional<std::string> title;
        std::string classification = "voice_memo";
        std::optional<int64_t> durationSec;
        std::string status;
        std::optional<core::TimePoint> created;
    };

    struct Dependencies {
        settings::Settings& settings;
        platform::Notifications& notifications;
        core::Clock& clock;
        core::MainQueue& main;
        // Whether an application handles "<scheme>:" links; opening a link or a file.
        std::function<bool(const std::string& scheme)> hasSchemeHandler;
        std::function<void(const std::string& target)> open;
    };

    explicit TranscriptNotifier(Dependencies deps);
    ~TranscriptNotifier();

    // Routes the pipeline's events here (through the main queue) and clicks to handleClick.
    void install(CapturePipeline& pipeline);
    // On the main queue.
    void receive(const CaptureEvent& event);
    void flush();
    void recordingNotSent(const std::string& id, const std::string& message);
    void sendTest();
    // What a click on a notification with this user info opens; empty when nothing.
    std::string clickTarget(const std::map<std::string, std::string>& userInfo) const;
    void handleClick(const platform::Notification& notification);

    static std::string describe(const Item& item);
    // "filePath" and, for an Obsidian vault, "obsidianLink".
    std::map<std::string, std::string> openInfo(const std::string& id) const;
    static std::string reason(const std::string& status);
    static std::string obsidianLink(const std::string& vaultName, const std::string& file);

  private:
    Item itemFor(const CaptureEvent& event) const;
    void scheduleFlush();
    void post(const platform::Notification& notification);
    std::string recordedWhen(core::TimePoint created) const;

    Dependencies deps_;
    std::vector<Item> sent_, ready_, failed_;
    std::optional<core::TimePoint> firstEventAt_;
    std::unique_ptr<core::Timer> flushTimer_;
};

}  // namespace sayloft::capture
