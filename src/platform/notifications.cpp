#include "platform/notifications.hpp"

#include "core/log.hpp"

namespace sayloft::platform {

void LogOnlyNotifications::requestAuthorization(std::function<void(bool)> answer) {
    answer(true);
}

void LogOnlyNotifications::post(const Notification& n) {
    core::log("notifications", "{}: {} -- {}", n.identifier, n.title, n.body);
}

void FakeNotifications::requestAuthorization(std::function<void(bool)> answer) {
    bool granted;
    {
        std::lock_guard lock(mutex_);
        granted = granted_;
    }
    answer(granted);
}

void FakeNotifications::post(const Notification& n) {
    std::lock_guard lock(mutex_);
    posted_.push_back(n);
}

std::vector<Notification> FakeNotifications::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

void FakeNotifications::setGranted(bool granted) {
    std::lock_guard lock(mutex_);
    granted_ = granted;
}

}  // namespace sayloft::platform
