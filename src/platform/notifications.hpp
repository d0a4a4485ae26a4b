#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sayloft::platform {

struct Notification {
    std::string identifier;  // a later post with the same identifier replaces the earlier one
    std::string title;
    std::string body;
    std::map<std::string, std::string> userInfo;
};

// The desktop's notification service.
class Notifications {
  public:
    virtual ~Notifications() = default;
    // Asks for permission to alert (a no-op where the desktop has no such permission) and calls
    // `answer` with the outcome, possibly on another thread.
    virtual void requestAuthorization(std::function<void(bool granted)> answer) = 0;
    virtual void post(const Notification& notification) = 0;
};

// Writes each notification to the log instead of showing it.
class LogOnlyNotifications : public Notifications {
  public:
    void requestAuthorization(std::function<void(bool)> answer) override;
    void post(const Notification& notification) override;
};

// Records what was posted, for tests.
class FakeNotifications : public Notifications {
  public:
    void requestAuthorization(std::function<void(bool)> answer) override;
    void post(const Notification& notification) override;
    std::vector<Notification> posted() const;
    void setGranted(bool granted);

  private:
    mutable std::mutex mutex_;
    std::vector<Notification> posted_;
    bool granted_ = true;
};

}  // namespace sayloft::platform
