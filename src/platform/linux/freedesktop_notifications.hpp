#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/notifications.hpp"

namespace sayloft::platform {

namespace dbus {
class BusLoop;
}

// Notifications through the desktop's notification server (org.freedesktop.Notifications on the
// session bus). The connection is opened on first use and again after it breaks. A later post with
// the same identifier replaces the earlier notification; a click on a notification (its "default"
// action) reaches the activation handler on the connection's own thread.
class FreedesktopNotifications : public Notifications {
  public:
    // `busAddress` empty: the user's session bus; otherwise a D-Bus address (used by tests).
    explicit FreedesktopNotifications(std::string busAddress = {});
    ~FreedesktopNotifications() override;

    // authorized when a notification server answers (or can be started) on the bus, else denied;
    // never notDetermined.
    AuthorizationStatus authorizationStatus() override;
    // There is no permission to ask for: answers with authorizationStatus() == authorized.
    void requestAuthorization(std::function<void(bool)> answer) override;
    // off when there is no bus or no notification server; failed with the server's error text.
    PostResult post(const Notification& notification) override;

    // Closes the connection and joins its thread. Later calls reconnect. Do not call it from the
    // activation handler.
    void stop();

  private:
    struct Posted {
        Notification notification;
        uint32_t serverId = 0;
        std::string server;     // the unique bus name that answered; only it may report clicks
        uint64_t sequence = 0;  // order of posting, to forget the oldest first
    };
    struct Listener;

    // Both with connectMutex_ held.
    dbus::BusLoop& connection();
    std::set<std::string> capabilities(dbus::BusLoop& loop);
    PostResult notify(dbus::BusLoop& loop, const Notification& n);  // throws dbus::BusError
    template <class Work>
    auto withServer(Work&& work);
    void forgetServer();

    // Signal handlers, on the connection's thread.
    void onActionInvoked(Listener& listener, const std::string& sender, uint32_t serverId,
                         const std::string& action);
    void onClosed(const std::string& sender, uint32_t serverId, uint32_t reason);

    const std::string busAddress_;
    std::mutex connectMutex_;             // connection, capabilities; serialises posts
    std::unique_ptr<Listener> listener_;  // outlives loop_, whose callbacks point at it
    std::unique_ptr<dbus::BusLoop> loop_;
    std::optional<std::set<std::string>> capabilities_;
    std::mutex stateMutex_;  // posted_; taken last, never held while taking another lock
    std::map<std::string, Posted> posted_;  // by identifier
    uint64_t sequence_ = 0;
};

// The body as a server that interprets markup must receive it to show the text as given.
std::string escapeNotificationMarkup(const std::string& text);

}  // namespace sayloft::platform
