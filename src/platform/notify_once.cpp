#include "platform/notify_once.hpp"

namespace sayloft::platform {

std::string notifiedKey(const std::string& id) {
    return "sayloft.envNotified." + id;
}

void notifyOnce(UserDefaults& defaults, Notifications& notifications, const std::string& id,
                const std::string& title, const std::string& body) {
    const std::string key = notifiedKey(id);
    if (defaults.boolValue(key).value_or(false)) return;
    defaults.setBool(key, true);
    notifications.requestAuthorization([&notifications, id, title, body](bool granted) {
        if (!granted) return;
        notifications.post(Notification{"env." + id, title, body, {}});
    });
}

}  // namespace sayloft::platform
