#include "service/keychain.hpp"

#include "core/log.hpp"
#include "service/http.hpp"

namespace sayloft::service {

using platform::SecretStatus;

Keychain::Keychain(std::shared_ptr<platform::SecretStore> store) : store_(std::move(store)) {}

std::optional<std::string> Keychain::read(const std::string& account,
                                          const std::string& service) const {
    auto result = store_->read(service, account);
    if (result.status == SecretStatus::failed) {
        core::log("secrets", "cannot read {}: {}", account, result.error);
        return std::nullopt;
    }
    if (result.status == SecretStatus::notFound || !isValidUtf8(result.value)) return std::nullopt;
    return std::move(result.value);
}

bool Keychain::write(const std::string& account, const std::optional<std::string>& value,
                     const std::string& service) {
    auto result =
        value ? store_->write(service, account, *value) : store_->remove(service, account);
    const bool done =
        result.status == SecretStatus::ok || (!value && result.status == SecretStatus::notFound);
    if (!done) {
        core::log("secrets", "cannot {} {}: {}", value ? "store" : "delete", account, result.error);
        return false;
    }
    return true;
}

std::optional<std::string> Keychain::deviceToken() const {
    return read(kDeviceTokenAccount);
}

bool Keychain::hasDeviceToken() const {
    auto token = deviceToken();
    return token && !token->empty();
}

std::optional<std::string> Keychain::authorizationHeader() const {
    auto token = deviceToken();
    if (!token || token->empty()) return std::nullopt;
    return "Bearer " + *token;
}

std::string tokenPrefix(const std::string& token) {
    return utf8Prefix(token, 12);
}

}  // namespace sayloft::service
