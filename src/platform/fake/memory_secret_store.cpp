#include "platform/secret_store.hpp"

namespace sayloft::platform {

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

}  // namespace sayloft::platform
