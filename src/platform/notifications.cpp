#include "platform/notifications.hpp"

#include <algorithm>

#include "core/log.hpp"

namespace sayloft::platform {

void Notifications::setActivationHandler(ActivationHandler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

void Notifications::activated(const Notification& notification) {
    ActivationHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
    }
    if (handler) handler(notification);
}

void LogOnlyNotifications::requestAuthorization(std::function<void(bool)> answer) {
    answer(true);
}

PostResult LogOnlyNotifications::post(const Notification& n) {
    core::log("notifications", "{}: {} -- {}", n.identifier, n.title, n.body);
    return PostResult::ok();
}

}  // namespace sayloft::platform
