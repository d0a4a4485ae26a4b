#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/secret_store.hpp"

namespace sayloft::service {

// The device-token store shared by pairing, the service client and the capture pipeline. Every
// operation is synchronous and may be called from any thread; nothing is cached, so a token
// stored by pairing is used by the very next request.
class Keychain {
  public:
    static constexpr const char* kService = "se.Marrowby.sayloft.mac";
    static constexpr const char* kDeviceTokenAccount = "wl_device_token";

    explicit Keychain(std::shared_ptr<platform::SecretStore> store);
    // Over the process's one secret store (the Secret Service and the file together).
    static Keychain& shared();

    // The item's text, or nothing when there is no such item, the data is not UTF-8 text or the
    // store failed (failures are logged).
    std::optional<std::string> read(const std::string& account,
                                    const std::string& service = kService) const;
    // Stores the value, or deletes the item when there is none (a missing item counts as
    // deleted). Returns success.
    bool write(const std::string& account, const std::optional<std::string>& value,
               const std::string& service = kService);

    std::optional<std::string> deviceToken() const;
    bool hasDeviceToken() const;
    // "Bearer " + the device token, or nothing when the token is missing or empty.
    std::optional<std::string> authorizationHeader() const;

  private:
    std::shared_ptr<platform::SecretStore> store_;
};

// The first 12 characters of a token: all of it that may ever be shown or logged.
std::string tokenPrefix(const std::string& token);

}  // namespace sayloft::service
