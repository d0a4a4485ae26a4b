#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace sayloft::platform::dbus {
class BusLoop;
}

namespace sayloft::test {

// dbus-daemon could not be started here; tests skip with what() as the reason.
class BusUnavailable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A private session bus: its own dbus-daemon with no activatable services, stopped on destruction.
class PrivateBus {
  public:
    PrivateBus();  // throws BusUnavailable
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    const std::string& address() const { return address_; }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    std::string address_;
};

// One Notify call as the server received it.
struct NotifyCall {
    std::string appName;
    uint32_t replacesId = 0;
    uint32_t id = 0;  // the id the server answered with
    std::string appIcon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;  // string, boolean and integer hints as text
    int32_t expireTimeout = 0;
};

// A notification server (org.freedesktop.Notifications) on a private bus, recording every call.
// Notify answers increasing ids and keeps an existing id for a replacement.
class FakeNotificationServer {
  public:
    struct Options {
        bool serve = true;  // false: the bus runs but nobody owns the notification service
        std::vector<std::string> capabilities{"actions", "body", "body-markup"};
        std::string notifyError;  // when set, Notify answers with this error message
    };

    FakeNotificationServer() : FakeNotificationServer(Options{}) {}
    explicit FakeNotificationServer(Options options);  // throws BusUnavailable
    ~FakeNotificationServer();

    // The address clients connect to.
    const std::string& address() const { return bus_.address(); }

    std::vector<NotifyCall> calls() const;
    std::vector<uint32_t> closedByClient() const;  // ids passed to CloseNotification
    // Waits (bounded) until at least `count` Notify calls arrived.
    bool waitForCalls(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // What a user's click does: ActionInvoked(id, action), then NotificationClosed(id, 2).
    void click(uint32_t id, const std::string& action = "default");
    // ActionInvoked(id, "default") sent by another connection than the server's; returns once the
    // bus has passed it on.
    void clickFromOtherPeer(uint32_t id);
    // The notification expired or was dismissed: NotificationClosed(id, reason).
    void close(uint32_t id, uint32_t reason = 2);

  private:
    struct Callbacks;
    friend struct Callbacks;

    PrivateBus bus_;
    Options options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<NotifyCall> calls_;
    std::vector<uint32_t> closedByClient_;
    uint32_t nextId_ = 1;
    std::unique_ptr<platform::dbus::BusLoop> loop_;
};

}  // namespace sayloft::test
