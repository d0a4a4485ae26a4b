#include "platform_fakes.hpp"

#include <algorithm>

namespace sayloft::platform {

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

bool FakeOpener::openURL(const std::string& url) {
    std::lock_guard lock(mutex_);
    opened_.push_back(url);
    return true;
}

bool FakeOpener::openFile(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    opened_.push_back(file.string());
    return true;
}

std::vector<std::string> FakeOpener::opened() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

SecretResult MemorySecretStore::read(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return {SecretStatus::unavailable, {}, "store not running"};
    if (failing_) return {SecretStatus::failed, {}, "store failure"};
    auto it = items_.find({service, account});
    if (it == items_.end()) return {SecretStatus::notFound, {}, {}};
    return {SecretStatus::ok, it->second, {}};
}

SecretResult MemorySecretStore::write(const std::string& service, const std::string& account,
                                      const std::string& value) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return {SecretStatus::unavailable, {}, "store not running"};
    if (failing_) return {SecretStatus::failed, {}, "store failure"};
    items_[{service, account}] = value;
    return {};
}

SecretResult MemorySecretStore::remove(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return {SecretStatus::unavailable, {}, "store not running"};
    if (failing_) return {SecretStatus::failed, {}, "store failure"};
    return items_.erase({service, account}) ? SecretResult{}
                                            : SecretResult{SecretStatus::notFound, {}, {}};
}

void MemorySecretStore::setFailing(bool failing) {
    std::lock_guard lock(mutex_);
    failing_ = failing;
}

void MemorySecretStore::setUnavailable(bool unavailable) {
    std::lock_guard lock(mutex_);
    unavailable_ = unavailable;
}

std::optional<bool> MemoryDefaults::boolValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = bools_.find(key);
    return it == bools_.end() ? std::nullopt : std::optional<bool>(it->second);
}
std::optional<core::TimePoint> MemoryDefaults::dateValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = dates_.find(key);
    return it == dates_.end() ? std::nullopt : std::optional<core::TimePoint>(it->second);
}
void MemoryDefaults::setBool(const std::string& key, bool value) {
    std::lock_guard lock(mutex_);
    bools_[key] = value;
}
void MemoryDefaults::setDate(const std::string& key, core::TimePoint value) {
    std::lock_guard lock(mutex_);
    dates_[key] = value;
}
void MemoryDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    bools_.erase(key);
    dates_.erase(key);
}
bool MemoryDefaults::contains(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return bools_.count(key) || dates_.count(key);
}

}  // namespace sayloft::platform
