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

AuthorizationStatus FakeNotifications::authorizationStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

void FakeNotifications::requestAuthorization(std::function<void(bool)> answer) {
    bool granted;
    {
        std::lock_guard lock(mutex_);
        ++requests_;
        if (status_ == AuthorizationStatus::notDetermined) {
            status_ =
                grantWhenAsked_ ? AuthorizationStatus::authorized : AuthorizationStatus::denied;
        }
        granted = status_ == AuthorizationStatus::authorized;
    }
    answer(granted);
}

PostResult FakeNotifications::post(const Notification& n) {
    std::lock_guard lock(mutex_);
    if (status_ == AuthorizationStatus::denied) return PostResult::notificationsOff();
    if (!postError_.empty()) return PostResult::failure(postError_);
    posted_.push_back(n);
    return PostResult::ok();
}

std::vector<Notification> FakeNotifications::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}

int FakeNotifications::authorizationRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeNotifications::setGranted(bool granted) {
    setAuthorizationStatus(granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied);
}

void FakeNotifications::setAuthorizationStatus(AuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void FakeNotifications::setGrantWhenAsked(bool grant) {
    std::lock_guard lock(mutex_);
    grantWhenAsked_ = grant;
}

void FakeNotifications::setPostError(std::string error) {
    std::lock_guard lock(mutex_);
    postError_ = std::move(error);
}

bool FakeNotifications::activate(const std::string& identifier) {
    Notification found;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(posted_.rbegin(), posted_.rend(),
                               [&](const Notification& n) { return n.identifier == identifier; });
        if (it == posted_.rend()) return false;
        found = *it;
    }
    activated(found);
    return true;
}

}  // namespace sayloft::platform
