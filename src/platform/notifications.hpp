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

// Whether this application may show notifications. On Linux "denied" means that no notification
// service answers on the session bus.
enum class AuthorizationStatus { notDetermined, denied, authorized };

// What became of one post.
struct PostResult {
    enum class Outcome {
        posted,  // handed to the notification service
        off,     // notifications are off for this application (nothing was sent)
        failed,  // the service did not take it; `error` says why
    };
    Outcome outcome = Outcome::posted;
    std::string error;

    bool posted() const { return outcome == Outcome::posted; }
    static PostResult ok() { return {}; }
    static PostResult notificationsOff() { return {Outcome::off, {}}; }
    static PostResult failure(std::string error) { return {Outcome::failed, std::move(error)}; }
};

// The desktop's notification service.
class Notifications {
  public:
    using ActivationHandler = std::function<void(const Notification&)>;

    virtual ~Notifications() = default;
    // The current permission, without asking the user.
    virtual AuthorizationStatus authorizationStatus() = 0;
    // Asks for permission to alert (a no-op where the desktop has no such permission) and calls
    // `answer` with the outcome, possibly on another thread.
    virtual void requestAuthorization(std::function<void(bool granted)> answer) = 0;
    // Shows the notification, replacing an earlier one with the same identifier. Never throws for
    // a missing or failing service: the result says what happened.
    virtual PostResult post(const Notification& notification) = 0;

    // Called with the posted notification when the user clicks it (its default action). It may be
    // called on the service's own thread; hop to the main queue before touching shared state.
    void setActivationHandler(ActivationHandler handler);

  protected:
    // Hands a clicked notification to the activation handler, if one is set.
    void activated(const Notification& notification);

  private:
    std::mutex handlerMutex_;
    ActivationHandler handler_;
};

// Writes each notification to the log instead of showing it.
class LogOnlyNotifications : public Notifications {
  public:
    AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::authorized; }
    void requestAuthorization(std::function<void(bool)> answer) override;
    PostResult post(const Notification& notification) override;
};

}  // namespace sayloft::platform
